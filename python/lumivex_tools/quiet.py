"""Capturing the engine's printed messages.

The extension modules print with C stdio straight to the process's file
descriptors 1 and 2, past Python's ``sys.stdout``, so they are captured by
pointing those descriptors at a file for a while (``os.dup2``).
"""

from __future__ import annotations

import contextlib
import os
import sys
from typing import IO, Iterator


@contextlib.contextmanager
def engine_output_hidden() -> Iterator[None]:
    """Redirect file descriptor 1 (the engine's progress lines) to /dev/null while the block runs."""
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


@contextlib.contextmanager
def engine_output_captured(log_path: str | os.PathLike) -> Iterator[IO[str]]:
    """Send everything written to file descriptors 1 and 2 to ``log_path`` (a
    new file) while the block runs.

    Yields a text stream on the terminal's original stderr, for progress bars
    and messages that should still be seen. The descriptors are restored when
    the block ends, also on an exception.
    """
    sys.stdout.flush()
    sys.stderr.flush()
    saved = [os.dup(1), os.dup(2)]
    terminal = os.fdopen(os.dup(saved[1]), "w", buffering=1)
    try:
        with open(log_path, "wb") as log:
            os.dup2(log.fileno(), 1)
            os.dup2(log.fileno(), 2)
            try:
                yield terminal
            finally:
                sys.stdout.flush()
                sys.stderr.flush()
                os.dup2(saved[0], 1)
                os.dup2(saved[1], 2)
    finally:
        for fd in saved:
            os.close(fd)
        terminal.close()

