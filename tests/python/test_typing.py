"""Type checkers find the modules' stubs: mypy flags a type error added to the README's first script."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")

README = Path(__file__).resolve().parents[2] / "README.md"


def test_mypy_reports_a_type_error_in_the_first_script(tmp_path):
    script = re.search(r"## A first script\n.*?```python\n(.*?)```", README.read_text(), re.S).group(1)
    (tmp_path / "good.py").write_text(script)
    (tmp_path / "bad.py").write_text(script + "engine.set_solver_type(4)\n")
    done = subprocess.run([sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path / "cache"), "good.py", "bad.py"],
                          cwd=tmp_path, capture_output=True, text=True, timeout=600)
    assert done.returncode == 1, done.stdout + done.stderr
    errors = [line for line in done.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 1 and errors[0].startswith("bad.py:") and "set_solver_type" in errors[0], done.stdout
