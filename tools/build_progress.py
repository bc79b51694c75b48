"""Runs a build command (pip installing the package), keeping its whole output
in a log file and showing only what tells how far it has come: CMake's
configure summary, each compiled unit and link as Ninja finishes it, with the
seconds since the start, and any compiler warning or error. On failure the
end of the log is shown, with where the rest is.

Usage: build_progress.py LOG -- COMMAND...
"""

import re
import subprocess
import sys
import time
from pathlib import Path

# Ninja's status lines ("[3/12] Building CXX object ..."), scikit-build-core's
# own ("*** Configuring CMake..."), and the compiler's diagnostics.
SHOWN = re.compile(r"^\s*(\[\d+/\d+\] |\*\*\* |.*\b(warning|error)\b)", re.IGNORECASE)
# A successful build's lines that match the pattern above for no reason.
IGNORED = re.compile(r"^(WARNING: Location '|.*-Werror|.*-Wall)")
TAIL = 60


def main(argv):
    if len(argv) < 4 or argv[2] != "--":
        sys.exit(__doc__)
    log_path = Path(argv[1])
    log_path.parent.mkdir(parents=True, exist_ok=True)
    start = time.monotonic()
    with log_path.open("w", encoding="utf-8") as log:
        proc = subprocess.Popen(
            argv[3:],
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            text=True,
            errors="replace",
            bufsize=1,
        )
        for line in proc.stdout:
            log.write(line)
            if SHOWN.match(line) and not IGNORED.match(line):
                text = line.strip().removeprefix("*** ")
                print(f"  {time.monotonic() - start:5.0f} s  {text}", flush=True)
        status = proc.wait()
    if status != 0:
        lines = log_path.read_text(encoding="utf-8").splitlines()
        print("\n".join(lines[-TAIL:]), file=sys.stderr)
        print(f"build failed (exit status {status}); the whole log: {log_path}", file=sys.stderr)
        return status
    print(f"  {time.monotonic() - start:5.0f} s  done (log: {log_path})", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
