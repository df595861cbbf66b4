# Type stub of the vorn_python extension module.
from typing import Dict, Literal, Optional, SupportsFloat, SupportsIndex, Union

import numpy as np
import numpy.typing as npt

class Circuit:
    """Python에서 사용 가능한 양자 회로 클래스."""

    def __new__(cls, n_qubits: SupportsIndex) -> "Circuit": ...
    def num_qubits(self) -> int: ...
    def h(self, qubit: SupportsIndex) -> None: ...
    def x(self, qubit: SupportsIndex) -> None: ...
    def y(self, qubit: SupportsIndex) -> None: ...
    def z(self, qubit: SupportsIndex) -> None: ...
    def s(self, qubit: SupportsIndex) -> None: ...
    def sdg(self, qubit: SupportsIndex) -> None: ...
    def t(self, qubit: SupportsIndex) -> None: ...
    def tdg(self, qubit: SupportsIndex) -> None: ...
    def id(self, qubit: SupportsIndex) -> None: ...
    def rx(self, theta: SupportsFloat, qubit: SupportsIndex) -> None: ...
    def ry(self, theta: SupportsFloat, qubit: SupportsIndex) -> None: ...
    def rz(self, theta: SupportsFloat, qubit: SupportsIndex) -> None: ...
    def cx(self, control: SupportsIndex, target: SupportsIndex) -> None: ...
    def cz(self, qubit0: SupportsIndex, qubit1: SupportsIndex) -> None: ...
    def swap(self, qubit0: SupportsIndex, qubit1: SupportsIndex) -> None: ...
    def ccx(self, ctrl1: SupportsIndex, ctrl2: SupportsIndex, target: SupportsIndex) -> None: ...
    def cswap(
        self, control: SupportsIndex, target1: SupportsIndex, target2: SupportsIndex
    ) -> None: ...
    def measure(self, qubit: SupportsIndex, cbit: SupportsIndex) -> None: ...
    def measure_all(self) -> None: ...
    @staticmethod
    def from_qasm(qasm: str) -> "Circuit":
        """OpenQASM 2.0 또는 3.0 문자열을 파싱해 [`Circuit`] 으로 만든다."""
    def to_qasm(self, version: Literal["2.0", "2", "3.0", "3"] = "2.0") -> str:
        """회로를 OpenQASM 문자열로 export 한다."""
    def unitary(
        self,
        matrix: npt.NDArray[np.complex128],
        qubit: SupportsIndex,
        validate: Union[bool, np.bool_] = True,
    ) -> None:
        """임의 2×2 unitary 행렬을 회로의 `qubit` 큐비트에 적용한다."""
    def transpile(self, max_iters: SupportsIndex = 16) -> int:
        """peephole 최적화 패스를 회로에 in-place 로 적용한다."""
    @property
    def global_phase(self) -> float:
        """회로의 누적된 글로벌 phase (라디안)."""

class SimulationResult:
    """Python에서 사용 가능한 시뮬레이션 결과 클래스."""

    def counts(self) -> Dict[str, int]:
        """측정 결과 counts를 dict로 반환한다."""
    def statevector(self) -> npt.NDArray[np.complexfloating]:
        """측정 전 상태 벡터를 numpy 배열로 반환한다."""
    def probabilities(self) -> npt.NDArray[np.floating]:
        """확률 벡터를 numpy 배열로 반환한다."""
    @property
    def precision(self) -> Literal["f32", "f64"]:
        """시뮬레이션에 사용된 정밀도 ("f32" 또는 "f64")."""

def run(
    circuit: Circuit,
    shots: SupportsIndex = 1024,
    seed: Optional[SupportsIndex] = None,
    precision: Literal["f32", "f64"] = "f64",
) -> SimulationResult:
    """회로 실행 함수."""
