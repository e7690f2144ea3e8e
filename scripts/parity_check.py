#!/usr/bin/env python3
"""Same scenes on two backends, compared node by node.

Each backend of --devices runs in its own child process (LUMIVEX_DEVICE is fixed
at import) and traces the same scenes with both solvers:

* box: a graded-index box (n = 1.4 + 0.1 x), rays entering through the bottom;
* cylinder: a graded-index O-grid rod (n = 1.5 - 0.05 (r/R)^2) whose side is a
  rough reflecting face and whose top reflects specularly, so rays bounce and
  draw random numbers.

Then one kuravel step is run on the cylinder's Forward Euler result. The
parent compares, per scene and solver, the element visits (equal) and the
absorbed power per node (relative difference at most --rtol on the nodes that
hold 99 % of the power); for the kinetics step, the degree of curing, the
oxygen concentration and the mesh's new refractive index (relative difference
at most --rtol where the reference is not negligible). Exit status 1 on any
mismatch.

    python scripts/parity_check.py                      # cuda against cpu
    python scripts/parity_check.py --devices cpu,cpu    # smoke run of the script itself
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
from lumivex_tools import box_mesh, cylinder_mesh, write_ry, write_vtk  # noqa: E402

RADIUS = 0.5
POWER_SHARE = 0.99   # nodes compared: those holding this share of the absorbed power
NEGLIGIBLE = 1e-12   # kinetics values below this (relative to the largest) are not compared

CHILD = r'''
import json, sys
import numpy as np
import lumivex, kuravel

job = json.loads(sys.argv[1])
results = {"device": lumivex.device()}


def condition(faces, interaction, rough=False, roughness=0.0):
    bc = lumivex.OpticalBoundaryCondition()
    bc.faces = faces
    bc.interaction_type = interaction
    bc.rough_surface = rough
    bc.roughness = roughness
    bc.refractive_index_real = 1.0
    return bc


def engine_for(scene, solver):
    engine = lumivex.Lumivex()
    engine.load_mesh(scene["mesh"])
    engine.load_rays(scene["rays"])
    engine.set_solver_type(solver)
    if scene["name"] == "cylinder":
        side = engine.select_boundary_faces_radial(0.99 * scene["radius"], 1.01 * scene["radius"])
        top = engine.select_boundary_faces_bbox(-1, 1, -1, 1, 0.999, 1.001)
        engine.set_boundary_conditions([condition(side, lumivex.REFLECT, rough=True, roughness=0.2),
                                        condition(top, lumivex.REFLECT)])
    engine.config()
    engine.configure_outfilename(job["scratch"])
    return engine


def kinetics(engine):
    p = kuravel.KuravelProps()
    p.dt = 1.0
    p.diffusion_oxygen = p.diffusion_radical = 1e-3
    p.kpropagation, p.koxygen = 1e-2, 1e-2
    p.c_monomer0, p.c_oxygen0 = 1.0, 0.5
    p.n0, p.n1, p.alpha0, p.alpha1 = 1.5, 1.55, 0.1, 0.05
    model = kuravel.Kuravel(engine.get_node_count(), p)
    model.initialize_accelerator(engine.get_mesh_ptr())
    model.reaction_step(engine.get_result_array_device_ptr(), engine.get_mesh_data_devlink_ptr())
    return {"doc": model.get_degree_of_curing().tolist(), "oxygen": model.get_oxygen_concentration().tolist(),
            "refractive_index": engine.get_refractive_index().tolist()}


for scene in job["scenes"]:
    for solver in job["solvers"]:
        engine = engine_for(scene, solver)
        engine.compute_volumetric_absorption()
        key = scene["name"] + "/" + solver
        results[key] = {"power": engine.get_absorbed_power().tolist(), "visits": engine.get_element_visit_count()}
        if scene["name"] == "cylinder" and solver == "FE":
            results["kinetics"] = kinetics(engine)
with open(job["result"], "w") as f:
    json.dump(results, f)
'''


def upward(rng, n, tilt=0.05):
    d = np.column_stack([rng.uniform(-tilt, tilt, (n, 2)), np.ones(n)])
    return d / np.linalg.norm(d, axis=1)[:, None]


def write_scenes(tmp, cells, n_rays, seed):
    rng = np.random.default_rng(seed)
    scenes = []
    points, hexahedra = box_mesh(cells, cells, cells)
    origins = np.column_stack([rng.uniform(0.05, 0.95, (n_rays, 2)), np.full(n_rays, -0.1)])
    scenes.append(("box", points, hexahedra, 1.4 + 0.1 * points[:, 0], origins))
    half = max(1, (cells + 1) // 2)
    points, hexahedra = cylinder_mesh(RADIUS, 1.0, half, 4 * half, cells)
    r = 0.8 * RADIUS * np.sqrt(rng.uniform(0.0, 1.0, n_rays))
    phi = rng.uniform(0.0, 2.0 * np.pi, n_rays)
    origins = np.column_stack([r * np.cos(phi), r * np.sin(phi), np.full(n_rays, -0.1)])
    index = 1.5 - 0.05 * (points[:, 0] ** 2 + points[:, 1] ** 2) / RADIUS ** 2
    scenes.append(("cylinder", points, hexahedra, index, origins))

    jobs = []
    for name, points, hexahedra, index, origins in scenes:
        mesh, rays = os.path.join(tmp, f"{name}.vtk"), os.path.join(tmp, f"{name}.ry")
        write_vtk(mesh, points, hexahedra, refractive_index=index, absorptivity=0.5, title=name)
        # Wide tilts on the cylinder send rays into its rough side.
        write_ry(rays, origins, upward(rng, n_rays, 0.05 if name == "box" else 0.4), np.ones(n_rays))
        jobs.append({"name": name, "mesh": mesh, "rays": rays, "radius": RADIUS})
    return jobs


def run_child(device, job, tmp, tag):
    job = dict(job, result=os.path.join(tmp, f"{tag}.json"), scratch=os.path.join(tmp, f"{tag}.vtu"))
    env = {k: v for k, v in os.environ.items() if not k.startswith("LUMIVEX_DEVICE")}
    env["LUMIVEX_DEVICE"] = device
    proc = subprocess.run([sys.executable, "-c", CHILD, json.dumps(job)], capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        sys.exit(f"{device} child failed (exit {proc.returncode}):\n{proc.stdout[-3000:]}\n{proc.stderr[-3000:]}")
    with open(job["result"]) as f:
        return json.load(f)


def relative(a, b):
    return np.abs(a - b) / np.maximum(np.abs(b), np.finfo(float).tiny)


def power_nodes(power):
    """Indices of the strongest nodes that together hold POWER_SHARE of the total."""
    order = np.argsort(power)[::-1]
    total = power.sum()
    if total <= 0:
        return order[:0]
    count = int(np.searchsorted(np.cumsum(power[order]), POWER_SHARE * total)) + 1
    return order[:count]


def compare(test, ref, rtol):
    failures = []
    for key in sorted(k for k in ref if "/" in k):
        a, b = np.array(test[key]["power"]), np.array(ref[key]["power"])
        nodes = power_nodes(b)
        worst = float(relative(a[nodes], b[nodes]).max()) if len(nodes) else 0.0
        visits = (test[key]["visits"], ref[key]["visits"])
        ok = worst <= rtol and visits[0] == visits[1]
        print(f"{key:<14} visits {visits[0]:>10} vs {visits[1]:>10}   "
              f"max rel. power diff {worst:.2e} on {len(nodes)} nodes   {'ok' if ok else 'MISMATCH'}")
        if not ok:
            failures.append(key)
    for field, values in ref["kinetics"].items():
        a, b = np.array(test["kinetics"][field]), np.array(values)
        mask = np.abs(b) > NEGLIGIBLE * max(np.abs(b).max(), NEGLIGIBLE)
        worst = float(relative(a[mask], b[mask]).max()) if mask.any() else 0.0
        ok = worst <= rtol
        print(f"kinetics {field:<17} max rel. diff {worst:.2e} on {int(mask.sum())} nodes   "
              f"{'ok' if ok else 'MISMATCH'}")
        if not ok:
            failures.append("kinetics/" + field)
    return failures


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--devices", default="cuda,cpu", help="backend under test and reference (default cuda,cpu)")
    ap.add_argument("--cells", type=int, default=8, help="box cells per edge and cylinder layers (default 8)")
    ap.add_argument("--rays", type=int, default=2000, help="rays per scene (default 2000)")
    ap.add_argument("--rtol", type=float, default=1e-5, help="largest relative difference (default 1e-5)")
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args(argv)
    devices = [d.strip() for d in args.devices.split(",")]
    if len(devices) != 2:
        ap.error("--devices takes two backends, for example cuda,cpu")
    with tempfile.TemporaryDirectory(prefix="lvx-parity-") as tmp:
        job = {"scenes": write_scenes(tmp, args.cells, args.rays, args.seed), "solvers": ["FE", "RK4"]}
        test, ref = (run_child(device, job, tmp, f"{k}-{device}") for k, device in enumerate(devices))
    print(f"{test['device']} against {ref['device']}, {args.rays} rays per scene, rtol {args.rtol:g}")
    failures = compare(test, ref, args.rtol)
    print("parity: " + ("ok" if not failures else "MISMATCH in " + ", ".join(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
