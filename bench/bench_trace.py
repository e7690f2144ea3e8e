#!/usr/bin/env python3
"""Volumetric trace throughput through graded-index media, Forward Euler and RK4, new step rule against the old.

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

Each (mesh, solver, variant, OMP_NUM_THREADS) runs in a fresh child process
with the backend that the environment selects. The variants, chosen through
the engine's hidden ``_set_trace_options``:

* old: the earlier step rule (every visit starts at h = 0.1, halved on each
  overshoot), baseline x86-64 CPU build: the trace as it was;
* new/x86-64: steps sized from the element, baseline CPU build;
* new: steps sized from the element, x86-64-v3 CPU build (AVX2 + FMA) where
  the processor has it (the default).

In each child the first ``compute_volumetric_absorption()`` also carries the
rays onto the mesh (the surface trace); the trace figures are the fastest of
--repeat later calls. Element visits, steps (accepted and rejected) and
right-hand-side evaluations come from the engine's counters of the last
compute; the absorbed total is sum(Q * nodal volume).

Goals, printed with the figures (CPU backend, same run): new >= 5x old
visits/s with Forward Euler and >= 8x with RK4 (stretch: 2.5 M and 1 M
visits/s per thread); at most 3 steps per visit; >= 1.8x from 1 to 2 threads;
on one H100 >= 1e9 visits/s with Forward Euler. This script prints figures
only; it asserts nothing about speed.

    python bench/bench_trace.py                        # defaults below
    python bench/bench_trace.py --quick                # smoke run
    python bench/bench_trace.py --cells 30 --rays 100000 --repeat 3
"""

from __future__ import annotations

import argparse
import itertools
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
GPU_VISITS_GOAL = 1e9       # element visits per second, Forward Euler, one H100
SPEEDUP_GOALS = {"FE": 5.0, "RK4": 8.0}          # new / old visits per second, CPU
STRETCH_PER_THREAD = {"FE": 2.5e6, "RK4": 1e6}   # visits per second per thread, CPU
STEPS_PER_VISIT_GOAL = 3.0
# label -> (step rule, x86-64-v3 CPU trace allowed)
VARIANTS = {"old": ("fixed", False), "new/x86-64": ("element", False), "new": ("element", True)}
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
engine._set_trace_options(job["step_rule"], job["wide"])
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
import numpy as np
absorbed = float(engine.get_absorbed_power() @ np.load(job["volumes"]))

result = {
    "device": lumivex.device(),
    "elements": engine.get_element_count(),
    "rays": engine.get_ray_count(),
    "first": first,
    "first_visits": first_visits,
    "traces": traces,
    "visits": visits,
    "steps": engine.get_step_count(),
    "evaluations": engine.get_derivative_evaluation_count(),
    "absorbed": absorbed,
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


def nodal_volumes(points, hexahedra):
    """An eighth of each element's volume (2x2x2 Gauss, exact for trilinear hexahedra) per node."""
    corners = np.array([[-1, -1, -1], [1, -1, -1], [1, 1, -1], [-1, 1, -1],
                        [-1, -1, 1], [1, -1, 1], [1, 1, 1], [-1, 1, 1]], dtype=float)
    x = points[hexahedra]
    volume = np.zeros(len(hexahedra))
    for q in itertools.product((-1 / math.sqrt(3), 1 / math.sqrt(3)), repeat=3):
        f = 1 + corners * q
        dn = np.stack([corners[:, 0] * f[:, 1] * f[:, 2], corners[:, 1] * f[:, 0] * f[:, 2],
                       corners[:, 2] * f[:, 0] * f[:, 1]], axis=1) / 8
        volume += np.linalg.det(np.einsum("ki,ekj->eij", dn, x))
    out = np.zeros(len(points))
    np.add.at(out, hexahedra, np.repeat(volume[:, None] / 8, 8, axis=1))
    return out


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




def run_all(args, cells, n_rays, repeat, threads, solvers, meshes, variants):
    """Every (mesh, solver, variant, threads) in its own child; returns results and mesh labels."""
    cases = {"box": (box_case, box_rays), "cylinder": (cylinder_case, cylinder_rays)}
    results, labels = {}, {}
    rng = np.random.default_rng(args.seed)
    with tempfile.TemporaryDirectory(prefix="lvx-bench-") as tmp:
        for mesh in meshes:
            make_mesh, make_rays = cases[mesh]
            t0 = time.perf_counter()
            points, hexahedra, index, label = make_mesh(cells)
            mesh_path, rays_path = os.path.join(tmp, f"{mesh}.vtk"), os.path.join(tmp, f"{mesh}.ry")
            volumes_path = os.path.join(tmp, f"{mesh}-volumes.npy")
            write_vtk(mesh_path, points, hexahedra, refractive_index=index, absorptivity=ABSORPTIVITY, title=label)
            np.save(volumes_path, nodal_volumes(points, hexahedra))
            origins, directions = make_rays(rng, n_rays)
            write_ry(rays_path, origins, directions, np.ones(n_rays))
            labels[mesh] = f"{label}; {len(hexahedra):,} elements"
            print(f"{mesh}: {labels[mesh]} (mesh and rays written in {time.perf_counter() - t0:.1f} s)", flush=True)
            del points, hexahedra, index
            for solver, variant, k in itertools.product(solvers, variants, threads):
                rule, wide = VARIANTS[variant]
                tag = f"{mesh}-{solver}-{variant.replace('/', '_')}-{k}"
                job = {"mesh": mesh_path, "rays": rays_path, "solver": solver, "repeat": repeat,
                       "step_rule": rule, "wide": wide, "volumes": volumes_path,
                       "out": os.path.join(tmp, f"{tag}.vtu"), "result": os.path.join(tmp, f"{tag}.json")}
                log_path = os.path.join(tmp, f"{tag}.log")
                t0 = time.perf_counter()
                results[mesh, solver, variant, k] = run_child(CHILD, job, k, log_path, f"{solver} {variant}, ")
                print(f"  {solver:<3} {variant:<10} OMP_NUM_THREADS={k}: child done in "
                      f"{time.perf_counter() - t0:.1f} s", flush=True)
                if args.show_log:
                    with open(log_path) as f:
                        print(f"--- engine output, {tag} ---\n{f.read().rstrip()}\n---")
    return results, labels


def figures(r):
    """(trace seconds, visits/s, steps/visit, evaluations/visit) of one child's fastest trace."""
    best = min(r["traces"])
    visits = r["visits"][r["traces"].index(best)]
    per_visit = max(visits, 1)
    return best, visits / best, r["steps"] / per_visit, r["evaluations"] / per_visit


def print_tables(results, labels, meshes, solvers, variants, threads):
    """One table per mesh; returns the speed-ups new/old per (mesh, solver, threads)."""
    header = (f"  {'solver':<6} {'variant':<10} {'threads':>7} {'trace':>9} {'visits/ray':>10} {'visits/s':>12} "
              f"{'per thread':>11} {'steps/visit':>11} {'evals/visit':>11} {'absorbed':>11} {'vs old':>9}")
    speedups = {}
    for mesh in meshes:
        print(f"\n{mesh}: {labels[mesh]}")
        print(header)
        for solver, variant, k in itertools.product(solvers, variants, threads):
            r = results[mesh, solver, variant, k]
            best, rate, steps, evaluations = figures(r)
            old = results.get((mesh, solver, "old", k))
            change = f"{r['absorbed'] / old['absorbed'] - 1:+9.1e}" if old and variant != "old" else f"{'':>9}"
            print(f"  {solver:<6} {variant:<10} {k:>7} {best:8.3f}s {r['visits'][0] / max(r['rays'], 1):10.1f} "
                  f"{rate:12,.0f} {rate / k:11,.0f} {steps:11.2f} {evaluations:11.2f} {r['absorbed']:11.6g} "
                  f"{change}")
            if old and variant == "new":
                speedups[mesh, solver, k] = rate / figures(old)[1]
        for solver, variant in itertools.product(solvers, variants):
            if 1 in threads and 2 in threads:
                ratio = min(results[mesh, solver, variant, 1]["traces"]) / min(results[mesh, solver, variant, 2]["traces"])
                print(f"  {solver} {variant}: 1 -> 2 threads {ratio:.2f}x")
    return speedups


def print_goals(results, speedups, meshes, solvers, threads, on_cpu):
    print("\ngoals:")
    if not on_cpu:
        fe = [figures(r)[1] for (m, s, v, k), r in results.items() if s == "FE" and v == "new"]
        best = max(fe) if fe else 0.0
        print(f"  one H100, Forward Euler: goal >= {GPU_VISITS_GOAL:.0e} element visits/s; measured {best:,.0f}/s "
              f"on this GPU ({'meets' if best >= GPU_VISITS_GOAL else 'below'} the goal; check the GPU is an H100)")
    for (mesh, solver, k), ratio in sorted(speedups.items()):
        goal = SPEEDUP_GOALS[solver]
        rate = figures(results[mesh, solver, "new", k])[1] / k
        print(f"  {mesh} {solver}, {k} thread(s): new/old visits/s {ratio:.1f}x (goal >= {goal:.0f}x: "
              f"{'meets' if ratio >= goal else 'below'}); {rate:,.0f} visits/s per thread "
              f"(stretch {STRETCH_PER_THREAD[solver]:,.0f})")
    for mesh, solver in itertools.product(meshes, solvers):
        key = (mesh, solver, "new", threads[0])
        if key in results:
            steps = figures(results[key])[2]
            print(f"  {mesh} {solver}: {steps:.2f} steps per visit (goal <= {STEPS_PER_VISIT_GOAL:.0f}: "
                  f"{'meets' if steps <= STEPS_PER_VISIT_GOAL else 'above'})")
    if on_cpu and 1 in threads and 2 in threads:
        worst = min(min(results[m, s, "new", 1]["traces"]) / min(results[m, s, "new", 2]["traces"])
                    for m, s in itertools.product(meshes, solvers))
        print(f"  CPU, 1 -> 2 threads (new): goal >= {SCALING_GOAL:.1f}x; lowest {worst:.2f}x "
              f"({'meets' if worst >= SCALING_GOAL else 'below'} the goal; a shared machine scales worse)")


def main(argv=None):
    load_before = os.getloadavg()[0]  # other work on the machine skews the figures
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--cells", type=int, default=None,
                    help=f"box elements per edge and cylinder layers (default {DEFAULT_CELLS}; quick: 10)")
    ap.add_argument("--rays", type=int, default=None, help=f"rays per mesh (default {DEFAULT_RAYS:,}; quick: 2,000)")
    ap.add_argument("--repeat", type=int, default=None,
                    help="timed traces per child after the first call, fastest reported (default 1)")
    ap.add_argument("--threads", default="1,2", help="OMP_NUM_THREADS values, comma separated (default 1,2)")
    ap.add_argument("--solvers", default="FE,RK4", help="solvers, comma separated (default FE,RK4)")
    ap.add_argument("--meshes", default="box,cylinder", help="meshes, comma separated (default box,cylinder)")
    ap.add_argument("--variants", default=",".join(VARIANTS),
                    help=f"variants, comma separated (default {','.join(VARIANTS)}; 'old' runs on the CPU backend only)")
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
    variants = [v.strip() for v in args.variants.split(",") if v.strip()]
    if cells < 1 or n_rays < 1 or repeat < 1 or not threads or min(threads) < 1:
        ap.error("--cells, --rays, --repeat and every --threads value must be at least 1")
    if set(solvers) - {"FE", "RK4"} or set(meshes) - {"box", "cylinder"} or not solvers or not meshes:
        ap.error("--solvers takes FE and RK4, --meshes takes box and cylinder")
    if set(variants) - set(VARIANTS) or not variants:
        ap.error(f"--variants takes {', '.join(VARIANTS)}")

    results, labels = run_all(args, cells, n_rays, repeat, threads, solvers, meshes, variants)
    device = next(iter(results.values()))["device"]
    on_cpu = device == "cpu"
    print(f"\nbackend: lumivex.device() = {device}; {os.cpu_count()} CPUs visible; "
          f"1-min load average {load_before:.2f} before, {os.getloadavg()[0]:.2f} after (this run included)"
          + ("" if on_cpu else "; OMP_NUM_THREADS only affects host-side work here"))
    print(f"rays per mesh: {n_rays:,}; no boundary conditions; trace = fastest of {repeat} call(s) after the first; "
          "'vs old': relative change of the absorbed total against the old step rule")
    speedups = print_tables(results, labels, meshes, solvers, variants, threads)
    print_goals(results, speedups, meshes, solvers, threads, on_cpu)


if __name__ == "__main__":
    main()
