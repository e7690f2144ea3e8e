"""Pictures and files of a projection design, and its check with the cure models."""

from __future__ import annotations

import dataclasses
import os

import numpy as np

from .design import DesignResult, Projector, jaccard_index, normalised_dose
from .vial import VialSetup


def _pyplot():
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def write_patterns(result: DesignResult, outdir: str) -> list:
    """``patterns.npy`` and one 8-bit PNG per angle (``patterns/angle_<k>.png``),
    all scaled by the brightest pixel of the stack."""
    plt = _pyplot()
    folder = os.path.join(outdir, "patterns")
    os.makedirs(folder, exist_ok=True)
    np.save(os.path.join(outdir, "patterns.npy"), result.patterns)
    top = max(float(result.patterns.max()), 1e-300)
    files = []
    for k, image in enumerate(result.patterns):
        path = os.path.join(folder, f"angle_{k:03d}.png")
        plt.imsave(path, np.round(255 * image / top).astype(np.uint8), cmap="gray", vmin=0, vmax=255)
        files.append(path)
    return files


def pattern_sheet(result: DesignResult, path: str) -> str:
    """All patterns on one sheet (sinogram-like overview)."""
    plt = _pyplot()
    count = len(result.patterns)
    cols = int(np.ceil(np.sqrt(count)))
    rows = int(np.ceil(count / cols))
    fig, axes = plt.subplots(rows, cols, figsize=(1.6 * cols, 1.2 * rows), squeeze=False)
    top = max(float(result.patterns.max()), 1e-300)
    for k, ax in enumerate(axes.flat):
        ax.axis("off")
        if k < count:
            ax.imshow(result.patterns[k], cmap="gray", vmin=0, vmax=top)
            ax.set_title(f"{k}", fontsize=7)
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


def dose_histogram(result: DesignResult, path: str) -> str:
    """Volume-weighted histograms of the normalised dose in and out of the part."""
    plt = _pyplot()
    d = normalised_dose(result.dose, result.target)
    bins = np.linspace(0.0, 1.0, 61)
    fig, ax = plt.subplots(figsize=(6, 3.5), constrained_layout=True)
    ax.hist(d[~result.target], bins=bins, weights=result.volumes[~result.target], alpha=0.6, label="out of part")
    ax.hist(d[result.target], bins=bins, weights=result.volumes[result.target], alpha=0.6, label="in part")
    ax.axvline(result.metrics["threshold"], color="k", lw=1, ls="--", label="best threshold")
    ax.set_xlabel("dose / in-part maximum")
    ax.set_ylabel("volume (mm^3)")
    ax.legend()
    fig.savefig(path, dpi=120)
    plt.close(fig)
    return path


def dose_slices(result: DesignResult, path: str, heights=(0.5,)) -> str:
    """Normalised dose on node layers at the given fractions of the height,
    with the target's outline."""
    plt = _pyplot()
    z = result.points[:, 2]
    levels = np.unique(z)
    d = normalised_dose(result.dose, result.target)
    fig, axes = plt.subplots(1, len(heights), figsize=(5 * len(heights), 4.5), squeeze=False,
                             constrained_layout=True)
    for ax, fraction in zip(axes.flat, heights):
        level = levels[np.argmin(np.abs(levels - (z.min() + fraction * (z.max() - z.min()))))]
        layer = np.isclose(z, level)
        x, y = result.points[layer, 0], result.points[layer, 1]
        shading = ax.tricontourf(x, y, d[layer], levels=np.linspace(0.0, 1.0001, 21), cmap="inferno")
        if result.target[layer].any() and not result.target[layer].all():
            ax.tricontour(x, y, result.target[layer].astype(float), levels=[0.5], colors="c", linewidths=1.2)
        fig.colorbar(shading, ax=ax)
        ax.set_aspect("equal")
        ax.set_title(f"dose at z = {level:.2f} mm (cyan: target)")
    fig.savefig(path, dpi=120)
    plt.close(fig)
    return path


def history_plot(result: DesignResult, path: str) -> str:
    """Loss and metrics per iteration."""
    plt = _pyplot()
    it = [h["iteration"] for h in result.history]
    fig, (left, right) = plt.subplots(1, 2, figsize=(10, 3.5), constrained_layout=True)
    left.semilogy(it, [max(h["loss"], 1e-300) for h in result.history])
    left.set_xlabel("iteration")
    left.set_ylabel("band loss")
    for key in ("process_window", "jaccard", "in_part_dose_range"):
        right.plot(it, [h[key] for h in result.history], label=key)
    right.axhline(0.0, color="k", lw=0.5)
    right.set_xlabel("iteration")
    right.legend()
    fig.savefig(path, dpi=120)
    plt.close(fig)
    return path


def write_figures(result: DesignResult, outdir: str) -> dict:
    os.makedirs(outdir, exist_ok=True)
    return {
        "patterns": pattern_sheet(result, os.path.join(outdir, "patterns.png")),
        "histogram": dose_histogram(result, os.path.join(outdir, "dose_histogram.png")),
        "slices": dose_slices(result, os.path.join(outdir, "dose_slices.png"), heights=(0.3, 0.5)),
        "history": history_plot(result, os.path.join(outdir, "history.png")),
    }


def cure_check(result: DesignResult, projector: Projector, setup: VialSetup, outdir: str, model: str) -> dict:
    """Expose the vial with the designed patterns through a cure model
    (``"dosterin"`` or ``"kuravel"``), the material changing as it cures, and
    compare the cured region with the target.

    The exposure time maps the design's best threshold to the dose half way
    between the gel and the cure dose, where the degree of curing is 1/2; the
    cured region is where it ends at 1/2 or more. Kinetics have no fixed
    threshold, so the best volume-weighted Jaccard index over all levels of
    the final degree of curing is reported too.
    """
    from .design import _best_jaccard
    from .vial import run

    check = dataclasses.replace(setup, n_angles=projector.n_angles, model=model)
    origins, directions, _ = projector.rays(check)
    per_angle = len(origins) // projector.n_angles
    top = float(result.dose[result.target].max())
    midway = 0.5 * (check.gel_dose + check.cure_dose)
    # dose units -> exposure: threshold * top (in dose units) * unit (absorbed power) * dt = midway
    dt = midway / (result.metrics["threshold"] * top * result.dose_unit)
    exposure = run(check, os.path.join(outdir, f"check_{model}"), figure=False,
                   rays=(origins[:per_angle], directions[:per_angle], result.ray_powers), dt=dt)
    doc = exposure.degree_of_curing
    best, level = _best_jaccard(doc, result.target, result.volumes)
    return {"model": model, "jaccard": jaccard_index(doc >= 0.5, result.target, result.volumes),
            "best_jaccard": best, "best_level": level}

