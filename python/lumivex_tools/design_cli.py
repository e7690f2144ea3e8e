"""lumivex-design: projector patterns that print a part in a rotating vial.

Designs one non-negative projector image per angle so that the summed dose
cures the target and nothing else, with the dose computed through the full
optics (refraction and Fresnel loss at the vial wall, absorption in the resin).
The built-in target is a small gear with a bore, extruded along the vial
axis; --target takes a closed surface mesh (STL or OBJ, in mm, vial axis z
from 0 to the vial height) instead. Writes patterns (PNG per angle and
patterns.npy), figures (pattern sheet, dose histogram, dose slices, loss and
metrics per iteration) and summary.txt, and checks the design with the
dose-threshold cure model (and the kinetics model with --kuravel).
"""

from __future__ import annotations

import argparse
import os
import sys
import time


def _arguments(argv):
    parser = argparse.ArgumentParser(prog="lumivex-design", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--outdir", default="lumivex-design-output", help="folder for the results")
    parser.add_argument("--target", default=None, help="closed surface mesh (STL/OBJ) of the part (default: a gear)")
    parser.add_argument("--angles", type=int, default=24, help="projection angles over a full turn (default 24)")
    parser.add_argument("--width", type=int, default=30, help="projector pixels across the vial (default 30)")
    parser.add_argument("--height", type=int, default=18, help="projector pixels along the axis (default 18)")
    parser.add_argument("--supersampling", type=int, default=1, help="rays per pixel side (default 1)")
    parser.add_argument("--iterations", type=int, default=20, help="L-BFGS-B iterations (default 20)")
    parser.add_argument("--resolution", type=float, default=0.5,
                        help="vial mesh refinement relative to the demo's (default 0.5)")
    parser.add_argument("--band", type=float, nargs=2, default=(0.8, 1.0), metavar=("LOW", "HIGH"),
                        help="out-of-part dose ceiling and in-part dose floor (default 0.8 1.0)")
    parser.add_argument("--solver", choices=("FE", "RK4"), default="FE",
                        help="ray integrator (default FE: the resin's index is uniform, so rays run straight)")
    parser.add_argument("--kuravel", action="store_true", help="also check with the kinetics cure model")
    parser.add_argument("--no-check", action="store_true", help="skip the check with the cure models")
    parser.add_argument("--verbose", action="store_true", help="show the engine's messages")
    return parser.parse_args(argv)


def _setup(args):
    from .vial import VialSetup

    scale = max(args.resolution, 0.1)
    around = max(8, int(round(56 * scale / 4)) * 4)
    return VialSetup(n_radial=max(2, round(10 * scale)), n_around=around, n_z=max(2, round(20 * scale)),
                     n_angles=args.angles, solver=args.solver)


def _summary(result, checks, args, projector, seconds) -> str:
    m = result.metrics
    first_positive = next((h for h in result.history if h["process_window"] > 0), None)
    lines = [
        "Projection design summary",
        f"  target               {args.target or 'built-in gear'}",
        f"  nodes                {len(result.target)} ({int(result.target.sum())} in the part)",
        f"  projector            {projector.n_angles} angles x {projector.height} x {projector.width} pixels, "
        f"{projector.supersampling ** 2} ray(s) per pixel",
        f"  iterations           {len(result.history) - 1}",
        f"  process window       {m['process_window']:.4f}",
        f"  Jaccard index        {m['jaccard']:.4f} at threshold {m['threshold']:.4f}",
        f"  in-part dose range   {m['in_part_dose_range']:.4f}",
        "  first positive window " + (f"iteration {first_positive['iteration']} after {first_positive['seconds']:.1f} s"
                                      if first_positive else "not reached"),
    ]
    for check in checks:
        lines.append(f"  cured with {check['model']:<9} Jaccard {check['jaccard']:.4f} (degree of curing >= 0.5), "
                     f"best {check['best_jaccard']:.4f} at level {check['best_level']:.3f}")
    lines.append(f"  total time           {seconds:.1f} s")
    return "\n".join(lines)


def _design(args, setup, projector, target, progress):
    from . import design

    engine, volumes = design.design_engine(setup)
    return design.optimize(engine, projector, target, volumes, setup=setup, iterations=args.iterations,
                           band=tuple(args.band), callback=progress)


def main(argv=None) -> int:
    args = _arguments(argv)
    import lumivex

    from . import design, design_report
    from .quiet import engine_output_captured

    setup = _setup(args)
    projector = design.Projector(width=args.width, height=args.height, n_angles=args.angles,
                                 supersampling=args.supersampling)
    target = args.target or design.gear()
    if args.target and not os.path.isfile(args.target):
        print(f"lumivex-design: no such target file: {args.target}", file=sys.stderr)
        return 2
    print(f"lumivex design on the {lumivex.device()} backend", flush=True)
    start = time.perf_counter()

    terminal = sys.stderr

    def progress(h):
        print(f"  iteration {h['iteration']:3d}  loss {h['loss']:.4e}  process window {h['process_window']:+.4f}"
              f"  Jaccard {h['jaccard']:.4f}  {h['seconds']:.1f} s", file=terminal, flush=True)

    def work():
        result = _design(args, setup, projector, target, progress)
        checks = []
        if not args.no_check:
            models = ["dosterin"] + (["kuravel"] if args.kuravel else [])
            checks = [design_report.cure_check(result, projector, setup, args.outdir, m) for m in models]
        return result, checks

    if args.verbose:
        result, checks = work()
    else:
        os.makedirs(args.outdir, exist_ok=True)
        with engine_output_captured(os.path.join(args.outdir, "engine.log")) as terminal:
            result, checks = work()
    design_report.write_patterns(result, args.outdir)
    figures = design_report.write_figures(result, args.outdir)
    summary = _summary(result, checks, args, projector, time.perf_counter() - start)
    summary += "\n  figures              " + ", ".join(os.path.basename(f) for f in figures.values())
    with open(os.path.join(args.outdir, "summary.txt"), "w") as f:
        f.write(summary + "\n")
    print(summary)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
