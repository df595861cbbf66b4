// The module's fixed texts in one place: its docstrings and the messages of the exceptions it
// raises itself. The Korean texts are the system's own; every text here is part of the module's
// interface and must stay as it is, byte for byte.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "qasm/error.h"

namespace vorn::py::messages {

// ---- docstrings (the first lines are the text signatures) ----

inline constexpr const char DOC_FROM_QASM[] =
    "from_qasm(qasm)\n--\n\n"
    "OpenQASM 2.0 또는 3.0 문자열을 파싱해 [`Circuit`] 으로 만든다.\n\n"
    "헤더 (`OPENQASM 2.0;` 또는 `OPENQASM 3.0;`) 로 버전 자동 감지.\n"
    "미지원 syntax (`if`, `reset`, `for`/`while`/`box`, `sx`/`gphase` 등) 는\n"
    "`ValueError` 로 변환되어 사용자에게 명확한 milestone 정보가 노출된다.";

inline constexpr const char DOC_TO_QASM[] =
    "to_qasm($self, version=\"2.0\")\n--\n\n"
    "회로를 OpenQASM 문자열로 export 한다.\n\n"
    "`version`: `\"2.0\"` (default) 또는 `\"3.0\"`. 다른 값은 `ValueError`.";

inline constexpr const char DOC_UNITARY[] =
    "unitary($self, matrix, qubit, validate=True)\n--\n\n"
    "임의 2×2 unitary 행렬을 회로의 `qubit` 큐비트에 적용한다.\n\n"
    "Z-Y-Z 분해 (Nielsen-Chuang Thm 4.1) 로 native 게이트 시퀀스\n"
    "`Rz(δ); Ry(γ); Rz(β)` 를 추가하고 글로벌 phase α 는 회로의\n"
    "global_phase 에 누적된다.\n\n"
    "`validate=True` (default) 일 때 입력 행렬의 unitarity (`M·M† ≈ I`,\n"
    "1e-10) 를 검증하고 위반 시 `ValueError`. `False` 면 검증 생략.";

inline constexpr const char DOC_TRANSPILE[] =
    "transpile($self, max_iters=16)\n--\n\n"
    "peephole 최적화 패스를 회로에 in-place 로 적용한다.\n\n"
    "자명한 게이트 제거, 인접한 역원 쌍 상쇄, 같은 축 회전 병합을 한 패스로 수행하며\n"
    "변화가 없을 때까지 (최대 `max_iters` 회) 반복한다. 수렴까지 사용한 패스 수를 반환한다.";

inline constexpr const char DOC_GLOBAL_PHASE[] = "회로의 누적된 글로벌 phase (라디안).";

inline constexpr const char DOC_CIRCUIT[] =
    "Circuit(n_qubits)\n--\n\nPython에서 사용 가능한 양자 회로 클래스.";

inline constexpr const char DOC_COUNTS[] =
    "counts($self)\n--\n\n측정 결과 counts를 dict로 반환한다.";

inline constexpr const char DOC_STATEVECTOR[] =
    "statevector($self)\n--\n\n측정 전 상태 벡터를 numpy 배열로 반환한다.\n\n"
    "dtype 은 시뮬레이션 정밀도를 따른다:\n"
    "- f64 경로 → `numpy.complex128`\n"
    "- f32 경로 → `numpy.complex64`";

inline constexpr const char DOC_PROBABILITIES[] =
    "probabilities($self)\n--\n\n확률 벡터를 numpy 배열로 반환한다.\n\n"
    "dtype 은 시뮬레이션 정밀도를 따른다 (`float64` / `float32`).";

inline constexpr const char DOC_PRECISION[] = "시뮬레이션에 사용된 정밀도 (\"f32\" 또는 \"f64\").";

inline constexpr const char DOC_RUN[] =
    "run(circuit, shots=1024, seed=None, precision=\"f64\")\n--\n\n"
    "회로 실행 함수.\n\n"
    "`precision` 으로 시뮬레이션 정밀도를 선택한다 (\"f64\" default, \"f32\" 옵션).\n"
    "f32 는 메모리 ~50% 절감과 SIMD 친화성을 제공하지만 정확도는 ~1e-6 수준.\n\n"
    "rayon 병렬 게이트 적용이 GIL 을 들고 있으면 Python 멀티스레드 환경에서\n"
    "다른 스레드가 막히므로, 시뮬레이션 동안 GIL 을 해제한다.";

inline constexpr const char DOC_SIMULATION_RESULT[] =
    "Python에서 사용 가능한 시뮬레이션 결과 클래스.\n\n"
    "내부 `SimulationResult` 가 정밀도별 enum 이므로 statevector / probabilities 는\n"
    "정밀도에 따라 numpy `complex64`/`float32` (f32) 또는 `complex128`/`float64` (f64) 를 "
    "반환한다.";

inline constexpr const char DOC_PANIC_EXCEPTION[] =
    "vorn_python 내부 불변식이 깨져 작업이 중단되었을 때 발생하는 예외.\n\n"
    "`BaseException` 에서 직접 파생되므로 `except Exception` 으로는 잡히지 않는다.";

// ---- exception messages ----

// RuntimeError of a conflicting access to a Circuit.
inline constexpr const char ALREADY_BORROWED[] = "Already borrowed";
inline constexpr const char ALREADY_MUTABLY_BORROWED[] = "Already mutably borrowed";

// ImportError of a second interpreter.
inline constexpr const char SUB_INTERPRETER[] =
    "vorn_python does not support sub-interpreters: it can only be imported in "
    "the interpreter that imported it first";

// ValueError of to_qasm's version, run's precision and unitary's checks.
inline std::string bad_version(std::string_view text) {
  return "to_qasm: version 은 '2.0' 또는 '3.0' 이어야 합니다 (입력: " + qasm::quoted(text) + ")";
}
inline std::string bad_precision(std::string_view text) {
  return "precision 은 'f32' 또는 'f64' 여야 합니다 (입력: " + qasm::quoted(text) + ")";
}
inline std::string bad_matrix_shape(std::int64_t rows, std::int64_t cols) {
  return "unitary: matrix 는 2×2 여야 합니다 (입력 shape=[" + std::to_string(rows) + ", " +
         std::to_string(cols) + "])";
}
inline std::string not_unitary(const std::string& violation) { return "unitary: " + violation; }
inline std::string unitary_qubit_out_of_range(std::uint64_t qubit, std::uint64_t n_qubits) {
  return "unitary: qubit 인덱스 " + std::to_string(qubit) +
         " 가 범위를 벗어남 (n_qubits=" + std::to_string(n_qubits) + ")";
}

// TypeError formats (PyErr_Format), in CPython's own wording.
inline constexpr const char NO_CONSTRUCTOR[] = "No constructor defined for %s";
inline constexpr const char DIMENSIONALITY_MISMATCH[] =
    "argument '%s': dimensionality mismatch: from=%d, to=2";
inline constexpr const char TYPE_MISMATCH[] =
    "argument '%s': type mismatch: from=%U, to=complex128";
inline constexpr const char ARGUMENT_REFUSED[] = "argument '%s': %S";
inline constexpr const char CANNOT_CONVERT[] =
    "argument '%s': '%s' object cannot be converted to '%s'";
inline constexpr const char KEYWORDS_MUST_BE_STRINGS[] = "%s keywords must be strings";
inline constexpr const char UNEXPECTED_KEYWORD[] = "%s got an unexpected keyword argument '%S'";
inline constexpr const char MULTIPLE_VALUES[] = "%s got multiple values for argument '%s'";
inline constexpr const char TOO_MANY_POSITIONAL[] =
    "%s takes %s positional argument%s but %zd %s given";
inline constexpr const char MISSING_POSITIONAL[] =
    "%s missing %zu required positional argument%s: %s";

// SystemError of a fault in the module itself.
inline constexpr const char ERROR_WITHOUT_EXCEPTION[] =
    "vorn_python: error return without exception set";
inline constexpr const char UNEXPECTED_EXCEPTION_WHAT[] =
    "vorn_python: unexpected C++ exception: %s";
inline constexpr const char UNEXPECTED_EXCEPTION[] = "vorn_python: unexpected C++ exception";

}  // namespace vorn::py::messages
