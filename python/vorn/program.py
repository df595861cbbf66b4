"""Dynamic programs: the gates of `vorn_python.Circuit` plus mid-circuit measurement, reset and
operations that run only when classical bits say so."""
import operator
import os

from vorn import _native

# The tags of the closed gate set, as the engine numbers them.
_TAGS = {
    "h": 0, "x": 1, "y": 2, "z": 3, "s": 4, "sdg": 5, "t": 6, "tdg": 7,
    "rx": 8, "ry": 9, "rz": 10, "id": 12, "cx": 13, "cz": 14, "swap": 15, "ccx": 16, "cswap": 17,
}

_COMPARISONS = ("==", "!=", "<", "<=", ">", ">=")


class Condition:
    """A condition over a program's classical bits, evaluated when the run reaches it.

    Made from `Program.bit(i)` and `Program.register(name)` (or `Program.bits(first, count)`)
    with comparisons against integers, and combined with `&` (and), `|` (or) and `~` (not)."""

    __slots__ = ("_form",)

    def __init__(self, form):
        self._form = form

    def __and__(self, other):
        return Condition(("and", self._form, _condition_form(other)))

    def __or__(self, other):
        return Condition(("or", self._form, _condition_form(other)))

    def __invert__(self):
        return Condition(("not", self._form))

    def __bool__(self):
        raise TypeError("a Condition is evaluated by the run; combine conditions with &, | and ~")

    def __repr__(self):
        return f"Condition({self._form!r})"


class Bits(Condition):
    """Consecutive classical bits read as an unsigned integer, the first bit least significant.

    As a condition by itself it means "not zero" (for one bit: the bit is 1); compare it with an
    integer for anything else: `p.register("c") == 5`."""

    __slots__ = ("offset", "size")

    def __init__(self, offset, size):
        self.offset = offset
        self.size = size
        if size == 1:
            form = ("bit", offset)
        else:
            form = ("cmp", "!=", offset, size, 0)
        super().__init__(form)

    def _compare(self, op, value):
        value = operator.index(value)
        if value >= 0 and value >> self.size:
            raise ValueError(
                f"{value} does not fit in {self.size} bit{'s' if self.size != 1 else ''}"
            )
        if not -(1 << 63) <= value < (1 << 63):
            raise ValueError(f"{value} is out of the range of a 64-bit integer")
        return Condition(("cmp", op, self.offset, self.size, value))

    def __eq__(self, value):
        return self._compare("==", value)

    def __ne__(self, value):
        return self._compare("!=", value)

    def __lt__(self, value):
        return self._compare("<", value)

    def __le__(self, value):
        return self._compare("<=", value)

    def __gt__(self, value):
        return self._compare(">", value)

    def __ge__(self, value):
        return self._compare(">=", value)

    __hash__ = None


def _condition_form(condition):
    if isinstance(condition, Condition):
        return condition._form
    if isinstance(condition, bool):
        return ("const", condition)
    try:
        bit = operator.index(condition)
    except TypeError:
        raise TypeError(
            "a condition is a Condition (from Program.bit or Program.register), a bool, or a bit "
            f"index, not {type(condition).__name__!r}"
        ) from None
    return ("bit", bit)


class _Block:
    """The context manager of `if_test` and `else_`: the body is what is added inside it."""

    def __init__(self, program, begin, is_if):
        self._program = program
        self._begin = begin
        self._is_if = is_if
        self._index = None

    def __enter__(self):
        program = self._program
        program._last_if = None
        self._index = self._begin()
        return self

    def __exit__(self, kind, value, traceback):
        self._program._native.end_block(self._index)
        self._program._last_if = self._index if self._is_if else None
        return False


class Program:
    """A program of `num_qubits` qubits and `num_bits` classical bits (one register `c`).

    Gate methods have the names and signatures of `vorn_python.Circuit`'s. Beyond them:

    - `measure(qubit, bit)` measures when the run reaches it: later operations see the
      collapsed state, and conditions see the bit. `measure_all()` measures qubit i into bit i.
    - `reset(qubit)` returns the qubit to |0>.
    - `with p.if_test(condition): ...` adds operations that run only when the condition holds;
      `with p.else_(): ...` right after it adds the ones that run otherwise. Conditions are bits
      (`p.bit(0)` or just `0`), registers compared with integers (`p.register("c") == 2`),
      and their combinations with `&`, `|` and `~`.

    Programs are also read from OpenQASM: `vorn.load(path)`, `Program.from_qasm(text)`."""

    def __init__(self, num_qubits, num_bits=0):
        self._native = _native.Program(num_qubits, num_bits)
        self._last_if = None
        self.source = None

    @classmethod
    def _wrap(cls, native, source=None):
        program = cls.__new__(cls)
        program._native = native
        program._last_if = None
        program.source = source
        return program

    @classmethod
    def from_qasm(cls, text, inputs=None):
        """Reads OpenQASM 2.0 or 3.0 text; includes resolve from the current directory.
        `inputs` gives the values of the program's `input` declarations by name."""
        if not isinstance(text, str):
            raise TypeError(f"text must be a str, not {type(text).__name__!r}")
        return cls._wrap(_native.read(text, "", input_values(inputs)))

    @classmethod
    def from_circuit(cls, circuit):
        """The program of a `vorn_python.Circuit`: its gates, measurements and global phase."""
        return cls._wrap(_native.from_circuit(circuit))

    # ---- what it holds ----

    @property
    def num_qubits(self):
        return self._native.num_qubits

    @property
    def num_bits(self):
        return self._native.num_bits

    @property
    def global_phase(self):
        return self._native.global_phase

    def bit(self, index):
        """Classical bit `index` as a condition (true when it is 1)."""
        index = operator.index(index)
        if not 0 <= index < self.num_bits:
            raise ValueError(f"bit {index} is out of range (the program has {self.num_bits} bits)")
        return Bits(index, 1)

    def bits(self, first, count):
        """Bits first .. first+count-1 as one unsigned integer (bit `first` least significant)."""
        first = operator.index(first)
        count = operator.index(count)
        if count < 1 or first < 0 or first + count > self.num_bits:
            raise ValueError(
                f"bits {first} to {first + count - 1} are out of range "
                f"(the program has {self.num_bits} bits)"
            )
        return Bits(first, count)

    def register(self, name):
        """A classical register by name, as one unsigned integer (its bit 0 least significant)."""
        for reg_name, offset, size in self._native.registers:
            if reg_name == name:
                return Bits(offset, size)
        raise ValueError(f"no classical register named {name!r}")

    def to_qasm(self, version="3.0"):
        """The program as OpenQASM 3.0 text, or 2.0 where 2.0 can express it."""
        if version not in ("2.0", "2", "3.0", "3"):
            raise ValueError(f"version must be '2.0' or '3.0', not {version!r}")
        return self._native.to_qasm(version)

    def summary(self):
        """What the program holds: gate counts by name, measurements (and how many happen in
        the middle), resets, conditions, registers and included files."""
        return self._native.summary()

    def __repr__(self):
        return f"<vorn.Program: {self.num_qubits} qubits, {self.num_bits} bits>"

    # ---- gates ----

    def _gate(self, name, qubits, theta=0.0):
        self._last_if = None
        self._native.gate(_TAGS[name], theta, 0.0, 0.0, qubits)

    def h(self, qubit):
        self._gate("h", (qubit,))

    def x(self, qubit):
        self._gate("x", (qubit,))

    def y(self, qubit):
        self._gate("y", (qubit,))

    def z(self, qubit):
        self._gate("z", (qubit,))

    def s(self, qubit):
        self._gate("s", (qubit,))

    def sdg(self, qubit):
        self._gate("sdg", (qubit,))

    def t(self, qubit):
        self._gate("t", (qubit,))

    def tdg(self, qubit):
        self._gate("tdg", (qubit,))

    def id(self, qubit):
        self._gate("id", (qubit,))

    def rx(self, theta, qubit):
        self._gate("rx", (qubit,), theta)

    def ry(self, theta, qubit):
        self._gate("ry", (qubit,), theta)

    def rz(self, theta, qubit):
        self._gate("rz", (qubit,), theta)

    def cx(self, control, target):
        self._gate("cx", (control, target))

    def cz(self, qubit0, qubit1):
        self._gate("cz", (qubit0, qubit1))

    def swap(self, qubit0, qubit1):
        self._gate("swap", (qubit0, qubit1))

    def ccx(self, ctrl1, ctrl2, target):
        self._gate("ccx", (ctrl1, ctrl2, target))

    def cswap(self, control, target1, target2):
        self._gate("cswap", (control, target1, target2))

    def unitary(self, matrix, qubit, validate=True):
        """Any 2x2 unitary as Rz, Ry, Rz and a global phase, as `vorn_python.Circuit.unitary`."""
        import numpy

        m = numpy.asarray(matrix, dtype=numpy.complex128)
        if m.shape != (2, 2):
            raise ValueError(f"unitary: the matrix must be 2x2, not of shape {list(m.shape)}")
        entries = []
        for value in m.reshape(4):
            entries += [float(value.real), float(value.imag)]
        self._last_if = None
        self._native.unitary(qubit, bool(validate), entries)

    # ---- measurement, reset, conditions ----

    def measure(self, qubit, bit):
        """Measures `qubit` into classical bit `bit` when the run reaches this point."""
        self._last_if = None
        self._native.measure(qubit, bit)

    def measure_all(self):
        """Measures every qubit i into bit i (the program needs as many bits as qubits)."""
        if self.num_bits < self.num_qubits:
            raise ValueError(
                f"measure_all needs {self.num_qubits} bits; the program has {self.num_bits}"
            )
        for qubit in range(self.num_qubits):
            self.measure(qubit, qubit)

    def reset(self, qubit):
        """Returns `qubit` to |0> (a measurement whose outcome is recorded nowhere, then X
        when it was 1)."""
        self._last_if = None
        self._native.reset(qubit)

    def if_test(self, condition):
        """`with p.if_test(condition):` the operations added in the block run only when the
        condition holds at that point of the run."""
        form = _condition_form(condition)
        return _Block(self, lambda: self._native.begin_if(form), True)

    def else_(self):
        """`with p.else_():` right after an `if_test` block: what runs when its condition did
        not hold."""
        if self._last_if is None:
            raise ValueError("else_() must follow an if_test() block at once")
        index = self._last_if
        return _Block(self, lambda: self._native.begin_else(index), False)


def input_values(inputs):
    """The values of `input` declarations as the reader takes them: a dict of names to floats
    (bools and integers are numbers too); None gives none."""
    if inputs is None:
        return None
    if not isinstance(inputs, dict):
        raise TypeError(f"inputs must be a dict, not {type(inputs).__name__!r}")
    values = {}
    for name, value in inputs.items():
        if not isinstance(name, str):
            raise TypeError(f"input names must be str, not {type(name).__name__!r}")
        if not isinstance(value, (bool, int, float)):
            raise TypeError(f"input {name!r} must be a number, not {type(value).__name__!r}")
        values[name] = float(value)
    return values


def load(path, inputs=None):
    """Reads an OpenQASM 2.0 or 3.0 file; its includes resolve relative to its folder, then to
    the current directory. `inputs` gives the values of its `input` declarations by name."""
    path = os.fspath(path)
    with open(path, "rb") as f:
        data = f.read()
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise ValueError(f"{path}: not UTF-8 text (byte 0x{data[e.start]:02x})") from None
    return Program._wrap(_native.read(text, path, input_values(inputs)), source=path)
