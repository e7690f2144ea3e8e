#!/usr/bin/env python3
"""Time one cure step of kuravel and of dosterin on a 10^6-node box, CPU backend.

A 99 x 99 x 99 hexahedral box (100^3 = 10^6 nodes, unit node spacing) is
written once as legacy VTK. For each thread count (OMP_NUM_THREADS = 1 and 2
by default) a fresh child Python process, with LUMIVEX_DEVICE=cpu:

* loads the mesh into a lumivex engine, configures it and sizes its result
  array (config, configure_outfilename); the absorbed power is then written straight into
  that array (on the CPU backend a device address is a host address) as a
  smooth field that is positive everywhere, so that every node reacts and
  every transport sum runs: the worst case of a fully lit volume;
* times ``Kuravel.initialize_accelerator`` (nodal grid, neighbour tables and
  Dirichlet masks; the grid's occupancy report included);
* times ``Kuravel.reaction_step`` and ``Dosterin.reaction_step``, each the
  minimum of --repeat calls;
* measures the memory bandwidth with a STREAM-like copy (NumPy copies of
  80 MB arrays on as many threads, each its own slice; best of 5).

The Kuravel step must move at least KURAVEL_BYTES_PER_NODE bytes per node
(every state array read or written once per kernel, the neighbours' values
coming from cache; see ``bytes_per_node``). That divided by the measured
bandwidth is the step's memory-speed bound; the report gives the fraction of
it the step reaches.

The nodal grid's cell size is sqrt(4 D_O dt ln 100); --reach sets it in node
spacings (default 1.5), which fixes D_O for dt = 1; D_R = D_O. Loading the
mesh is not timed. The script prints figures only.

    python bench/bench_cure.py
    python bench/bench_cure.py --cells 49 --threads 1 2 4 --repeat 3
    python bench/bench_cure.py --keep-mesh /tmp/box99.vtk   # reuse it next time
"""

from __future__ import annotations

import argparse
import math
import os
import platform
import subprocess
import sys
import tempfile
import time

CHILD_GENERATE = r'''
import sys
from lumivex_tools.meshgen import box_mesh, write_vtk
n = int(sys.argv[2])
points, hexahedra = box_mesh(n, n, n, size=(n, n, n))
write_vtk(sys.argv[1], points, hexahedra, refractive_index=1.5, absorptivity=0.1, title=f"box {n}x{n}x{n}")
'''

# Reports through lines starting with "@@"; everything else the modules print
# is ignored.
CHILD_STEP = r'''
import ctypes, math, sys, time
import numpy as np
import lumivex, kuravel
path, reach, repeat = sys.argv[1], float(sys.argv[2]), int(sys.argv[3])

engine = lumivex.Lumivex()
engine.load_mesh(path)
engine.config()
engine.configure_outfilename("/tmp/bench_cure_unused.vtu")
n = engine.get_node_count()
print("@@INFO", lumivex.device(), n, flush=True)
z = engine.get_node_positions()[:, 2]
power = np.ctypeslib.as_array((ctypes.c_double * n).from_address(engine.get_result_array_device_ptr()))
power[:] = 1.0 + 0.5 * np.exp(-z / max(z.max(), 1.0))

p = kuravel.KuravelProps()
p.dt = 1.0
p.diffusion_oxygen = p.diffusion_radical = reach ** 2 / (4.0 * p.dt * math.log(100.0))
p.kpropagation, p.koxygen = 1e-3, 1e-3
p.c_monomer0, p.c_oxygen0 = 1.0, 0.5
p.n0, p.n1, p.alpha0, p.alpha1 = 1.5, 1.55, 0.1, 0.05
model = kuravel.Kuravel(n, p)
t0 = time.perf_counter()
model.initialize_accelerator(engine.get_mesh_ptr())
print("@@GRID", time.perf_counter() - t0, flush=True)

def best(step):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        step()
        times.append(time.perf_counter() - t0)
    return min(times)

ptr, rec = engine.get_result_array_device_ptr(), engine.get_mesh_data_devlink_ptr()
model.reaction_step(ptr, rec)  # the first step after a build is not the steady state
print("@@KURAVEL", best(lambda: model.reaction_step(ptr, rec)), flush=True)

# STREAM-like copy on as many threads (NumPy releases the GIL while copying).
import os
from concurrent.futures import ThreadPoolExecutor
threads = int(os.environ.get("OMP_NUM_THREADS", "1"))
src, dst = np.ones(10_000_000), np.zeros(10_000_000)
bounds = np.linspace(0, src.size, threads + 1).astype(int)
def copy_slice(k):
    np.copyto(dst[bounds[k]:bounds[k + 1]], src[bounds[k]:bounds[k + 1]])
with ThreadPoolExecutor(threads) as pool:
    def copy_all():
        list(pool.map(copy_slice, range(threads)))
    copy_all()
    times = []
    for _ in range(5):
        t0 = time.perf_counter()
        copy_all()
        times.append(time.perf_counter() - t0)
print("@@COPY", 2 * src.nbytes / min(times), flush=True)
del src, dst
try:
    import dosterin
except ImportError as e:
    print("@@NODOSTERIN", e, flush=True)
else:
    mp = dosterin.EnergeticMaterialProps()
    mp.n0, mp.n1, mp.alpha0, mp.alpha1, mp.gelE, mp.cureE, mp.dt = 1.5, 1.55, 0.1, 0.05, 0.5, 5.0, 1.0
    cure = dosterin.Dosterin(n, mp)
    print("@@DOSTERIN", best(lambda: cure.reaction_step(ptr, rec)), flush=True)
'''


def bytes_per_node() -> int:
    """Bytes one Kuravel step must move per node (8-byte state, 4-byte masks and mesh values)."""
    half_step = 8 + 2 * 4 * 8          # read the intensity; read and write monomer, radical, oxygen, curing
    copies = 2 * (8 + 8)               # power -> radical source, oxygen -> its previous value
    radical = 8 + 4 + 8                # its source and mask in, the radical out
    oxygen = 8 + 8 + 4 + 8             # its previous value, curing and mask in, the oxygen out
    material = 8 + 2 * 4               # curing in, refractive index and absorptivity out
    return 2 * half_step + copies + radical + oxygen + material


KURAVEL_BYTES_PER_NODE = bytes_per_node()


def run_step_child(path, threads, reach, repeat):
    env = dict(os.environ, OMP_NUM_THREADS=str(threads), LUMIVEX_DEVICE="cpu", PYTHONUNBUFFERED="1")
    proc = subprocess.run([sys.executable, "-c", CHILD_STEP, path, str(reach), str(repeat)],
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        sys.exit(f"step child ({threads} threads) failed with exit code {proc.returncode}:\n"
                 f"{proc.stdout[-3000:]}\n{proc.stderr[-3000:]}")
    report = {}
    for line in proc.stdout.splitlines():
        if line.startswith("@@"):
            key, _, rest = line[2:].partition(" ")
            report[key] = rest
    lines = proc.stdout.splitlines()
    start = next((k for k, l in enumerate(lines) if l.startswith("Nodal cell structure built")), len(lines))
    grid_lines = [l for l in lines[start:] if l.startswith((" Grid:", "  27-cell stencil count mean"))][:2]
    return report, grid_lines


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--cells", type=int, default=99, help="elements per box edge (default 99 -> 10^6 nodes)")
    ap.add_argument("--threads", type=int, nargs="+", default=[1, 2], help="OMP_NUM_THREADS values (default 1 2)")
    ap.add_argument("--repeat", type=int, default=1, help="timed calls per step; the minimum is reported")
    ap.add_argument("--reach", type=float, default=1.5, help="nodal grid cell size in node spacings (default 1.5)")
    ap.add_argument("--keep-mesh", metavar="PATH", help="mesh file to reuse if it exists, else to write and keep")
    args = ap.parse_args(argv)
    if args.cells < 1 or args.repeat < 1 or args.reach <= 0 or min(args.threads) < 1:
        ap.error("--cells, --repeat and --threads must be at least 1, --reach positive")

    n = args.cells
    temp_dir = None
    if args.keep_mesh:
        path = os.path.abspath(args.keep_mesh)
    else:
        temp_dir = tempfile.TemporaryDirectory(prefix="lvx-bench-cure-")
        path = os.path.join(temp_dir.name, f"box{n}.vtk")
    try:
        print(f"mesh: {n}x{n}x{n} hexahedral box, {n ** 3:,} elements, {(n + 1) ** 3:,} nodes, unit spacing")
        if os.path.exists(path):
            print(f"  reusing {path}")
        else:
            t0 = time.perf_counter()
            subprocess.run([sys.executable, "-c", CHILD_GENERATE, path, str(n)], check=True)
            print(f"  generated {path} in {time.perf_counter() - t0:.1f} s (not part of any figure)")
        d = args.reach ** 2 / (4.0 * math.log(100.0))
        print(f"kuravel: dt = 1, D_O = D_R = {d:.4g} (nodal cell = {args.reach:g} spacings); "
              f"fully lit, every node reacting; {os.cpu_count()} CPUs visible")
        print()
        rows = []
        for threads in args.threads:
            report, grid_lines = run_step_child(path, threads, args.reach, args.repeat)
            device = report["INFO"].split()[0]
            if threads == args.threads[0]:
                print(f"backend {device}; nodal grid:" + "".join("\n  " + l.strip() for l in grid_lines))
                print()
            dost = float(report["DOSTERIN"]) if "DOSTERIN" in report else None
            if dost is None:
                print(f"  dosterin not benchmarked: {report.get('NODOSTERIN', 'not importable')}")
            rows.append((threads, float(report["GRID"]), float(report["KURAVEL"]), dost, float(report["COPY"])))

        note = f" (min of {args.repeat})" if args.repeat > 1 else ""
        nodes = (n + 1) ** 3
        moved = KURAVEL_BYTES_PER_NODE * nodes
        print(f"Kuravel step must move {KURAVEL_BYTES_PER_NODE} B/node = {moved / 1e6:.0f} MB; "
              f"bandwidth from a STREAM-like copy in the same child")
        print(f"{'OMP threads':>11} {'init_accelerator':>17} {'Kuravel step' + note:>20} "
              f"{'Dosterin step' + note:>20} {'copy GB/s':>10} {'bound':>9} {'of bound':>9}")
        for threads, grid, kur, dost, copy in rows:
            dost_text = f"{dost * 1e3:15.2f} ms" if dost is not None else f"{'n/a':>18}"
            bound = moved / copy
            print(f"{threads:>11} {grid:15.3f} s {kur * 1e3:17.1f} ms {dost_text} {copy / 1e9:10.1f} "
                  f"{bound * 1e3:6.1f} ms {100 * bound / kur:8.1f}%")
        base = rows[0]
        for threads, grid, kur, dost, copy in rows[1:]:
            scale = f"; Dosterin x{base[3] / dost:.2f}" if dost and base[3] else ""
            print(f"speed-up {base[0]} -> {threads} threads: Kuravel step x{base[2] / kur:.2f}{scale}")
        print(f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} CPUs ({platform.processor() or platform.machine()})")
    finally:
        if temp_dir:
            temp_dir.cleanup()


if __name__ == "__main__":
    main()
