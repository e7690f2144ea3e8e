"""Projection design for tomographic volumetric printing, through the full optics.

Given a part (a boolean per mesh node), find the non-negative projector
images, one per angle around the vial axis, whose summed dose cures the part
and nothing else. The dose is computed by the ray tracer itself (refraction at
the vial wall, Fresnel losses, graded index, absorption on the finite-element
mesh), and the gradient of the loss with respect to every pixel comes from one
adjoint trace (``Lumivex.compute_ray_response``).

Every angle's rays are held in one ray set, so one forward trace gives the
dose of the whole rotation and one response trace the gradient for all angles.
The response follows the forward trace's paths, rough faces included.

Doses are compared at the nodes; every sum over nodes is weighted by nodal
volume; metrics normalise the dose by its in-part maximum.
"""

from __future__ import annotations

import dataclasses
import os
import time
from typing import Callable

import numpy as np

from .meshgen import nodal_volumes
from .rays import parallel_beam
from .vial import VialSetup, vial_engine

# ---------------------------------------------------------------------------
# Projector


@dataclasses.dataclass
class Projector:
    """A parallel-beam projector turned about the vial axis (z).

    ``width`` x ``height`` pixels of side ``pitch`` (mm; None: the largest pitch
    at which the image fits the vial's diameter and height), ``n_angles``
    equally spaced angles over a full turn, ``supersampling``^2 rays per pixel.
    The beam of angle 0 travels along +x with image rows along z, as the vial
    demo's; angle k is that beam turned by 2 pi k / n_angles about z.
    """

    width: int = 30
    height: int = 18
    n_angles: int = 24
    pitch: float | None = None
    supersampling: int = 1

    def __post_init__(self):
        if min(self.width, self.height, self.n_angles, self.supersampling) < 1:
            raise ValueError("projector sizes, angles and supersampling must be at least 1")
        if self.pitch is not None and not self.pitch > 0:
            raise ValueError("projector pitch must be positive")

    @property
    def shape(self) -> tuple:
        """Shape of a pattern stack: (angles, height, width)."""
        return (self.n_angles, self.height, self.width)

    def pixel_pitch(self, setup: VialSetup) -> float:
        return self.pitch or min(2.0 * setup.radius / self.width, setup.height / self.height)

    def rays(self, setup: VialSetup):
        """Rays of all angles: origins and directions (A*R, 3) and each ray's
        flat pixel index into a pattern stack (A*R,)."""
        s = self.supersampling
        sub = self.pixel_pitch(setup) / s
        centre = (-setup.radius - 1.0, 0.0, setup.height / 2.0)
        ones = np.ones((self.height * s, self.width * s))
        origins, directions, _ = parallel_beam(ones, sub, centre=centre, direction=(1, 0, 0), up=(0, 0, 1),
                                               skip_dark=False)
        row, col = np.divmod(np.arange(len(origins)), self.width * s)
        pixel = (row // s) * self.width + col // s
        all_origins, all_directions, all_pixels = [], [], []
        for k in range(self.n_angles):
            turn = _z_rotation(2.0 * np.pi * k / self.n_angles)
            all_origins.append(origins @ turn.T)
            all_directions.append(directions @ turn.T)
            all_pixels.append(pixel + k * self.width * self.height)
        return np.vstack(all_origins), np.vstack(all_directions), np.concatenate(all_pixels)


def _z_rotation(angle: float) -> np.ndarray:
    c, s = np.cos(angle), np.sin(angle)
    return np.array([[c, -s, 0.0], [s, c, 0.0], [0.0, 0.0, 1.0]])


# ---------------------------------------------------------------------------
# Targets: a boolean per node


def target_from_function(func: Callable, points) -> np.ndarray:
    """``func(points (N, 3)) -> N booleans``."""
    inside = np.asarray(func(np.asarray(points, dtype=np.float64)), dtype=bool)
    if inside.shape != (len(points),):
        raise ValueError("the target function must return one boolean per node")
    return inside


def target_from_voxels(voxels, points, origin, spacing) -> np.ndarray:
    """Nodes inside a true voxel of a 3-D boolean array whose voxel (0, 0, 0)
    starts at ``origin`` and whose voxels measure ``spacing`` (a number or
    three); nodes outside the array are outside the part."""
    voxels = np.asarray(voxels, dtype=bool)
    if voxels.ndim != 3:
        raise ValueError("voxels must be a 3-D array")
    spacing = np.broadcast_to(np.asarray(spacing, dtype=np.float64), (3,))
    if not np.all(spacing > 0):
        raise ValueError("voxel spacing must be positive")
    index = np.floor((np.asarray(points) - np.asarray(origin, dtype=np.float64)) / spacing).astype(np.int64)
    within = np.all((index >= 0) & (index < voxels.shape), axis=1)
    inside = np.zeros(len(points), dtype=bool)
    inside[within] = voxels[tuple(index[within].T)]
    return inside


def target_from_surface(path: str | os.PathLike, points) -> np.ndarray:
    """Nodes inside a closed surface mesh (STL, OBJ, ... as trimesh reads them)."""
    try:
        import trimesh
    except ImportError as error:  # optional dependency
        raise ImportError("surface targets need trimesh: pip install 'lumivex[design]'") from error
    surface = trimesh.load(os.fspath(path), force="mesh")
    if not surface.is_watertight:
        raise ValueError(f"{os.fspath(path)} is not a closed surface")
    return np.asarray(surface.contains(np.asarray(points, dtype=np.float64)), dtype=bool)


def as_target(target, points) -> np.ndarray:
    """A target given as a callable, a surface file or one boolean per node."""
    if callable(target):
        return target_from_function(target, points)
    if isinstance(target, (str, os.PathLike)):
        return target_from_surface(target, points)
    inside = np.asarray(target)
    if inside.shape != (len(points),):
        raise ValueError("a target array must hold one boolean per node")
    return inside.astype(bool)


def gear(outer: float = 3.0, root: float = 2.3, bore: float = 0.9, teeth: int = 8,
         z_range=(1.5, 4.5)) -> Callable:
    """A spur gear about the z axis with a round bore, extruded over ``z_range``."""
    def inside(points):
        r = np.hypot(points[:, 0], points[:, 1])
        phase = (np.arctan2(points[:, 1], points[:, 0]) * teeth / (2.0 * np.pi)) % 1.0
        rim = np.where(phase < 0.5, outer, root)
        z = points[:, 2]
        return (r >= bore) & (r <= rim) & (z >= z_range[0]) & (z <= z_range[1])
    return inside


# ---------------------------------------------------------------------------
# Metrics


def normalised_dose(dose, target) -> np.ndarray:
    top = float(dose[target].max()) if target.any() else 0.0
    return dose / top if top > 0 else np.zeros_like(dose)


def metrics(dose, target, volumes) -> dict:
    """Process window, best Jaccard index and its threshold, in-part dose range.

    Doses are normalised by the in-part maximum. The process window is the
    lowest in-part dose minus the highest out-of-part dose (positive: a
    threshold prints exactly the target). The Jaccard index of {dose >= t}
    against the target is volume-weighted and taken at the best t. The
    in-part dose range is the spread max - min of the in-part dose.
    """
    target = np.asarray(target, dtype=bool)
    d = normalised_dose(np.asarray(dose, dtype=np.float64), target)
    lowest_in = float(d[target].min()) if target.any() else 0.0
    highest_out = float(d[~target].max()) if (~target).any() else 0.0
    jaccard, threshold = _best_jaccard(d, target, volumes)
    return {"process_window": lowest_in - highest_out, "jaccard": jaccard, "threshold": threshold,
            "in_part_dose_range": 1.0 - lowest_in if target.any() else 0.0}


def _best_jaccard(d, target, volumes):
    """Best volume-weighted Jaccard index over thresholds, and that threshold.

    Printing the j nodes of highest dose: intersection = their in-part volume,
    union = the part's volume plus their out-of-part volume.
    """
    order = np.argsort(-d, kind="stable")
    v_in = np.where(target[order], volumes[order], 0.0)
    v_out = np.where(target[order], 0.0, volumes[order])
    union = v_in.sum() + np.cumsum(v_out)
    scores = np.divide(np.cumsum(v_in), union, out=np.zeros_like(union), where=union > 0)
    j = int(np.argmax(scores))
    below = d[order[j + 1]] if j + 1 < len(order) else 0.0
    return float(scores[j]), float(0.5 * (d[order[j]] + below))


def jaccard_index(printed, target, volumes) -> float:
    """Volume-weighted Jaccard index of a printed region against the target."""
    printed, target = np.asarray(printed, dtype=bool), np.asarray(target, dtype=bool)
    union = volumes[printed | target].sum()
    return float(volumes[printed & target].sum() / union) if union > 0 else 0.0


# ---------------------------------------------------------------------------
# The forward model and its adjoint


class DoseModel:
    """Dose of a pattern stack in an engine that holds the rays of all angles.

    ``dose(u) = sum over angles of Q(u) / unit``: the absorbed power per
    nodal volume of one trace, in units set once so that a reference pattern
    stack gives an in-part median of 1. ``pullback(g)`` turns a gradient with
    respect to the dose into one with respect to the pixels through one
    response trace.
    """

    def __init__(self, engine, projector: Projector, setup: VialSetup, volumes):
        origins, directions, self.pixel = projector.rays(setup)
        self.engine = engine
        self.shape = projector.shape
        self.per_ray = 1.0 / projector.supersampling ** 2
        self.volumes = volumes
        self.unit = 1.0
        engine.load_rays_arrays(origins, directions, np.zeros(len(origins)))
        self.traces = 0

    def ray_powers(self, patterns) -> np.ndarray:
        return np.asarray(patterns, dtype=np.float64).ravel()[self.pixel] * self.per_ray

    def dose(self, patterns) -> np.ndarray:
        self.engine.set_ray_payloads(self.ray_powers(patterns))
        self.engine.reset_absorbed_power()
        self.engine.compute_volumetric_absorption()
        self.traces += 1
        return self.engine.get_absorbed_power() / self.unit

    def pullback(self, dose_gradient) -> np.ndarray:
        response = self.engine.compute_ray_response(np.asarray(dose_gradient, dtype=np.float64))
        self.traces += 1
        pixels = np.bincount(self.pixel, weights=response, minlength=int(np.prod(self.shape)))
        return (pixels * self.per_ray / self.unit).reshape(self.shape)


def band_loss(dose, target, volumes, low: float, high: float):
    """Band-constraint loss and its gradient with respect to the dose.

    Volume-weighted mean of the squared shortfall of in-part doses below
    ``high`` and the squared excess of out-of-part doses above ``low``.
    """
    shortfall = np.where(target, np.maximum(high - dose, 0.0), 0.0)
    excess = np.where(target, 0.0, np.maximum(dose - low, 0.0))
    total = volumes.sum()
    loss = float((volumes * (shortfall ** 2 + excess ** 2)).sum() / total)
    gradient = 2.0 * volumes * (excess - shortfall) / total
    return loss, gradient


def back_projection(model: DoseModel, target, filtered: bool = True) -> np.ndarray:
    """Starting patterns: per pixel, the fraction of its power absorbed in the
    part (the response to the in-part volume), optionally ramp-filtered along
    the image rows as in filtered back-projection, clipped at zero and scaled
    to a maximum of 1."""
    patterns = model.pullback(model.volumes * target) * model.unit
    if filtered:
        width = patterns.shape[-1]
        size = 2 * width
        ramp = np.abs(np.fft.rfftfreq(size))
        spectrum = np.fft.rfft(patterns, n=size, axis=-1) * ramp
        patterns = np.fft.irfft(spectrum, n=size, axis=-1)[..., :width]
    patterns = np.maximum(patterns, 0.0)
    top = patterns.max()
    return patterns / top if top > 0 else np.ones_like(patterns)


# ---------------------------------------------------------------------------
# Optimisation


@dataclasses.dataclass
class DesignResult:
    patterns: np.ndarray          # (A, H, W) non-negative pixel values
    dose: np.ndarray              # (N,) dose of the patterns, in-part median of the start = 1
    target: np.ndarray            # (N,) booleans
    metrics: dict
    history: list                 # one dict per iteration (iteration, loss, metrics, seconds, traces)
    points: np.ndarray
    volumes: np.ndarray
    ray_powers: np.ndarray        # (A, R) power of every ray per angle, for an exposure
    dose_unit: float              # absorbed power per nodal volume of one dose unit
    seconds: float


def evaluate(engine, projector: Projector, patterns, target, volumes, setup: VialSetup | None = None) -> dict:
    """Metrics of given patterns in the model ``engine`` holds (its rays are replaced)."""
    model = DoseModel(engine, projector, setup or VialSetup(), np.asarray(volumes, dtype=np.float64))
    inside = as_target(target, engine.get_node_positions())
    return metrics(model.dose(patterns), inside, model.volumes)


def design_engine(setup: VialSetup):
    """An engine with the vial mesh (uncured resin, glass wall), and the mesh's nodal volumes."""
    engine, points, hexahedra = vial_engine(setup, np.zeros((1, 3)), np.array([[1.0, 0.0, 0.0]]), np.zeros(1))
    engine.configure_outfilename("design.vtu")  # sizes the result; nothing is written
    return engine, nodal_volumes(points, hexahedra)


def optimize(engine, projector: Projector, target, volumes, setup: VialSetup | None = None,
             iterations: int = 40, band=(0.8, 1.0), filtered_start: bool = True, callback=None) -> DesignResult:
    """Non-negative patterns that separate in-part from out-of-part dose.

    ``engine`` holds the mesh with its materials and boundary conditions; its
    rays are replaced by the projector's (placed for the vial ``setup``).
    ``volumes`` are the mesh's nodal volumes. ``target`` is anything
    ``as_target`` accepts. Starts from the back-projection of the target, then
    runs L-BFGS-B with bounds u >= 0 on the band loss (out-of-part dose below
    ``band[0]``, in-part dose above ``band[1]``), with gradients from the
    response trace. ``callback(record)`` sees each iteration's history record.
    """
    from scipy.optimize import minimize

    setup = setup or VialSetup()
    low, high = band
    if not 0 <= low < high:
        raise ValueError("band must be (low, high) with 0 <= low < high")
    started = time.perf_counter()
    points = engine.get_node_positions()
    volumes = np.asarray(volumes, dtype=np.float64)
    if volumes.shape != (len(points),):
        raise ValueError("volumes must hold one nodal volume per node")
    inside = as_target(target, points)
    if not inside.any() or inside.all():
        raise ValueError("the target must contain some nodes and leave some out")

    model = DoseModel(engine, projector, setup, volumes)
    start = back_projection(model, inside, filtered_start)
    d0 = model.dose(start)
    lit = d0[inside]
    model.unit = float(np.median(lit)) / high if np.median(lit) > 0 else 1.0

    cache = {}

    def loss_and_gradient(u):
        d = model.dose(u.reshape(model.shape))
        loss, g = band_loss(d, inside, volumes, low, high)
        cache["u"], cache["dose"], cache["loss"] = u.copy(), d, loss
        return loss, model.pullback(g).ravel()

    history = []

    def record(u):
        if "u" not in cache or not np.array_equal(cache["u"], u):
            loss_and_gradient(u)
        entry = {"iteration": len(history), "loss": cache["loss"], **metrics(cache["dose"], inside, volumes),
                 "seconds": time.perf_counter() - started, "traces": model.traces}
        history.append(entry)
        if callback:
            callback(entry)

    u0 = start.ravel()
    record(u0)
    solution = minimize(loss_and_gradient, u0, jac=True, method="L-BFGS-B", bounds=[(0.0, None)] * u0.size,
                        callback=record, options={"maxiter": iterations, "maxfun": 3 * iterations + 10,
                                 # The loss is a volume mean of small squares: stop on the
                                 # iteration count, not on its small absolute changes.
                                 "ftol": 1e-15, "gtol": 1e-14})
    patterns = np.maximum(solution.x, 0.0).reshape(model.shape)
    dose = model.dose(patterns)
    powers = model.ray_powers(patterns).reshape(projector.n_angles, -1)
    return DesignResult(patterns=patterns, dose=dose, target=inside, metrics=metrics(dose, inside, volumes),
                        history=history, points=points, volumes=volumes, ray_powers=powers,
                        dose_unit=model.unit, seconds=time.perf_counter() - started)
