"""Running one benchmark configuration in a child process with its own thread count."""

from __future__ import annotations

import json
import os
import subprocess
import sys


def run_child(source: str, job: dict, threads: int, log_path: str, label: str) -> dict:
    """Run ``source`` with ``job`` (as JSON in argv[1]) under OMP_NUM_THREADS=threads.

    The child's output goes to ``log_path``; it writes its figures as JSON to
    ``job["result"]``, which is returned. A failed child ends the benchmark
    with the tail of its log.
    """
    env = dict(os.environ, OMP_NUM_THREADS=str(threads), PYTHONUNBUFFERED="1")
    with open(log_path, "w") as log:
        proc = subprocess.run([sys.executable, "-c", source, json.dumps(job)], stdin=subprocess.DEVNULL,
                              stdout=log, stderr=subprocess.STDOUT, env=env)
    if proc.returncode != 0 or not os.path.exists(job["result"]):
        with open(log_path) as f:
            tail = f.read()[-4000:]
        sys.exit(f"child ({label}OMP_NUM_THREADS={threads}) failed (exit code {proc.returncode}); "
                 f"its output ends:\n{tail}")
    with open(job["result"]) as f:
        return json.load(f)
