"""Silencing the engine's printed messages (they go to the process's stdout)."""

from __future__ import annotations

import contextlib
import os
import sys


@contextlib.contextmanager
def engine_output_hidden():
    """Redirect file descriptor 1 to /dev/null while the block runs."""
    sys.stdout.flush()
    saved = os.dup(1)
    with open(os.devnull, "w") as devnull:
        os.dup2(devnull.fileno(), 1)
        try:
            yield
        finally:
            sys.stdout.flush()
            os.dup2(saved, 1)
            os.close(saved)
