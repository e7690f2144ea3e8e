#!/usr/bin/env python3
"""Volumetric trace throughput through graded-index media, Forward Euler and RK4.

Two meshes, both of unit height, rays entering through the bottom (z = 0):

* box: an N x N x N unit box with n = 1.4 + 0.1 x (a gradient across the rays)
  and absorptivity 0.1 per unit length;
* cylinder: an O-grid cylinder of radius 0.5 from ``cylinder_mesh`` (N layers,
  ceil(N/2) rings, 4 ceil(N/2) elements around) with n = 1.5 - 0.05 (r/R)^2
  (a graded-index rod: rays bend towards the axis) and absorptivity 0.1.

Rays start just below the bottom face, over its inner part (90 % of the box's
width, 80 % of the cylinder's radius), aimed upward with tilts of at most
0.05 rad, power 1. No boundary conditions: rays enter without loss and end
where they leave the mesh.

Each (mesh, solver, OMP_NUM_THREADS) runs in a fresh child process with the
backend that the environment selects. In each child the first
``compute_volumetric_absorption()`` also carries the rays onto the mesh (the
surface trace) and is reported on its own; the trace figures are the fastest
of --repeat later calls, which trace the same rays again from their entry
faces. Element visits come from ``get_element_visit_count()``: the element
visits of all rays in the last compute.

Goals, printed with the figures: at least 1.8x from 1 to 2 threads on the CPU,
and at least 10^8 element visits per second with Forward Euler on one H100.
This script prints figures only; it asserts nothing about speed.

    python bench/bench_trace.py                        # defaults below
    python bench/bench_trace.py --quick                # smoke run, a few seconds
    python bench/bench_trace.py --cells 30 --rays 100000 --repeat 3
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import tempfile
import time

import numpy as np

# Use the helpers of this tree, whether or not the package is installed.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _child import run_child  # noqa: E402
from lumivex_tools import box_mesh, cylinder_mesh, write_ry, write_vtk  # noqa: E402

DEFAULT_CELLS = 50
DEFAULT_RAYS = 20_000
SCALING_GOAL = 1.8          # 1 -> 2 threads on the CPU
GPU_VISITS_GOAL = 1e8       # element visits per second, Forward Euler, one H100
CYLINDER_RADIUS = 0.5
ABSORPTIVITY = 0.1

# The child: argv[1] is a JSON job; the figures go to job["result"] as JSON.
# Its stdout and stderr (the engine's messages) go to the log file the parent
# opened for it.
CHILD = r'''
import json, sys, time
job = json.loads(sys.argv[1])
import lumivex

engine = lumivex.Lumivex()
engine.load_mesh(job["mesh"])
engine.load_rays(job["rays"])
engine.set_solver_type(job["solver"])
engine.config()
engine.configure_outfilename(job["out"])

start = time.perf_counter()
engine.compute_volumetric_absorption()
first = time.perf_counter() - start
first_visits = engine.get_element_visit_count()

traces, visits = [], []
for _ in range(job["repeat"]):
    engine.reset_absorbed_power()
    start = time.perf_counter()
    engine.compute_volumetric_absorption()
    traces.append(time.perf_counter() - start)
    visits.append(engine.get_element_visit_count())
sys.stdout.flush()

result = {
    "device": lumivex.device(),
    "elements": engine.get_element_count(),
    "rays": engine.get_ray_count(),
    "first": first,
    "first_visits": first_visits,
    "traces": traces,
    "visits": visits,
}
with open(job["result"], "w") as f:
    json.dump(result, f)
'''


# ---------------------------------------------------------------------------
# Inputs


def box_case(n):
    points, hexahedra = box_mesh(n, n, n)
    index = 1.4 + 0.1 * points[:, 0]
    return points, hexahedra, index, f"box {n}x{n}x{n}, n = 1.4 + 0.1 x"


def cylinder_shape(n):
    """(n_radial, n_around, n_z) of the cylinder for --cells n."""
    half = max(1, math.ceil(n / 2))
    return half, 4 * half, n


def cylinder_case(n):
    n_radial, n_around, n_z = cylinder_shape(n)
    points, hexahedra = cylinder_mesh(CYLINDER_RADIUS, 1.0, n_radial, n_around, n_z)
    r2 = (points[:, 0] ** 2 + points[:, 1] ** 2) / CYLINDER_RADIUS ** 2
    index = 1.5 - 0.05 * r2
    return (points, hexahedra, index,
            f"cylinder R = {CYLINDER_RADIUS}, {n_radial} rings x {n_around} around x {n_z} layers, "
            "n = 1.5 - 0.05 (r/R)^2")


def upward(rng, n_rays, max_tilt=0.05):
    d = np.column_stack([rng.uniform(-max_tilt, max_tilt, (n_rays, 2)), np.ones(n_rays)])
    return d / np.linalg.norm(d, axis=1)[:, None]


def box_rays(rng, n_rays):
    xy = rng.uniform(0.05, 0.95, (n_rays, 2))
    return np.column_stack([xy, np.full(n_rays, -0.1)]), upward(rng, n_rays)


def cylinder_rays(rng, n_rays):
    r = 0.8 * CYLINDER_RADIUS * np.sqrt(rng.uniform(0.0, 1.0, n_rays))
    phi = rng.uniform(0.0, 2.0 * np.pi, n_rays)
    origins = np.column_stack([r * np.cos(phi), r * np.sin(phi), np.full(n_rays, -0.1)])
    return origins, upward(rng, n_rays)




def main(argv=None):
    load_before = os.getloadavg()[0]  # other work on the machine skews the thread scaling
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--cells", type=int, default=None,
                    help=f"box elements per edge and cylinder layers (default {DEFAULT_CELLS}; quick: 10)")
    ap.add_argument("--rays", type=int, default=None, help=f"rays per mesh (default {DEFAULT_RAYS:,}; quick: 2,000)")
    ap.add_argument("--repeat", type=int, default=None,
                    help="timed traces per child after the first call, fastest reported (default 1)")
    ap.add_argument("--threads", default="1,2", help="OMP_NUM_THREADS values, comma separated (default 1,2)")
    ap.add_argument("--solvers", default="FE,RK4", help="solvers, comma separated (default FE,RK4)")
    ap.add_argument("--meshes", default="box,cylinder", help="meshes, comma separated (default box,cylinder)")
    ap.add_argument("--quick", action="store_true", help="small sizes for a smoke run")
    ap.add_argument("--seed", type=int, default=1, help="random seed of the rays (default 1)")
    ap.add_argument("--show-log", action="store_true", help="print the engine's messages of each child")
    args = ap.parse_args(argv)
    cells = args.cells or (10 if args.quick else DEFAULT_CELLS)
    n_rays = args.rays or (2_000 if args.quick else DEFAULT_RAYS)
    repeat = args.repeat or 1
    threads = [int(t) for t in args.threads.split(",") if t.strip()]
    solvers = [s.strip() for s in args.solvers.split(",") if s.strip()]
    meshes = [m.strip() for m in args.meshes.split(",") if m.strip()]
    if cells < 1 or n_rays < 1 or repeat < 1 or not threads or min(threads) < 1:
        ap.error("--cells, --rays, --repeat and every --threads value must be at least 1")
    if set(solvers) - {"FE", "RK4"} or set(meshes) - {"box", "cylinder"} or not solvers or not meshes:
        ap.error("--solvers takes FE and RK4, --meshes takes box and cylinder")
    cases = {"box": (box_case, box_rays), "cylinder": (cylinder_case, cylinder_rays)}

    results = {}   # (mesh, solver, threads) -> child result
    labels = {}
    rng = np.random.default_rng(args.seed)
    with tempfile.TemporaryDirectory(prefix="lvx-bench-") as tmp:
        for mesh in meshes:
            make_mesh, make_rays = cases[mesh]
            t0 = time.perf_counter()
            points, hexahedra, index, label = make_mesh(cells)
            mesh_path, rays_path = os.path.join(tmp, f"{mesh}.vtk"), os.path.join(tmp, f"{mesh}.ry")
            write_vtk(mesh_path, points, hexahedra, refractive_index=index, absorptivity=ABSORPTIVITY, title=label)
            origins, directions = make_rays(rng, n_rays)
            write_ry(rays_path, origins, directions, np.ones(n_rays))
            labels[mesh] = f"{label}; {len(hexahedra):,} elements"
            print(f"{mesh}: {labels[mesh]} (mesh and rays written in {time.perf_counter() - t0:.1f} s)", flush=True)
            del points, hexahedra, index
            for solver in solvers:
                for k in threads:
                    tag = f"{mesh}-{solver}-{k}"
                    job = {"mesh": mesh_path, "rays": rays_path, "solver": solver, "repeat": repeat,
                           "out": os.path.join(tmp, f"{tag}.vtu"), "result": os.path.join(tmp, f"{tag}.json")}
                    log_path = os.path.join(tmp, f"{tag}.log")
                    t0 = time.perf_counter()
                    results[mesh, solver, k] = run_child(CHILD, job, k, log_path, f"{job['solver']}, ")
                    print(f"  {solver:<3} OMP_NUM_THREADS={k}: child done in {time.perf_counter() - t0:.1f} s",
                          flush=True)
                    if args.show_log:
                        with open(log_path) as f:
                            print(f"--- engine output, {tag} ---\n{f.read().rstrip()}\n---")

    device = next(iter(results.values()))["device"]
    on_cpu = device == "cpu"
    print(f"\nbackend: lumivex.device() = {device}; {os.cpu_count()} CPUs visible; "
          f"1-min load average {load_before:.2f} before, {os.getloadavg()[0]:.2f} after (this run included)"
          + ("" if on_cpu else "; OMP_NUM_THREADS only affects host-side work here"))
    print(f"rays per mesh: {n_rays:,}; no boundary conditions; trace = fastest of {repeat} call(s) after the first")
    print("first call = surface trace + trace (+ one-time start-up, e.g. GPU kernel loading); "
          "surface trace ~ first call - trace")

    header = (f"  {'solver':<6} {'threads':>7} {'first call':>11} {'trace':>10} {'rays/s':>12} "
              f"{'visits/ray':>10} {'visits/s':>13}")
    scalings = []
    best_fe_visits = None
    for mesh in meshes:
        print(f"\n{mesh}: {labels[mesh]}")
        print(header)
        for solver in solvers:
            for k in threads:
                r = results[mesh, solver, k]
                best = min(r["traces"])
                visits = r["visits"][r["traces"].index(best)]
                rate = visits / best
                if solver == "FE":
                    best_fe_visits = max(best_fe_visits or 0.0, rate)
                print(f"  {solver:<6} {k:>7} {r['first']:10.3f}s {best:9.3f}s {r['rays'] / best:12,.0f} "
                      f"{visits / max(r['rays'], 1):10.1f} {rate:13,.0f}")
                if len(set(r["visits"] + [r["first_visits"]])) > 1:
                    print(f"  note: element visits differ between calls: {r['first_visits']} then {r['visits']}")
            if len(threads) > 1:
                base = threads[0]
                for k in threads[1:]:
                    ratio = min(results[mesh, solver, base]["traces"]) / min(results[mesh, solver, k]["traces"])
                    scalings.append((mesh, solver, base, k, ratio))
                    print(f"  {solver} scaling {base} -> {k} threads: {ratio:.2f}x")

    print("\ngoals:")
    one_two = [s for s in scalings if s[2] == 1 and s[3] == 2]
    if on_cpu and one_two:
        worst = min(one_two, key=lambda s: s[4])
        print(f"  CPU, 1 -> 2 threads: goal >= {SCALING_GOAL:.1f}x; measured "
              + ", ".join(f"{m} {s} {ratio:.2f}x" for m, s, _, _, ratio in one_two)
              + f" (lowest {worst[4]:.2f}x: {'meets' if worst[4] >= SCALING_GOAL else 'below'} the goal)")
    else:
        print(f"  CPU, 1 -> 2 threads: goal >= {SCALING_GOAL:.1f}x; "
              + ("not measured on this backend" if not on_cpu else "not measured (needs threads 1 and 2)"))
    if best_fe_visits is None:
        print(f"  one H100, Forward Euler: goal >= {GPU_VISITS_GOAL:.0e} element visits/s; FE not run")
    elif on_cpu:
        print(f"  one H100, Forward Euler: goal >= {GPU_VISITS_GOAL:.0e} element visits/s; "
              f"not measured here (CPU backend; best FE here {best_fe_visits:,.0f}/s)")
    else:
        print(f"  one H100, Forward Euler: goal >= {GPU_VISITS_GOAL:.0e} element visits/s; measured "
              f"{best_fe_visits:,.0f}/s on this GPU "
              f"({'meets' if best_fe_visits >= GPU_VISITS_GOAL else 'below'} the goal; check the GPU is an H100)")


if __name__ == "__main__":
    main()
