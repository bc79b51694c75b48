"""Checks the compile commands of a verbose wheel build: every C++ unit of the
module must be built with the flags that keep results bit-identical to the
scalar evaluation, and none with a flag that would change them."""

import re
import shlex
import sys
from pathlib import Path

REQUIRED = ("-O3", "-ffp-contract=off", "-fno-fast-math")
FORBIDDEN = re.compile(
    r"^(-ffast-math|-Ofast|-march=.*|-mtune=native|-mfma|-ffp-contract=(fast|on))$"
)


def main(path):
    units = {}
    for line in Path(path).read_text(encoding="utf-8", errors="replace").splitlines():
        if " -c " not in line:
            continue
        args = shlex.split(line)
        sources = [a for a in args if re.search(r"src/[a-z_]+/[a-z_]+\.cpp$", a)]
        if sources:
            units[sources[-1]] = args
    if not units:
        sys.exit(f"{path}: no compile command of src/ found (was the build verbose?)")
    for src, args in sorted(units.items()):
        missing = [f for f in REQUIRED if f not in args]
        bad = [a for a in args if FORBIDDEN.match(a)]
        if missing or bad:
            sys.exit(f"{src}: missing {missing}, forbidden {bad}")
    flags = sorted({a for args in units.values() for a in args if re.match(r"-[OfmsW]", a)})
    print(f"{len(units)} units compiled with: {' '.join(flags)}")


if __name__ == "__main__":
    main(sys.argv[1])
