"""Tomographic exposure of a rotating vial of resin.

A cylindrical vial of resin is lit by a parallel beam whose cross-section is a
projector image. The beam is stepped around the vial axis; at every angle the
absorbed power is computed, turned into dose and cure by a cure model, and the
cured material (its refractive index and absorptivity) is what the next angle's
light sees.
"""

from __future__ import annotations

import dataclasses
import os
import time

import numpy as np

from .cylinder import cylinder_mesh
from .meshgen import nodal_volumes
from .patterns import default_pattern
from .pvd import write_pvd
from .rays import parallel_beam


@dataclasses.dataclass
class VialSetup:
    """Geometry, material, light and cure-model settings (lengths in mm)."""

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
    power_per_pixel: float = 1.0
    n_angles: int = 60
    gel_dose: float = 0.7              # dose at which curing starts (cure-model units)
    cure_dose: float = 1.0             # dose at which the resin is fully cured
    target_fraction: float = 1.3       # brightest decile reaches this multiple of cure_dose
    model: str = "dosterin"            # or "kuravel"
    solver: str = "RK4"


@dataclasses.dataclass
class VialResult:
    files: list
    pvd: str
    figure: str | None
    dose: np.ndarray
    degree_of_curing: np.ndarray
    cured_volume: float
    total_volume: float
    incident_power: float
    absorbed_power: list
    seconds_per_angle: list
    dt: float


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

    def step(self):
        self.model.reaction_step(self.engine.get_result_array_device_ptr(), self.engine.get_mesh_data_devlink_ptr())

    def degree_of_curing(self):
        return self.model.get_doc()


class _KineticsModel:
    """Photopolymerization kinetics through kuravel (radicals, oxygen inhibition)."""

    def __init__(self, engine, setup: VialSetup, dt: float):
        import kuravel

        p = kuravel.KuravelProps()
        p.kpropagation, p.koxygen = 5.0, 2.0
        p.diffusion_oxygen, p.diffusion_radical = 1e-3, 1e-4
        p.dirichlet_oxygen, p.diffusion_bc_oxygen = 1.0, 1
        p.c_monomer0, p.c_radical0, p.c_oxygen0 = 1.0, 0.0, 1.0
        p.n0, p.n1 = setup.resin_index, setup.cured_index
        p.alpha0, p.alpha1 = setup.resin_absorptivity, setup.cured_absorptivity
        p.dt = dt
        self.model = kuravel.Kuravel(engine.get_node_count(), p)
        self.model.initialize_accelerator(engine.get_mesh_ptr())
        self.engine = engine

    def step(self):
        self.model.reaction_step(self.engine.get_result_array_device_ptr(), self.engine.get_mesh_data_devlink_ptr())

    def degree_of_curing(self):
        return self.model.get_degree_of_curing()


def vial_engine(setup: VialSetup, origins, directions, powers):
    """An engine holding the vial mesh (uncured resin, glass wall) and the given rays."""
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


def run(setup: VialSetup, outdir: str | os.PathLike, progress=None, figure: bool = True,
        rays=None, dt: float | None = None) -> VialResult:
    """Run the exposure; writes ``vial_<k>.vtu`` per angle, ``vial.pvd`` and ``vial.png`` to ``outdir``.

    ``rays`` replaces the default beam: ``(origins, directions, powers)`` at the
    first angle, with ``powers`` of shape (R,) or one row per angle
    (``setup.n_angles``, R), as a projection design gives. ``dt`` fixes the
    exposure time per angle instead of calibrating it.
    """
    os.makedirs(outdir, exist_ok=True)
    origins, directions, powers = _beam(setup) if rays is None else rays
    powers = np.asarray(powers, dtype=np.float64)
    per_angle = powers if powers.ndim == 2 else None
    if per_angle is not None and per_angle.shape[0] != setup.n_angles:
        raise ValueError("powers must have one row per angle")
    engine, points, hexahedra = vial_engine(setup, origins, directions,
                                            per_angle[0] if per_angle is not None else powers)
    volumes = nodal_volumes(points, hexahedra)
    engine.configure_outfilename(os.path.join(str(outdir), "vial.vtu"))

    if dt is None:
        dt = _calibrated_exposure_time(engine, setup)
    model = (_KineticsModel if setup.model == "kuravel" else _DoseModel)(engine, setup, dt)
    dose = np.zeros(len(points))
    files, absorbed, seconds = [], [], []
    angles = range(setup.n_angles)
    for k in (progress(angles) if progress else angles):
        start = time.perf_counter()
        if k > 0:
            engine.rotate_reset_rays([0.0, 0.0, 1.0], 2.0 * np.pi / setup.n_angles)
        if per_angle is not None:
            engine.set_ray_payloads(per_angle[k])
        engine.reset_absorbed_power()
        engine.compute_volumetric_absorption()
        q = engine.get_absorbed_power()
        absorbed.append(float((q * volumes).sum()))
        dose += q * dt
        model.step()
        doc = model.degree_of_curing()
        engine.write_result_append(np.vstack([dose, doc]), ["Dose", "DegreeOfCuring"])
        files.append(os.path.join(str(outdir), f"vial_{k}.vtu"))
        seconds.append(time.perf_counter() - start)

    pvd = os.path.join(str(outdir), "vial.pvd")
    write_pvd(pvd, files, np.arange(setup.n_angles) * dt)
    doc = model.degree_of_curing()
    png = _slice_figure(points, dose, doc, setup, os.path.join(str(outdir), "vial.png")) if figure else None
    return VialResult(files=files, pvd=pvd, figure=png, dose=dose, degree_of_curing=doc,
                      cured_volume=float(volumes[doc >= 0.999].sum()), total_volume=float(volumes.sum()),
                      incident_power=float(powers.sum()) / (setup.n_angles if per_angle is not None else 1),
                      absorbed_power=absorbed, seconds_per_angle=seconds,
                      dt=dt)


def _calibrated_exposure_time(engine, setup: VialSetup, samples: int = 8) -> float:
    """Exposure time per angle that takes the brightest tenth of the resin to
    ``target_fraction`` times the cure dose: the dose of the whole rotation is
    estimated from a few angles spread around the vial (the rays end where they
    started, a full turn later)."""
    q = np.zeros(engine.get_node_count())
    for _ in range(samples):
        engine.reset_absorbed_power()
        engine.compute_volumetric_absorption()
        q += engine.get_absorbed_power()
        engine.rotate_reset_rays([0.0, 0.0, 1.0], 2.0 * np.pi / samples)
    engine.reset_absorbed_power()
    mean = q / samples
    lit = mean[mean > 0]
    scale = np.percentile(lit, 90) if lit.size else 1.0
    return setup.target_fraction * setup.cure_dose / (setup.n_angles * scale)


def _slice_figure(points, dose, doc, setup: VialSetup, path: str) -> str:
    """Dose and degree of curing on the node layer nearest a quarter of the height."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    z = points[:, 2]
    # A quarter of the height cuts through the pattern's ring: the cured
    # region there is a tube wall.
    layer = np.isclose(z, z[np.argmin(np.abs(z - setup.height * 0.3))])
    x, y = points[layer, 0], points[layer, 1]
    fig, axes = plt.subplots(1, 2, figsize=(10, 4.5), constrained_layout=True)
    for ax, values, title in ((axes[0], dose[layer], "Dose"), (axes[1], doc[layer], "Degree of curing")):
        top = max(float(values.max()), 1e-12)
        shading = ax.tricontourf(x, y, values, levels=np.linspace(0.0, top * 1.0001, 21), cmap="inferno")
        fig.colorbar(shading, ax=ax)
        ax.set_aspect("equal")
        ax.set_title(f"{title} at z = {z[layer][0]:.2f} mm")
        ax.set_xlabel("x (mm)")
        ax.set_ylabel("y (mm)")
    fig.savefig(path, dpi=120)
    plt.close(fig)
    return path
