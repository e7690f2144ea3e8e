#!/usr/bin/env python3
"""Projection design: cost of the adjoint, time to a positive process window,
and what designing through the full optics buys over a refraction-blind model.

1. One forward trace against one forward + response (adjoint) pair of the same
   rays (all angles in one ray set); each the fastest of --repeat. Goal:
   pair / forward <= 2.2.
2. The design of the built-in gear (lumivex-design's target) in the vial:
   iterations and seconds until the process window first turns positive, and
   the final metrics.
3. The same target in a vial of resin n = 1.5 in air, designed (a) with the
   full model (refraction and Fresnel loss at the wall) and (b) refraction-
   blind (the same mesh with n = 1 and no boundary conditions: straight rays
   without interface losses, what a straight-ray projector model assumes);
   both pattern sets evaluated in the full model.

Sections 1 and 2 use the demo's vial (resin n = 1.48, glass outside). The
problem size defaults to lumivex-design's (half the demo's mesh resolution,
24 angles of 30 x 18 pixels); --demo uses the demo's mesh and projector (60
angles, 80 x 48 pixels), which needs a GPU. Prints figures only; asserts nothing.

    python bench/bench_design.py
    python bench/bench_design.py --demo --iterations 60
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import platform
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
from lumivex_tools import design  # noqa: E402
from lumivex_tools.quiet import engine_output_captured  # noqa: E402
from lumivex_tools.vial import VialSetup  # noqa: E402

PAIR_GOAL = 2.2
ENGINE_LOG = os.path.join(tempfile.gettempdir(), "bench_design_engine.log")  # the engine's messages


def arguments():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--demo", action="store_true", help="the demo's vial and projector sizes")
    parser.add_argument("--iterations", type=int, default=20)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--solver", choices=("FE", "RK4"), default="FE")
    return parser.parse_args()


def problem(args):
    if args.demo:
        setup = VialSetup(solver=args.solver)
        projector = design.Projector(width=80, height=48, n_angles=60)
    else:
        setup = VialSetup(n_radial=5, n_around=28, n_z=10, solver=args.solver)
        projector = design.Projector(width=30, height=18, n_angles=24)
    return setup, projector


def pair_timing(setup, projector, repeat):
    """Fastest forward trace and fastest response trace of the same rays (all
    angles), each with its host work (powers in, dose or pixel gradient out)."""
    engine, volumes = design.design_engine(setup)
    model = design.DoseModel(engine, projector, setup, volumes)
    patterns = np.random.default_rng(0).uniform(0.0, 1.0, projector.shape)
    d = model.dose(patterns)  # surface trace, once
    forward, response = [], []
    for _ in range(repeat):
        t0 = time.perf_counter()
        d = model.dose(patterns)
        t1 = time.perf_counter()
        model.pullback(d)
        forward.append(t1 - t0)
        response.append(time.perf_counter() - t1)
    return min(forward), min(response), len(model.pixel), engine.get_node_count()


def designed(setup, projector, iterations, blind=False):
    engine, volumes = design.design_engine(setup)
    if blind:
        engine.set_refractive_index(np.ones(engine.get_node_count()))
        engine.clear_boundary_conditions()
    return design.optimize(engine, projector, design.gear(), volumes, setup=setup, iterations=iterations)


def main():
    args = arguments()
    setup, projector = problem(args)
    import lumivex

    load = os.getloadavg() if hasattr(os, "getloadavg") else (float("nan"),) * 3
    print(f"machine: {platform.node()} ({platform.processor() or platform.machine()}), {os.cpu_count()} cores, "
          f"backend {lumivex.device()}, OMP_NUM_THREADS={os.environ.get('OMP_NUM_THREADS', 'unset')}, "
          f"load average {load[0]:.1f}")
    print(f"problem: vial {setup.n_radial} rings x {setup.n_around} around x {setup.n_z} layers, "
          f"{projector.n_angles} angles x {projector.height} x {projector.width} pixels, solver {setup.solver}")

    with engine_output_captured(ENGINE_LOG):
        forward, response, rays, nodes = pair_timing(setup, projector, args.repeat)
    print(f"\n1. adjoint cost ({rays} rays, {nodes} nodes, fastest of {args.repeat} each)")
    print(f"   forward trace            {forward:8.3f} s")
    print(f"   response trace           {response:8.3f} s")
    print(f"   (forward + response) / forward {(forward + response) / forward:8.2f}   (goal <= {PAIR_GOAL})")

    with engine_output_captured(ENGINE_LOG):
        demo = designed(setup, projector, args.iterations)
    first = next((h for h in demo.history if h["process_window"] > 0), None)
    print(f"\n2. design of the gear, {len(demo.history) - 1} iterations in {demo.seconds:.1f} s")
    if first:
        print(f"   first positive process window: iteration {first['iteration']}, {first['seconds']:.1f} s, "
              f"{first['traces']} traces")
    else:
        print("   the process window stayed negative")
    print(f"   start: process window {demo.history[0]['process_window']:+.4f}, "
          f"Jaccard {demo.history[0]['jaccard']:.4f}")
    print(f"   final: process window {demo.metrics['process_window']:+.4f}, Jaccard {demo.metrics['jaccard']:.4f}, "
          f"in-part dose range {demo.metrics['in_part_dose_range']:.4f}")

    air = dataclasses.replace(setup, resin_index=1.5, glass_index=1.0)
    with engine_output_captured(ENGINE_LOG):
        full = designed(air, projector, args.iterations)
        blind = designed(air, projector, args.iterations, blind=True)
        engine, volumes = design.design_engine(air)
        blind_in_full = design.evaluate(engine, projector, blind.patterns, design.gear(), volumes, air)
    print("\n3. resin n = 1.5 in air, evaluated in the full model   process window   Jaccard")
    print(f"   (a) designed with the full optics                   {full.metrics['process_window']:+14.4f}   "
          f"{full.metrics['jaccard']:.4f}")
    print(f"   (b) designed refraction-blind                       {blind_in_full['process_window']:+14.4f}   "
          f"{blind_in_full['jaccard']:.4f}")
    print(f"   (b) in its own straight-ray model                   {blind.metrics['process_window']:+14.4f}   "
          f"{blind.metrics['jaccard']:.4f}")


if __name__ == "__main__":
    main()
