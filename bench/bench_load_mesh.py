#!/usr/bin/env python3
"""Time and size ``Lumivex().load_mesh`` on a generated hexahedral box.

The box is written twice: as binary legacy VTK 5.1 (by meshio, material as
FIELD arrays) and as ASCII legacy VTK (classic CELLS, material as SCALARS).
The peer figure is ``meshio.read`` on the same files, in the same run (install
it with ``pip install .[bench]`` or ``pip install meshio``). Every measurement
runs in a fresh child Python process:

* the load's phases are split by timestamping, in this process, the arrival of
  the lines the load prints as it goes (the child's stdout is an unbuffered
  pipe, and the engine flushes those lines as it writes them);
* peak memory is the child's peak RSS (VmHWM from /proc, read by the child
  just before it exits and sampled here as its lines arrive; ru_maxrss from
  ``os.wait4`` where /proc is missing) minus that of a child that only
  imports the module (and, for lumivex, builds an engine).

Mesh generation is timed separately and is not part of any figure. This
script prints figures only; it asserts nothing about speed.

    python bench/bench_load_mesh.py                  # 100^3 = 10^6 elements
    python bench/bench_load_mesh.py --cells 20 --repeat 3
    python bench/bench_load_mesh.py --keep-mesh /tmp/box100.vtk   # reuse the files next time
                                                   # (binary one: /tmp/box100.binary51.vtk)
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile
import time

# ---------------------------------------------------------------------------
# Child programs. Each gets the mesh path as argv[1] and reports on stdout
# through lines starting with "@@".

# Make C stdio line buffered before the engine writes anything, so that lines
# the engine prints without an explicit flush also arrive when written. The
# phase split does not depend on this (those lines are flushed by the engine);
# it only adds the finer detail rows.
_LINE_BUFFER_C_STDOUT = r'''
import ctypes
_line_buffered = "no"
try:
    _libc = ctypes.CDLL(None)
    _libc.setvbuf.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_size_t]
    if _libc.setvbuf(ctypes.c_void_p.in_dll(_libc, "stdout"), None, 1, 0) == 0:  # _IOLBF
        _line_buffered = "yes"
except Exception:
    pass
'''

# Print this process's peak RSS (KiB) from /proc. ru_maxrss seen by the parent
# is not enough on its own: Linux carries the parent's RSS at fork/vfork time
# into the child's figure, so a large parent would hide small children.
_REPORT_PEAK = r'''
def _report_peak():
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    print("@@PEAK", int(line.split()[1]))
                    return
    except OSError:
        pass
'''

CHILD_OURS_LOAD = _LINE_BUFFER_C_STDOUT + _REPORT_PEAK + r'''
import sys, time
import lumivex
engine = lumivex.Lumivex()
print("@@INFO", lumivex.device(), _line_buffered)
print("@@START")
t0 = time.perf_counter()
engine.load_mesh(sys.argv[1])
t1 = time.perf_counter()
print("@@END", repr(t1 - t0))
_report_peak()
'''

CHILD_OURS_IMPORT = _LINE_BUFFER_C_STDOUT + _REPORT_PEAK + r'''
import lumivex
engine = lumivex.Lumivex()
print("@@INFO", lumivex.device(), _line_buffered)
_report_peak()
'''

CHILD_PEER_READ = _REPORT_PEAK + r'''
import sys, time
import meshio
t0 = time.perf_counter()
mesh = meshio.read(sys.argv[1])
t1 = time.perf_counter()
print("@@END", repr(t1 - t0), sum(len(block.data) for block in mesh.cells), len(mesh.points))
_report_peak()
'''

CHILD_PEER_IMPORT = _REPORT_PEAK + r'''
import meshio
print("@@END")
_report_peak()
'''

# Lines the load prints, in order, and the step each one closes. The engine
# flushes all of them except MARK_LINES; boundary-face normals are computed
# after MARK_CONNECTIVITY is printed, so they fall in the step that
# MARK_REGIONS closes.
MARK_READING = "Reading VTK file:"          # whole file read into memory
MARK_LINES = "Read "                        # tokenised ("Read %d lines from file")
MARK_LOADED = "VTK file loaded:"            # arrays laid out and uploaded
MARK_CONNECTIVITY = "Mesh connectivity:"    # face map, neighbours, orientations
MARK_REGIONS = "Refractive index regions:"  # boundary normals, constant-index check


class ChildRun:
    """Output lines (with arrival times), exit code and max RSS of one child."""

    def __init__(self, lines, returncode, maxrss_kib):
        self.lines = lines            # [(perf_counter seconds, text, child's VmHWM KiB or None)]
        self.returncode = returncode
        self.maxrss_kib = maxrss_kib

    def first(self, prefix):
        """(arrival time, text) of the first line starting with ``prefix``, or None."""
        for t, text, _ in self.lines:
            if text.startswith(prefix):
                return t, text
        return None

    def hwm_at(self, prefix):
        """The child's RSS high-water mark (KiB) sampled when that line arrived."""
        for _, text, hwm in self.lines:
            if text.startswith(prefix):
                return hwm
        return None

    @property
    def peak_kib(self):
        """Peak RSS: the largest VmHWM the child reported or was sampled at
        (the kernel updates the mark lazily, so a sample can see a peak the
        final report has lost), else its ru_maxrss."""
        line = self.first("@@PEAK")
        seen = [hwm for _, _, hwm in self.lines if hwm is not None]
        if line:
            seen.append(int(line[1].split()[1]))
        return max(seen) if seen else self.maxrss_kib

    def text(self):
        return "\n".join(text for _, text, _ in self.lines)


def sample_hwm(pid):
    """VmHWM (KiB) of a running process, or None."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except (OSError, ValueError):
        pass
    return None


def run_child(code, mesh_path):
    """Run ``code`` in a fresh ``python -u`` with stdout+stderr piped here.

    Each line is stamped with the time its bytes were read from the pipe and
    with the child's RSS high-water mark sampled at that moment.
    """
    env = dict(os.environ, PYTHONUNBUFFERED="1")
    proc = subprocess.Popen([sys.executable, "-u", "-c", code, mesh_path],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, env=env)
    fd = proc.stdout.fileno()
    lines, pending = [], b""
    while True:
        chunk = os.read(fd, 1 << 16)
        now = time.perf_counter()
        if not chunk:
            break
        hwm = sample_hwm(proc.pid)
        pending += chunk
        *complete, pending = pending.split(b"\n")
        lines.extend((now, raw.decode(errors="replace").rstrip("\r"), hwm) for raw in complete)
    if pending:
        lines.append((time.perf_counter(), pending.decode(errors="replace"), None))
    proc.stdout.close()
    # wait4 gives this child's own rusage (RUSAGE_CHILDREN would be the
    # maximum over every child reaped so far).
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    return ChildRun(lines, proc.returncode, usage.ru_maxrss)  # KiB on Linux


def check(run, what):
    if run.returncode != 0:
        sys.exit(f"{what} failed (exit code {run.returncode}):\n{run.text()}")
    return run


# ---------------------------------------------------------------------------
# Mesh file


def cells_in_file(path):
    """Element count from the CELLS header of a legacy VTK file (None if absent).

    Version 5.1 counts the offsets there, one more than the cells."""
    with open(path, "rb") as f:
        version_51 = f.readline().strip().endswith(b"5.1")
        for raw in f:
            if raw.startswith(b"CELLS"):
                m = re.match(rb"CELLS\s+(\d+)", raw)
                return int(m.group(1)) - version_51 if m else None
    return None


# Written by a child process so that this one stays small (see _REPORT_PEAK).
CHILD_GENERATE = r'''
import sys
import numpy as np
from lumivex_tools.meshgen import box_mesh, write_vtk
path, n, encoding = sys.argv[1], int(sys.argv[2]), sys.argv[3]
points, hexahedra = box_mesh(n, n, n)
# Two index layers (a single interface plane) and a uniform absorptivity, so
# the constant-index check sees both constant and varying elements.
refractive_index = np.where(points[:, 2] < 0.5, 1.5, 1.0)
if encoding == "ascii":
    write_vtk(path, points, hexahedra, refractive_index=refractive_index, absorptivity=1.0,
              title=f"box {n}x{n}x{n}")
else:
    import meshio
    mesh = meshio.Mesh(points, [("hexahedron", hexahedra)],
                       point_data={"RefractiveIndex": refractive_index, "Absorptivity": np.ones(len(points))})
    meshio.vtk.write(path, mesh, binary=True, fmt_version="5.1")
'''

ENCODINGS = {"binary": "binary legacy VTK 5.1 (meshio)", "ascii": "ASCII legacy VTK (classic CELLS)"}


def generate_mesh(path, n, encoding):
    subprocess.run([sys.executable, "-c", CHILD_GENERATE, path, str(n), encoding], check=True)


def warm_page_cache(path):
    with open(path, "rb") as f:
        while f.read(1 << 24):
            pass


# ---------------------------------------------------------------------------
# One timed load of ours


class OurLoad:
    def __init__(self, run):
        self.run = run
        info = run.first("@@INFO")[1].split()
        self.device = info[1]
        self.line_buffered = info[2] == "yes"
        self.t_start = run.first("@@START")[0]
        end = run.first("@@END")
        self.t_end = end[0]
        self.whole = float(end[1].split()[1])  # measured inside the child
        self.marks = {key: run.first(key) for key in
                      (MARK_READING, MARK_LINES, MARK_LOADED, MARK_CONNECTIVITY, MARK_REGIONS)}
        self.problems = self._check()

    def at(self, key):
        return self.marks[key][0] - self.t_start

    def _check(self):
        """Reasons the line timestamps cannot split the load (empty if they can)."""
        problems = []
        needed = (MARK_LOADED, MARK_CONNECTIVITY, MARK_REGIONS)
        missing = [key for key in needed if self.marks[key] is None]
        if missing:
            return [f"line(s) not printed: {', '.join(missing)}"]
        times = [self.t_start] + [self.marks[k][0] for k in needed] + [self.t_end]
        if any(b < a for a, b in zip(times, times[1:])):
            problems.append("lines arrived out of order")
        span = self.t_end - self.t_start
        if abs(span - self.whole) > 0.05 * self.whole + 0.02:
            problems.append(f"arrival span {span:.3f} s differs from the in-process time {self.whole:.3f} s")
        # Everything landing together at the end means the output was held back
        # in a buffer rather than written as the load went.
        if self.whole > 0.2 and self.t_end - self.marks[MARK_LOADED][0] < 0.002:
            problems.append("all lines arrived at the end of the load (buffered output)")
        return problems

    def phases(self):
        """[(label, seconds, is_detail, RSS high-water KiB at its end)] from the arrival times."""
        loaded, connected, regions = self.at(MARK_LOADED), self.at(MARK_CONNECTIVITY), self.at(MARK_REGIONS)
        end = self.t_end - self.t_start
        hwm = self.run.hwm_at
        end_hwm = self.run.peak_kib
        rows = [("parse (read, tokenise, lay out + upload)", loaded, False, hwm(MARK_LOADED))]
        if self.line_buffered and self.marks[MARK_READING] and self.marks[MARK_LINES]:
            read, tokenised = self.at(MARK_READING), self.at(MARK_LINES)
            if 0 <= read <= tokenised <= loaded:
                rows += [("file into memory", read, True, hwm(MARK_READING)),
                         ("tokenise + validate", tokenised - read, True, hwm(MARK_LINES)),
                         ("lay out + upload arrays", loaded - tokenised, True, hwm(MARK_LOADED))]
        rows += [
            ("connectivity (face map, orientations)", connected - loaded, False, hwm(MARK_CONNECTIVITY)),
            ("boundary normals + const-index check", regions - connected, False, hwm(MARK_REGIONS)),
            ("nodal volumes", end - regions, False, end_hwm),
        ]
        return rows


# ---------------------------------------------------------------------------


def mib(kib):
    return kib / 1024.0


def prepare_file(path, n, encoding):
    """Reuse a file holding the right box or write it; report its size."""
    if os.path.exists(path):
        found = cells_in_file(path)
        if found != n ** 3:
            sys.exit(f"{path} holds {found} elements, not {n ** 3}; remove it or pass the matching --cells")
        print(f"  reusing {path}")
    else:
        t0 = time.perf_counter()
        generate_mesh(path, n, encoding)
        print(f"  generated {path} in {time.perf_counter() - t0:.2f} s (not part of any figure)")
    print(f"  file size {os.path.getsize(path) / 1e6:.1f} MB, {ENCODINGS[encoding]}")
    warm_page_cache(path)  # both loaders read it from the page cache


def print_phases(best, run_note):
    print(f"lumivex load_mesh phases{run_note}, from line arrival times:")
    if best.problems:
        print("  phase split unreliable: " + "; ".join(best.problems))
        print("  reporting the whole load only")
        return
    print(f"  {'':<44} {'seconds':>11}   {'RSS high-water at its end':>26}")
    for label, seconds, is_detail, hwm in best.phases():
        indent = "      " if is_detail else "  "
        width = 40 if is_detail else 44
        hwm_text = f"{mib(hwm):9.1f} MiB" if hwm is not None else ""
        print(f"{indent}{label:<{width}} {seconds:9.3f} s   {hwm_text:>26}")
    if not best.line_buffered:
        print("  (C stdout could not be made line buffered here; detail rows omitted)")


def bench_encoding(encoding, path, args, base_ours, base_peer):
    """Times both loaders on one file; returns (ours, peer) best seconds."""
    n_elements = args.cells ** 3
    print()
    print(f"=== {ENCODINGS[encoding]}")
    ours, peer = [], []
    for k in range(args.repeat):
        ours.append(OurLoad(check(run_child(CHILD_OURS_LOAD, path), "lumivex load child")))
        run = check(run_child(CHILD_PEER_READ, path), "meshio read child")
        fields = run.first("@@END")[1].split()
        peer.append((float(fields[1]), int(fields[2]), run.peak_kib))
        print(f"  run {k + 1}/{args.repeat}: lumivex load {ours[-1].whole:.3f} s, meshio.read {peer[-1][0]:.3f} s")
    if peer[0][1] != n_elements:
        print(f"  note: meshio read {peer[0][1]} cells")

    best = min(ours, key=lambda o: o.whole)
    best_peer = min(p[0] for p in peer)
    k_note = f" (min of {args.repeat})" if args.repeat > 1 else ""
    print()
    print_phases(best, f" (fastest of {args.repeat} runs)" if args.repeat > 1 else "")
    print()
    summary = [
        (f"whole load, lumivex Lumivex().load_mesh{k_note}", f"{best.whole:9.3f} s"),
        (f"peer parse, meshio.read{k_note}", f"{best_peer:9.3f} s"),
        ("ratio lumivex / meshio", f"{best.whole / best_peer:9.2f}"
         "     (goal: <= 1.00, our whole load no slower than the peer's bare parse)"),
        ("elements per second, lumivex whole load", f"{n_elements / best.whole:11,.0f}"),
    ]
    width = max(len(label) for label, _ in summary) + 1
    for label, value in summary:
        print(f"{label + ':':<{width}} {value}")

    ours_rss = max(o.run.peak_kib for o in ours)
    peer_rss = max(p[2] for p in peer)
    print()
    print("peak memory (peak RSS of a child that only loads, minus that of a child that only imports):")
    print(f"  lumivex load_mesh   {mib(ours_rss - base_ours.peak_kib):9.1f} MiB"
          f"   (child {mib(ours_rss):.1f} MiB, import-only {mib(base_ours.peak_kib):.1f} MiB)")
    print(f"  meshio.read         {mib(peer_rss - base_peer.peak_kib):9.1f} MiB"
          f"   (child {mib(peer_rss):.1f} MiB, import-only {mib(base_peer.peak_kib):.1f} MiB)")

    if args.show_log:
        print()
        print("fastest load's output: seconds after load_mesh was called, RSS high-water, line")
        for t, text, hwm in best.run.lines:
            if not text.startswith("@@"):
                hwm_text = f"{mib(hwm):7.1f} MiB" if hwm is not None else ""
                print(f"  {t - best.t_start:+9.3f}  {hwm_text:>11}  {text}")
    return best.whole, best_peer


def report_scaling(m, n, big_seconds, repeat, directory):
    """Loads the m^3 box from ASCII (fastest of `repeat`) and prints how the whole load grows to n^3."""
    path = os.path.join(directory, f"box{m}.vtk")
    if not os.path.exists(path) or cells_in_file(path) != m ** 3:
        generate_mesh(path, m, "ascii")
    warm_page_cache(path)
    small = min(OurLoad(check(run_child(CHILD_OURS_LOAD, path), "lumivex load child")).whole for _ in range(repeat))
    print()
    print(f"growth from {m}^3 to {n}^3 elements (x{(n / m) ** 3:.1f} elements), ASCII:")
    print(f"  whole load     {small:8.3f} s -> {big_seconds:8.3f} s   x{big_seconds / small:.2f}   (goal: <= 10)")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--cells", type=int, default=100,
                    help="elements along each edge of the box (default 100 -> 10^6 elements)")
    ap.add_argument("--repeat", type=int, default=1,
                    help="timed runs of each loader; the minimum is reported (default 1)")
    ap.add_argument("--keep-mesh", metavar="PATH",
                    help="ASCII mesh file to reuse if it exists, or to write and keep if it does not; the binary "
                         "one sits beside it with the suffix .binary51.vtk")
    ap.add_argument("--encodings", nargs="+", choices=sorted(ENCODINGS), default=list(ENCODINGS),
                    help="files to time (default: both)")
    ap.add_argument("--scale-cells", type=int, default=None,
                    help="also load an ASCII box this many elements per edge (default half of --cells; 0: skip) "
                         "and report how the load time grows")
    ap.add_argument("--show-log", action="store_true",
                    help="print every line of the fastest load with its arrival time")
    args = ap.parse_args(argv)
    if args.cells < 1 or args.repeat < 1:
        ap.error("--cells and --repeat must be at least 1")

    n = args.cells
    temp_dir = None
    if args.keep_mesh:
        ascii_path = os.path.abspath(args.keep_mesh)
    else:
        temp_dir = tempfile.TemporaryDirectory(prefix="lvx-bench-", dir="/tmp" if os.path.isdir("/tmp") else None)
        ascii_path = os.path.join(temp_dir.name, f"box{n}.vtk")
    paths = {"ascii": ascii_path, "binary": os.path.splitext(ascii_path)[0] + ".binary51.vtk"}

    try:
        print(f"mesh: {n}x{n}x{n} hexahedral box, {n ** 3:,} elements, {(n + 1) ** 3:,} nodes")
        for encoding in args.encodings:
            prepare_file(paths[encoding], n, encoding)

        # Memory baselines: the same interpreter with only the imports done.
        any_path = paths[args.encodings[0]]
        base_ours = check(run_child(CHILD_OURS_IMPORT, any_path), "lumivex import child")
        base_peer = check(run_child(CHILD_PEER_IMPORT, any_path), "meshio import child (is meshio installed?)")
        device = base_ours.first("@@INFO")[1].split()[1]
        omp = os.environ.get("OMP_NUM_THREADS")
        print(f"backend: lumivex.device() = {device}; OMP_NUM_THREADS = {omp if omp is not None else 'unset'}"
              f"; {os.cpu_count()} CPUs visible; load average {os.getloadavg()[0]:.1f}")

        results = {encoding: bench_encoding(encoding, paths[encoding], args, base_ours, base_peer)
                   for encoding in args.encodings}
        print()
        print("summary: whole lumivex load / meshio.read on the same file (goal <= 1.00)")
        for encoding, (ours, peer) in results.items():
            print(f"  {ENCODINGS[encoding]:<36} {ours:8.3f} s / {peer:8.3f} s = {ours / peer:6.2f}")
        m = n // 2 if args.scale_cells is None else args.scale_cells
        if 0 < m < n and "ascii" in results:
            report_scaling(m, n, results["ascii"][0], args.repeat, os.path.dirname(paths["ascii"]))
    finally:
        if temp_dir is not None:
            temp_dir.cleanup()


if __name__ == "__main__":
    main()
