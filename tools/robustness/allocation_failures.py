"""The failure points of each method of llm_metrics, as a table.

    python tools/robustness/allocation_failures.py [--all] [scenario...]

Runs with the interpreter it is started with (the project's .venv/bin/python,
say), against the llm_metrics installed there: every allocation the module's
own code requests during each scenario (a method in one of its views, or the
import) is failed in turn, in a child process per point, and the table gives
how many points each scenario has and how each failure surfaced.  Without
--all only a sample of each scenario's points is failed.  Exits non-zero when
any point crashed, was swallowed or surfaced as something other than
MemoryError.  See tests/support/allocation_faults.py.
"""

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tests" / "support"))

from allocation_faults import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
