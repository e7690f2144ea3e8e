"""Tomographic exposure of a rotating vial of resin.

A cylindrical vial of resin is lit by a parallel beam whose cross-section is a
projector image. The beam is stepped around the vial axis; at every angle the
absorbed power is computed, turned into dose and cure by a cure model, and the
cured material (its refractive index and absorptivity) is what the next angle's
light sees.

Units: lengths in mm, ray power in W, time in s, so the absorbed power per
node is in W/mm^3 and the dose in J/mm^3.
"""

from __future__ import annotations

import dataclasses
import os
import time
from typing import Callable, Iterable, Optional

import numpy as np

from .cylinder import cylinder_mesh
from .meshgen import nodal_volumes
from .patterns import default_pattern
from .pvd import write_pvd
from .raypaths import write_ray_paths
from .rays import parallel_beam


@dataclasses.dataclass
class VialSetup:
    """Geometry, material, light and cure-model settings (mm, W, s, J/mm^3)."""

    radius: float = 5.0
    height: float = 6.0
    n_radial: int = 10         # element rings outside the core
    n_around: int = 56         # elements around the circumference (multiple of 4)
    n_z: int = 20              # element layers along the axis
    resin_index: float = 1.48
    cured_index: float = 1.50
    resin_absorptivity: float = 0.15   # per mm
    cured_absorptivity: float = 0.12
    glass_index: float = 1.52          # outside medium of the vial wall
    pattern_pixels: int = 80
    power_per_pixel: float = 1.0       # W
    n_angles: int = 60
    gel_dose: float = 0.7              # J/mm^3: dose at which curing starts (dosterin)
    cure_dose: float = 1.0             # J/mm^3: dose at which the resin is fully cured (dosterin)
    target_fraction: float = 1.3       # dosterin: brightest decile reaches this multiple of cure_dose
    target_conversion: float = 0.75    # kuravel: degree of curing the brightest decile reaches
    cured_threshold: float = 0.5       # degree of curing from which a node counts as cured
    model: str = "dosterin"            # or "kuravel"
    solver: str = "RK4"
    every: int = 1                     # write the series every this many angles (and the last)


MODEL_NAMES = {"dosterin": "dosterin (dose-threshold cure model)",
               "kuravel": "kuravel (photopolymerization kinetics)"}


@dataclasses.dataclass
class VialResult:
    files: list
    pvd: str
    figure: Optional[str]
    ray_figure: Optional[str]
    ray_paths: Optional[str]
    dose: np.ndarray
    degree_of_curing: np.ndarray
    cured_volume: float
    total_volume: float
    incident_power: float
    absorbed_power: list
    seconds_per_angle: list
    dt: float


@dataclasses.dataclass
class Vial:
    """The engine loaded with the vial mesh, its glass boundary and the beam."""

    engine: object
    points: np.ndarray
    hexahedra: np.ndarray
    volumes: np.ndarray
    incident_power: float


def _beam(setup: VialSetup):
    """Rays of the projector image, aimed along +x at the vial, filling its height."""
    image = default_pattern(setup.pattern_pixels)
    pixel = min(2.0 * setup.radius, setup.height) / setup.pattern_pixels
    centre = (-setup.radius - 1.0, 0.0, setup.height / 2.0)
    return parallel_beam(image, pixel, centre=centre, direction=(1, 0, 0), up=(0, 0, 1),
                         power_per_pixel=setup.power_per_pixel)


def _boundary(engine, lumivex, setup: VialSetup) -> None:
    glass = lumivex.OpticalBoundaryCondition()
    glass.interaction_type = lumivex.TRANSMIT
    glass.refractive_index_real = setup.glass_index
    glass.faces = list(range(engine.get_boundary_face_count()))
    engine.set_boundary_conditions([glass])


def vial_engine(setup: VialSetup, origins, directions, powers):
    """An engine holding the vial mesh (uncured resin, glass wall) and the given
    rays, configured with the setup's solver. Returns (engine, points, hexahedra)."""
    import lumivex

    points, hexahedra = cylinder_mesh(setup.radius, setup.height, setup.n_radial, setup.n_around, setup.n_z)
    engine = lumivex.Lumivex()
    engine.load_mesh_arrays(points, hexahedra, refractive_index=setup.resin_index,
                            absorptivity=setup.resin_absorptivity)
    _boundary(engine, lumivex, setup)
    engine.load_rays_arrays(origins, directions, powers)
    engine.set_solver_type(setup.solver)
    engine.config()
    return engine, points, hexahedra


def prepare(setup: VialSetup, output_file: str = "vial.vtu", rays=None) -> Vial:
    """An engine with the vial mesh, the glass wall, the beam (or ``rays``:
    origins, directions, powers) and the solver, configured."""
    origins, directions, powers = _beam(setup) if rays is None else rays
    engine, points, hexahedra = vial_engine(setup, origins, directions, powers)
    engine.configure_outfilename(output_file)
    return Vial(engine, points, hexahedra, nodal_volumes(points, hexahedra), float(np.sum(powers)))


class _DoseModel:
    """Dose-threshold curing through dosterin."""

    def __init__(self, engine, setup: VialSetup, dt: float):
        import dosterin

        props = dosterin.EnergeticMaterialProps()
        props.n0, props.n1 = setup.resin_index, setup.cured_index
        props.alpha0, props.alpha1 = setup.resin_absorptivity, setup.cured_absorptivity
        props.gelE, props.cureE, props.dt = setup.gel_dose, setup.cure_dose, dt
        self.model = dosterin.Dosterin(engine.get_node_count(), props)
        self.engine = engine

    @staticmethod
    def exposure_time(samples: np.ndarray, setup: VialSetup) -> float:
        """Time per angle that takes the brightest tenth of the resin to
        ``target_fraction`` times the cure dose."""
        return setup.target_fraction * setup.cure_dose / (setup.n_angles * _bright_node_power(samples).mean())

    def step(self):
        self.model.reaction_step(self.engine.get_result_array_device_ptr(), self.engine.get_mesh_data_devlink_ptr())

    def degree_of_curing(self):
        return self.model.get_doc()


class _KineticsModel:
    """Photopolymerization kinetics through kuravel (radicals, oxygen inhibition)."""

    def __init__(self, engine, setup: VialSetup, dt: float):
        import kuravel

        p = self.props(kuravel.KuravelProps(), setup, dt)
        self.model = kuravel.Kuravel(engine.get_node_count(), p)
        self.model.initialize_accelerator(engine.get_mesh_ptr())
        self.engine = engine

    @staticmethod
    def props(p, setup: VialSetup, dt: float):
        p.kpropagation, p.koxygen = 5.0, 2.0
        p.diffusion_oxygen, p.diffusion_radical = 1e-3, 1e-4
        p.dirichlet_oxygen, p.diffusion_bc_oxygen = 1.0, 1
        p.c_monomer0, p.c_radical0, p.c_oxygen0 = 1.0, 0.0, 1.0
        p.n0, p.n1 = setup.resin_index, setup.cured_index
        p.alpha0, p.alpha1 = setup.resin_absorptivity, setup.cured_absorptivity
        p.dt = dt
        return p

    @staticmethod
    def exposure_time(samples: np.ndarray, setup: VialSetup) -> float:
        """Time per angle after which the brightest tenth of the resin reaches
        ``target_conversion``: the rate law is integrated for that node's light
        at the sampled angles, with the model's two half-steps per angle, and
        the time found by bisection. Oxygen enters only from the vial wall, so
        away from it the local law decides when the resin cures."""
        light = _bright_node_power(samples)
        p = _KineticsModel.props(_Props(), setup, 0.0)

        def conversion(dt: float) -> float:
            monomer, oxygen, alpha, h = p.c_monomer0, p.c_oxygen0, 0.0, 0.5 * dt
            for k in range(setup.n_angles):
                intensity = light[k * len(light) // setup.n_angles]
                for _ in range(2):
                    rate = p.kpropagation * monomer * np.sqrt(max(1.0 - oxygen, 0.0) * intensity)
                    oxygen -= h * p.koxygen * oxygen * np.sqrt(oxygen * intensity)
                    monomer, oxygen = max(monomer - h * rate, 0.0), max(oxygen, 0.0)
                    alpha = min(alpha + h * rate / p.c_monomer0, 1.0)
            return alpha

        low, high = 0.0, 1e-6
        while conversion(high) < setup.target_conversion and high < 1e12:
            low, high = high, 2.0 * high
        for _ in range(50):
            middle = 0.5 * (low + high)
            low, high = (middle, high) if conversion(middle) < setup.target_conversion else (low, middle)
        return high

    def step(self):
        self.model.reaction_step(self.engine.get_result_array_device_ptr(), self.engine.get_mesh_data_devlink_ptr())

    def degree_of_curing(self):
        return self.model.get_degree_of_curing()


class _Props:
    """Plain holder for kinetics parameters outside the kuravel module."""


MODELS = {"dosterin": _DoseModel, "kuravel": _KineticsModel}


def _bright_node_power(samples: np.ndarray) -> np.ndarray:
    """Absorbed power (W/mm^3) at the sampled angles of the node at the 90th
    percentile of the mean over all lit nodes."""
    mean = samples.mean(axis=0)
    lit = np.flatnonzero(mean > 0)
    if lit.size == 0:
        return np.ones(len(samples))
    order = lit[np.argsort(mean[lit])]
    return samples[:, order[min(int(0.9 * len(order)), len(order) - 1)]]


def sample_absorbed_power(engine, samples: int = 8) -> np.ndarray:
    """Absorbed power per node (samples x N) at ``samples`` angles spread around
    the vial; the rays end where they started, a full turn later."""
    q = []
    for _ in range(samples):
        engine.reset_absorbed_power()
        engine.compute_volumetric_absorption()
        q.append(engine.get_absorbed_power())
        engine.rotate_reset_rays([0.0, 0.0, 1.0], 2.0 * np.pi / samples)
    engine.reset_absorbed_power()
    return np.array(q)


def expose(vial: Vial, model, n_angles: int, dt: float,
           progress: Optional[Callable[[Iterable[int]], Iterable[int]]] = None,
           on_angle: Optional[Callable[[int, np.ndarray, np.ndarray], None]] = None,
           powers_per_angle: Optional[np.ndarray] = None):
    """Step the beam around the vial: per angle, compute the absorbed power Q
    (W/mm^3), add Q * dt to the dose and step the cure model. ``on_angle(k, q,
    dose)`` runs after each step; ``powers_per_angle`` (n_angles x R) sets the
    rays' powers at each angle, as a projection design gives. Returns ``(dose, absorbed power per angle in
    W, seconds per angle)``."""
    engine = vial.engine
    dose = np.zeros(len(vial.points))
    absorbed, seconds = [], []
    angles: Iterable[int] = range(n_angles)
    for k in (progress(angles) if progress else angles):
        start = time.perf_counter()
        if k > 0:
            engine.rotate_reset_rays([0.0, 0.0, 1.0], 2.0 * np.pi / n_angles)
        if powers_per_angle is not None:
            engine.set_ray_payloads(powers_per_angle[k])
        engine.reset_absorbed_power()
        engine.compute_volumetric_absorption()
        q = engine.get_absorbed_power()
        absorbed.append(float((q * vial.volumes).sum()))
        dose += q * dt
        model.step()
        if on_angle:
            on_angle(k, q, dose)
        seconds.append(time.perf_counter() - start)
    return dose, absorbed, seconds


def write_series_file(path: str, vial: Vial, q: np.ndarray, dose: np.ndarray, doc: np.ndarray) -> None:
    """One step of the series: mesh, Q, dose, degree of curing and the material,
    as a zlib-compressed binary VTU."""
    import meshio

    engine = vial.engine
    fields = {"Volumetric absorbed power Q": q, "Dose": dose, "DegreeOfCuring": doc,
              "RefractiveIndex": engine.get_refractive_index(), "Absorptivity": engine.get_absorptivity()}
    mesh = meshio.Mesh(vial.points, [("hexahedron", vial.hexahedra)], point_data=fields)
    meshio.write(path, mesh, file_format="vtu", binary=True, compression="zlib")


def run(setup: VialSetup, outdir: str | os.PathLike, progress=None, figure: bool = True,
        rays=None, dt: Optional[float] = None) -> VialResult:
    """Run the exposure; writes ``vial_<k>.vtu`` every ``setup.every`` angles,
    ``vial.pvd``, ``vial_rays.vtp`` and, with ``figure``, ``vial.png`` and
    ``vial_rays.png`` to ``outdir``.

    ``rays`` replaces the default beam: ``(origins, directions, powers)`` at the
    first angle, with ``powers`` of shape (R,) or one row per angle
    (``setup.n_angles``, R), as a projection design gives. ``dt`` fixes the
    exposure time per angle instead of calibrating it.
    """
    outdir = str(outdir)
    os.makedirs(outdir, exist_ok=True)
    per_angle = None
    if rays is not None:
        origins, directions, powers = rays
        powers = np.asarray(powers, dtype=np.float64)
        if powers.ndim == 2:
            if powers.shape[0] != setup.n_angles:
                raise ValueError("powers must have one row per angle")
            per_angle, powers = powers, powers[0]
        rays = (origins, directions, powers)
    vial = prepare(setup, os.path.join(outdir, "vial.vtu"), rays)
    if per_angle is not None:
        vial.incident_power = float(per_angle.sum()) / setup.n_angles
    Model = MODELS[setup.model]
    if dt is None:
        dt = Model.exposure_time(sample_absorbed_power(vial.engine), setup)
    model = Model(vial.engine, setup, dt)
    every = max(1, int(setup.every))
    files, times = [], []

    def write(k, q, dose):
        if k % every == 0 or k == setup.n_angles - 1:
            files.append(os.path.join(outdir, f"vial_{k}.vtu"))
            times.append((k + 1) * dt)
            write_series_file(files[-1], vial, q, dose, model.degree_of_curing())

    dose, absorbed, seconds = expose(vial, model, setup.n_angles, dt, progress, write, per_angle)
    pvd = os.path.join(outdir, "vial.pvd")
    write_pvd(pvd, files, times)
    doc = model.degree_of_curing()
    png = _slice_figure(vial.points, dose, doc, setup, os.path.join(outdir, "vial.png")) if figure else None
    paths, origins = trace_slice_paths(vial, setup)
    vtp = os.path.join(outdir, "vial_rays.vtp")
    write_ray_paths(vtp, paths)
    rays_png = _ray_figure(paths, origins, setup, os.path.join(outdir, "vial_rays.png")) if figure else None
    return VialResult(files=files, pvd=pvd, figure=png, ray_figure=rays_png, ray_paths=vtp, dose=dose,
                      degree_of_curing=doc, cured_volume=float(vial.volumes[doc >= setup.cured_threshold].sum()),
                      total_volume=float(vial.volumes.sum()), incident_power=vial.incident_power,
                      absorbed_power=absorbed, seconds_per_angle=seconds, dt=dt)


def _slice_height(setup: VialSetup, points: np.ndarray) -> float:
    """The node layer nearest 0.3 of the height: it cuts through the pattern's ring."""
    z = points[:, 2]
    return float(z[np.argmin(np.abs(z - setup.height * 0.3))])


def trace_slice_paths(vial: Vial, setup: VialSetup, n_rays: int = 41):
    """Paths of a fan of parallel rays across the vial in the slice of the
    figures, through the material as it is now. Replaces the engine's rays and
    objective. Returns ``(paths (rays, points, 5), origins (rays, 3))``."""
    engine = vial.engine
    z = _slice_height(setup, vial.points)
    y = np.linspace(-setup.radius, setup.radius, n_rays + 2)[1:-1]
    origins = np.column_stack([np.full(n_rays, -setup.radius - 1.0), y, np.full(n_rays, z)])
    engine.load_rays_arrays(origins, np.tile([1.0, 0.0, 0.0], (n_rays, 1)), np.full(n_rays, setup.power_per_pixel))
    # A ray crosses at most about two rings and the core, twice over when reflected.
    engine.configure_optical_path(4 * (2 * setup.n_radial + setup.n_around // 4 + 4))
    engine.compute_volumetric_absorption()
    return engine.get_optical_paths(), origins


def _pyplot():
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def _slice_figure(points, dose, doc, setup: VialSetup, path: str) -> str:
    """Dose and degree of curing on the node layer of the slice."""
    from matplotlib.ticker import MaxNLocator

    plt = _pyplot()
    z0 = _slice_height(setup, points)
    layer = np.isclose(points[:, 2], z0)
    x, y = points[layer, 0], points[layer, 1]
    fig, axes = plt.subplots(1, 2, figsize=(10.5, 4.8), constrained_layout=True)
    dose_levels = MaxNLocator(nbins=10).tick_values(0.0, max(float(dose[layer].max()), 1e-12))
    panels = ((axes[0], dose[layer], dose_levels, "inferno", "Dose (J/mm³)"),
              (axes[1], doc[layer], np.linspace(0.0, 1.0, 11), "viridis", "Degree of curing (0 to 1)"))
    for ax, values, levels, cmap, label in panels:
        # Values on the top level would be left unfilled: keep them just below it.
        top = levels[-1] - 1e-9 * (levels[-1] - levels[0])
        shading = ax.tricontourf(x, y, np.clip(values, levels[0], top), levels=levels, cmap=cmap)
        fig.colorbar(shading, ax=ax, label=label, ticks=levels[::2])
        ax.set_aspect("equal")
        ax.set_title(f"{label.split(' (')[0]} at z = {z0:.2f} mm")
        ax.set_xlabel("x (mm)")
        ax.set_ylabel("y (mm)")
    axes[1].tricontour(x, y, doc[layer], levels=[setup.cured_threshold], colors="white", linewidths=1.0)
    fig.suptitle(f"Vial exposure, {MODEL_NAMES.get(setup.model, setup.model)}: {setup.n_angles} angles, "
                 f"{setup.solver} solver; white line: cured (degree of curing {setup.cured_threshold:g})")
    fig.savefig(path, dpi=120)
    plt.close(fig)
    return path


def _ray_figure(paths, origins, setup: VialSetup, path: str) -> str:
    """The slice's ray paths seen from above, coloured by power, with the vial wall."""
    from matplotlib.collections import LineCollection

    plt = _pyplot()
    fig, ax = plt.subplots(figsize=(6.5, 5.5), constrained_layout=True)
    segments, power = [], []
    for start, ray in zip(origins, paths):
        ray = ray[~np.isnan(ray[:, 0])]
        if len(ray) == 0:
            ax.plot([start[0], setup.radius + 1.0], [start[1]] * 2, color="0.8", lw=0.6)
            continue
        ax.plot([start[0], ray[0, 0]], [start[1], ray[0, 1]], color="0.6", lw=0.8)
        segments += [ray[i:i + 2, :2] for i in range(len(ray) - 1)]
        power += list(0.5 * (ray[:-1, 4] + ray[1:, 4]))
    lines = LineCollection(segments, cmap="plasma", linewidths=1.2)
    lines.set_array(np.asarray(power))
    ax.add_collection(lines)
    fig.colorbar(lines, ax=ax, label="Ray power (W)")
    angle = np.linspace(0.0, 2.0 * np.pi, 361)
    ax.plot(setup.radius * np.cos(angle), setup.radius * np.sin(angle), color="k", lw=1.0)
    ax.set_aspect("equal")
    ax.set_xlim(-setup.radius - 1.0, setup.radius + 1.0)
    ax.set_ylim(-setup.radius - 0.5, setup.radius + 0.5)
    ax.set_xlabel("x (mm)")
    ax.set_ylabel("y (mm)")
    ax.set_title(f"Ray paths at z = {origins[0, 2]:.2f} mm: glass n = {setup.glass_index:g} outside, "
                 f"resin n = {setup.resin_index:g} to {setup.cured_index:g}", fontsize=9)
    fig.savefig(path, dpi=120)
    plt.close(fig)
    return path
