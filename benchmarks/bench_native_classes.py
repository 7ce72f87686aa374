"""Class-builder classes against the same class written in plain Python.

Prints, for a property read, a property write and a method call with three
keyword arguments, the ratio C++ time / Python time (below 1: C++ faster).
Both run in this process, interleaved, best of several repeats.
"""

import timeit

from tessel_core._native.probe import Probe


class PyProbe:
    def __init__(self, name=None):
        self._name = name

    @property
    def name(self):
        return self._name

    @name.setter
    def name(self, new_name):
        if new_name is not None and not isinstance(new_name, str):
            raise TypeError("bad type")
        self._name = new_name

    def combine(self, a, b=2, c=3):
        return a + b + c


CASES = {
    "property read": "p.name",
    "property write": "p.name = 'x'",
    "method, 3 keyword args": "p.combine(a=1, b=2, c=3)",
}


def best(stmt, obj, number=200_000, repeat=15):
    return min(timeit.repeat(stmt, globals={"p": obj}, number=number, repeat=repeat)) / number


def main():
    rows = []
    for label, stmt in CASES.items():
        cpp, py = [], []
        for _ in range(3):  # interleave to spread machine noise over both
            cpp.append(best(stmt, Probe("n")))
            py.append(best(stmt, PyProbe("n")))
        rows.append((label, min(cpp), min(py)))
    print(f"{'operation':28} {'ratio C++/Python':>18}  target")
    for label, c, p in rows:
        print(f"{label:28} {c / p:18.2f}  <= 1.0")


if __name__ == "__main__":
    main()
