#!/usr/bin/env python3
"""Time the surface trace: rays carried from their origins onto the boundary faces of a box.

The Python API has no call that runs only the surface trace, so the engine is
set up to make the volumetric trace after it trivial: every boundary face gets
a REFLECT condition, and a ray that reaches a reflecting face from outside is
turned away there and ends. ``compute_volumetric_absorption()`` then costs the
surface trace plus one interface interaction per ray.

Mesh: an N x N x N box of unit size (default N = 100: 10^6 elements and
6 N^2 = 6 * 10^4 boundary faces). Rays (default 10^6): origins spread
uniformly over a square plane below the box that overhangs it on every side,
aimed upward with small random tilts, so that most enter through the bottom
face and some miss the box.

Every configuration runs in a fresh child process, with OMP_NUM_THREADS set
to each value of --threads and the backend that the environment selects
(LUMIVEX_DEVICE, else the GPU when there is one). The engine's own messages go
to a log file per child (printed with --show-log). Figures:

* face-grid build: wall time of ``config()``, which creates the tracers and
  builds the uniform grid over the boundary faces;
* trace: wall time of ``compute_volumetric_absorption()`` on freshly loaded
  rays (the fastest of --repeat runs; the rays are reloaded before each);
* rays per second = rays / trace time, and the scaling between thread counts.

Mesh and ray generation are timed separately and belong to no figure. This
script prints figures only; it asserts nothing about speed.

    python bench/bench_surface_trace.py                      # 100^3 box, 10^6 rays
    python bench/bench_surface_trace.py --cells 40 --rays 200000 --repeat 1
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time

import numpy as np

# Use the helpers of this tree, whether or not the package is installed.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _child import run_child  # noqa: E402
from lumivex_tools import box_mesh, write_ry, write_vtk  # noqa: E402

# The child: argv[1] is a JSON job; the figures go to job["result"] as JSON.
# Its stdout and stderr (the engine's messages) go to the log file the parent
# opened for it.
CHILD = r'''
import json, sys, time
job = json.loads(sys.argv[1])
import lumivex

engine = lumivex.Lumivex()
t0 = time.perf_counter()
engine.load_mesh(job["mesh"])
t1 = time.perf_counter()
engine.load_rays(job["rays"])
t2 = time.perf_counter()

reflect = lumivex.OpticalBoundaryCondition()
reflect.interaction_type = lumivex.REFLECT
reflect.refractive_index_real = 1.0
reflect.faces = list(range(engine.get_boundary_face_count()))
engine.set_boundary_conditions([reflect])
engine.set_solver_type("FE")

t3 = time.perf_counter()
engine.config()
t4 = time.perf_counter()
engine.configure_outfilename(job["out"])

traces = []
for k in range(job["repeat"]):
    if k:
        engine.load_rays(job["rays"])  # fresh origins: the trace moved the rays onto their faces
    start = time.perf_counter()
    engine.compute_volumetric_absorption()
    traces.append(time.perf_counter() - start)
sys.stdout.flush()

result = {
    "device": lumivex.device(),
    "faces": engine.get_boundary_face_count(),
    "elements": engine.get_element_count(),
    "rays": engine.get_ray_count(),
    "visits": engine.get_element_visit_count(),
    "load_mesh": t1 - t0,
    "load_rays": t2 - t1,
    "build": t4 - t3,
    "traces": traces,
}
with open(job["result"], "w") as f:
    json.dump(result, f)
'''


def make_rays(n_rays, seed, plane_z=-0.25, overhang=0.1, max_tilt=0.05):
    """Origins on the plane z = plane_z over [-overhang, 1 + overhang]^2,
    directions (tx, ty, 1) normalised with |tx|, |ty| <= max_tilt, power 1."""
    rng = np.random.default_rng(seed)
    origins = np.column_stack([rng.uniform(-overhang, 1.0 + overhang, (n_rays, 2)), np.full(n_rays, plane_z)])
    directions = np.column_stack([rng.uniform(-max_tilt, max_tilt, (n_rays, 2)), np.ones(n_rays)])
    directions /= np.linalg.norm(directions, axis=1)[:, None]
    return origins, directions


def hits_unit_box(origins, directions):
    """Which rays meet the box [0, 1]^3 ahead of their origin (slab test)."""
    with np.errstate(divide="ignore", invalid="ignore"):
        t0 = (0.0 - origins) / directions
        t1 = (1.0 - origins) / directions
    near = np.nanmax(np.minimum(t0, t1), axis=1)
    far = np.nanmin(np.maximum(t0, t1), axis=1)
    return (far >= np.maximum(near, 0.0))




def main(argv=None):
    load_before = os.getloadavg()[0]  # other work on the machine skews the thread scaling
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--cells", type=int, default=100,
                    help="elements along each edge of the unit box (default 100: 6*10^4 boundary faces)")
    ap.add_argument("--rays", type=int, default=1_000_000, help="number of rays (default 10^6)")
    ap.add_argument("--threads", default="1,2", help="OMP_NUM_THREADS values, comma separated (default 1,2)")
    ap.add_argument("--repeat", type=int, default=3,
                    help="timed traces per child, fastest reported (default 3)")
    ap.add_argument("--seed", type=int, default=1, help="random seed of the rays (default 1)")
    ap.add_argument("--show-log", action="store_true", help="print the engine's messages of each child")
    args = ap.parse_args(argv)
    threads = [int(t) for t in args.threads.split(",") if t.strip()]
    if args.cells < 1 or args.rays < 1 or args.repeat < 1 or not threads or min(threads) < 1:
        ap.error("--cells, --rays, --repeat and every --threads value must be at least 1")

    n = args.cells
    with tempfile.TemporaryDirectory(prefix="lvx-bench-") as tmp:
        mesh_path, rays_path = os.path.join(tmp, f"box{n}.vtk"), os.path.join(tmp, "rays.ry")
        t0 = time.perf_counter()
        points, hexahedra = box_mesh(n, n, n)
        write_vtk(mesh_path, points, hexahedra, refractive_index=1.5, absorptivity=0.1, title=f"box {n}^3")
        del points, hexahedra
        t1 = time.perf_counter()
        origins, directions = make_rays(args.rays, args.seed)
        hit = int(hits_unit_box(origins, directions).sum())
        write_ry(rays_path, origins, directions, np.ones(len(origins)))
        del origins, directions
        t2 = time.perf_counter()

        print(f"mesh: {n}x{n}x{n} unit box, {n ** 3:,} elements, {6 * n * n:,} boundary faces "
              f"(written in {t1 - t0:.1f} s, not part of any figure)")
        print(f"rays: {args.rays:,} from z = -0.25 over [-0.1, 1.1]^2, tilts up to 0.05 rad; "
              f"{hit:,} ({100.0 * hit / args.rays:.1f} %) meet the box (written in {t2 - t1:.1f} s)")
        print("every boundary face REFLECTs: each ray that meets the box ends at its entry face")

        results = {}
        for k in threads:
            job = {"mesh": mesh_path, "rays": rays_path, "repeat": args.repeat,
                   "out": os.path.join(tmp, f"out{k}.vtu"), "result": os.path.join(tmp, f"result{k}.json")}
            log_path = os.path.join(tmp, f"log{k}.txt")
            results[k] = run_child(CHILD, job, k, log_path, "")
            if args.show_log:
                print(f"\n--- engine output, OMP_NUM_THREADS={k} ---")
                with open(log_path) as f:
                    print(f.read().rstrip())
                print("---")

    first = results[threads[0]]
    device = first["device"]
    print(f"\nbackend: lumivex.device() = {device}; {os.cpu_count()} CPUs visible; "
          f"1-min load average {load_before:.2f} before, {os.getloadavg()[0]:.2f} after (this run included)"
          + ("" if device == "cpu" else "; OMP_NUM_THREADS only affects host-side work here"))
    if first["faces"] != 6 * n * n:
        print(f"note: the engine reports {first['faces']:,} boundary faces")
    if any(r["visits"] for r in results.values()):
        print("note: some rays walked into the mesh (a REFLECT face should have ended them)")
    note = f", fastest of {args.repeat}" if args.repeat > 1 else ""
    print()
    print(f"{'threads':>7}  {'load mesh':>10}  {'face-grid build':>15}  {'trace' + note:>20}  {'rays/s':>14}")
    for k in threads:
        r = results[k]
        best = min(r["traces"])
        print(f"{k:>7}  {r['load_mesh']:9.2f}s  {r['build']:14.3f}s  {best:19.3f}s  {r['rays'] / best:14,.0f}")
    if len(threads) > 1:
        base = threads[0]
        for k in threads[1:]:
            trace = min(results[base]["traces"]) / min(results[k]["traces"])
            build = results[base]["build"] / results[k]["build"]
            print(f"scaling {base} -> {k} threads: trace {trace:.2f}x, face-grid build {build:.2f}x")
    if args.repeat > 1:
        print("all trace times (s): " + "; ".join(
            f"{k} thr: " + ", ".join(f"{t:.3f}" for t in results[k]["traces"]) for k in threads))


if __name__ == "__main__":
    main()
