"""lumivex-trace: one volumetric trace described by a TOML file.

Loads a legacy VTK mesh and a .ry ray file, applies optional material
constants and one boundary condition for all boundary faces, traces the rays
with the chosen solver and objective through the ``lumivex`` engine and writes
the objective's result file. Errors go to standard error with exit status 1.
"""

from __future__ import annotations

import datetime
import os
import re
import sys
from pathlib import Path

if sys.version_info >= (3, 11):
    import tomllib
else:  # pragma: no cover - exercised on older Pythons only
    import tomli as tomllib

HELP = """Usage: lumivex-trace CONFIG.toml
       lumivex-trace --help

Runs one volumetric trace described by the TOML file CONFIG.toml and writes
the objective's result file. Relative paths in the file are taken relative to
the directory of CONFIG.toml.

Keys:
  mesh               string, required. Legacy VTK mesh of hexahedra; its point
                     scalars RefractiveIndex and Absorptivity give the material
                     (1 and 0 where absent).
  rays               string, required. Ray file (.ry): a count line, then one
                     line per ray: x y z dx dy dz power.
  solver             "FE" (forward Euler, the default) or "RK4" (fourth-order
                     Runge-Kutta): the integration of curved paths in elements.
  objective          required, one of
                       "light_transport"  absorbed power per unit volume on the
                                          mesh nodes, written as a VTU file
                       "render"           one pixel per ray, coloured from the
                                          normal of the surface it meets,
                                          written as a 24-bit BMP image
                       "optical_path"     the path of the first ray, one point
                                          per element it crosses, written as a
                                          CSV table x,y,z,s,E (position, path
                                          length, remaining power)
  output_file        string, required. Result file name; the number of the
                     result is inserted before the extension, so "out.vtu"
                     gives out_0.vtu.
  pixel_width        integer >= 1, render only: image width in pixels.
  pixel_height       integer >= 1, render only: image height in pixels. Ray i
                     colours pixel i, counted row by row from the bottom left,
                     so the ray file should hold width x height rays.
  pixel_size         number > 0, render only: edge length of one pixel.
  datapoints_amount  integer >= 0, optical_path only: the most points recorded.

  [material]         optional; replaces the mesh file's values on all nodes
  refractive_index   number
  absorptivity       number, per unit length (dP/ds = -absorptivity * P)

  [boundary]         optional; one optical condition for every boundary face
                     (without it, rays pass the surface unchanged)
  interaction_type   "transmit" (the default) or "reflect"
  refractive_index_real  number, refractive index outside (default 1)
  refractive_index_imag  number, extinction coefficient outside (default 0)
  rough_surface      boolean (default false): microfacet reflection/refraction
  roughness          number >= 0, Beckmann roughness of a rough surface (default 0)

Example:
  mesh = "box.vtk"
  rays = "rays.ry"
  solver = "RK4"
  objective = "light_transport"
  output_file = "absorbed.vtu"

  [material]
  refractive_index = 1.5
  absorptivity = 0.3

  [boundary]
  interaction_type = "transmit"
  refractive_index_real = 1.0

The backend is the GPU when one is present, else the CPU; LUMIVEX_DEVICE=cpu
or LUMIVEX_DEVICE=cuda forces one.
"""

USAGE = "Usage: lumivex-trace CONFIG.toml  (lumivex-trace --help lists the keys)\n"
INT_MAX = 2**31 - 1

OBJECTIVES = ("render", "optical_path", "light_transport")
TOP_KEYS = {"mesh", "rays", "solver", "objective", "output_file", "pixel_width", "pixel_height", "pixel_size",
            "datapoints_amount", "material", "boundary"}
MATERIAL_KEYS = {"refractive_index", "absorptivity"}
BOUNDARY_KEYS = {"interaction_type", "refractive_index_real", "refractive_index_imag", "rough_surface", "roughness"}


class ConfigError(Exception):
    """A configuration or input problem, reported as "lumivex-trace: error: ..."."""


class Table:
    """A parsed TOML table with typed key readers whose errors name the owner, the
    key and the line of the value, e.g. 'render objective: key "pixel_width"
    must be an integer, not a string (line 4)'."""

    def __init__(self, values: dict, lines: list, header: str | None = None):
        self.values, self.lines, self.header = values, lines, header

    def line_of(self, key: str) -> int | None:
        """Line (1-based) of ``key = ...`` inside this table's section of the file."""
        section = None
        pattern = re.compile(r'\s*(?:"%s"|\'%s\'|%s)\s*=' % ((re.escape(key),) * 3))
        for number, line in enumerate(self.lines, 1):
            head = re.match(r"\s*\[\s*([^\]]+?)\s*\]", line)
            if head:
                section = head.group(1)
            elif section == self.header and pattern.match(line):
                return number
        return None

    def bad(self, owner: str, key: str, what: str, at_value: bool = True) -> ConfigError:
        text = f'{owner}: key "{key}" {what}'
        line = self.line_of(key) if at_value else None
        return ConfigError(text + (f" (line {line})" if line else ""))

    def _typed(self, key, owner, wanted, accept):
        if key not in self.values:
            return None
        value = self.values[key]
        if not accept(value):
            raise self.bad(owner, key, f"must be {wanted}, not {type_name(value)}")
        return value

    def string(self, key: str, owner: str, required: bool = False) -> str | None:
        value = self._typed(key, owner, "a string", lambda v: isinstance(v, str))
        if value is None and required:
            raise self.bad(owner, key, "is missing", at_value=False)
        if value == "":
            raise self.bad(owner, key, "must not be empty")
        return value

    def integer(self, key: str, owner: str, low: int, high: int) -> int:
        value = self._typed(key, owner, "an integer", lambda v: isinstance(v, int) and not isinstance(v, bool))
        if value is None:
            raise self.bad(owner, key, "is missing", at_value=False)
        if not low <= value <= high:
            raise self.bad(owner, key, f"must be between {low} and {high}, not {value}")
        return value

    def number(self, key: str, owner: str, required: bool = False) -> float | None:
        value = self._typed(key, owner, "a number",
                            lambda v: isinstance(v, (int, float)) and not isinstance(v, bool))
        if value is None:
            if required:
                raise self.bad(owner, key, "is missing", at_value=False)
            return None
        if value != value or value in (float("inf"), float("-inf")):
            raise self.bad(owner, key, "must be a finite number")
        return float(value)

    def boolean(self, key: str, owner: str) -> bool | None:
        return self._typed(key, owner, "a boolean", lambda v: isinstance(v, bool))

    def table(self, key: str, owner: str) -> Table | None:
        value = self._typed(key, owner, "a table", lambda v: isinstance(v, dict))
        return None if value is None else Table(value, self.lines, key)

    def reject_unknown(self, known: set, owner: str) -> None:
        for key in self.values:
            if key not in known:
                raise self.bad(owner, key, "is not a known key (see --help)")


def type_name(value) -> str:
    """TOML type of a parsed value, as the messages name it."""
    for kind, name in ((bool, "a boolean"), (str, "a string"), (int, "an integer"),
                       (float, "a floating-point number"), (datetime.datetime, "a date-time"),
                       (datetime.date, "a date"), (datetime.time, "a time"), (list, "an array"),
                       (dict, "a table")):
        if isinstance(value, kind):
            return name
    return "no value"


def numbered_file_name(output_file: str, count: int) -> str:
    """The engine's name of result file ``count``: "_<count>" before the last '.'."""
    stem, dot, extension = output_file.rpartition(".")
    return f"{stem}_{count}.{extension}" if dot else f"{output_file}_{count}"


def read_config(path: str) -> Table:
    try:
        text = Path(path).read_bytes().decode("utf-8")
    except OSError as error:
        raise ConfigError(f"cannot read {path}: {error.strerror}") from None
    except UnicodeDecodeError:
        raise ConfigError(f"{path}: not UTF-8 text") from None
    try:
        values = tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        message = str(error)
        where = re.search(r"\(at line (\d+), column (\d+)\)", message)
        if where:
            message = message[: where.start()].rstrip()
            raise ConfigError(f"{path}:{where.group(1)}:{where.group(2)}: {message}") from None
        raise ConfigError(f"{path}: {message}") from None
    return Table(values, text.splitlines())


def resolved(base: Path, path: str) -> str:
    return path if os.path.isabs(path) else os.path.normpath(str(base / path))


def objective_settings(config: Table, objective: str) -> dict:
    """The objective's own keys, checked before anything is loaded."""
    owner = objective.replace("_", " ") + " objective"
    settings = {"output_file": config.string("output_file", owner, required=True)}
    if objective == "render":
        settings["width"] = config.integer("pixel_width", owner, 1, INT_MAX)
        settings["height"] = config.integer("pixel_height", owner, 1, INT_MAX)
        settings["pixel_size"] = config.number("pixel_size", owner, required=True)
        if not settings["pixel_size"] > 0.0:
            raise config.bad(owner, "pixel_size", "must be positive")
    elif objective == "optical_path":
        settings["points"] = config.integer("datapoints_amount", owner, 0, INT_MAX)
    return settings


def apply_material(material: Table | None, engine) -> None:
    if material is None:
        return
    import numpy as np

    owner = "[material]"
    material.reject_unknown(MATERIAL_KEYS, owner)
    n = material.number("refractive_index", owner)
    alpha = material.number("absorptivity", owner)
    if n is not None and not n > 0.0:
        raise material.bad(owner, "refractive_index", "must be positive")
    if alpha is not None and alpha < 0.0:
        raise material.bad(owner, "absorptivity", "must not be negative")
    nodes = engine.get_node_count()
    if n is not None:
        engine.set_refractive_index(np.full(nodes, n))
    if alpha is not None:
        engine.set_absorptivity(np.full(nodes, alpha))


def boundary_condition(boundary: Table, lumivex):
    """One optical condition from the [boundary] table (faces are added later)."""
    owner = "[boundary]"
    boundary.reject_unknown(BOUNDARY_KEYS, owner)
    bc = lumivex.OpticalBoundaryCondition()
    kind = boundary.string("interaction_type", owner) or "transmit"
    if kind not in ("transmit", "reflect"):
        raise boundary.bad(owner, "interaction_type", f'must be "transmit" or "reflect", not "{kind}"')
    bc.interaction_type = lumivex.TRANSMIT if kind == "transmit" else lumivex.REFLECT
    real = boundary.number("refractive_index_real", owner)
    imag = boundary.number("refractive_index_imag", owner)
    roughness = boundary.number("roughness", owner)
    bc.refractive_index_real = 1.0 if real is None else real
    bc.refractive_index_imag = 0.0 if imag is None else imag
    bc.rough_surface = bool(boundary.boolean("rough_surface", owner))
    bc.roughness = 0.0 if roughness is None else roughness
    if not bc.refractive_index_real > 0.0:
        raise boundary.bad(owner, "refractive_index_real", "must be positive")
    if bc.roughness < 0.0:
        raise boundary.bad(owner, "roughness", "must not be negative")
    return bc


def configure_objective(engine, objective: str, settings: dict) -> None:
    output = settings["output_file"]
    if objective == "render":
        engine.configure_render(settings["width"], settings["height"], settings["pixel_size"], output)
    elif objective == "optical_path":
        engine.configure_optical_path(settings["points"], output, rays=1)  # the table holds ray 0's path
    else:
        engine.configure_outfilename(output)


def run(config_path: str) -> int:
    config = read_config(config_path)
    owner = "configuration"
    config.reject_unknown(TOP_KEYS, owner)
    base = Path(config_path).parent
    mesh_path = resolved(base, config.string("mesh", owner, required=True))
    rays_path = resolved(base, config.string("rays", owner, required=True))
    solver = config.string("solver", owner) or "FE"
    if solver not in ("FE", "RK4"):
        raise config.bad(owner, "solver", f'must be "FE" or "RK4", not "{solver}"')
    objective = config.string("objective", owner, required=True)
    if objective not in OBJECTIVES:
        raise config.bad(owner, "objective",
                         f'must be "render", "optical_path" or "light_transport", not "{objective}"')
    material = config.table("material", owner)
    boundary = config.table("boundary", owner)
    settings = objective_settings(config, objective)
    settings["output_file"] = resolved(base, settings["output_file"])

    import lumivex

    print(f"lumivex-trace: {config_path}, solver {solver}, objective {objective}, device {lumivex.device()}",
          flush=True)
    engine = lumivex.Lumivex()
    try:
        engine.load_mesh(mesh_path)
    except (RuntimeError, ValueError) as error:
        raise ConfigError(f"cannot read mesh file {mesh_path}: {error}") from None
    apply_material(material, engine)
    if boundary is not None:
        bc = boundary_condition(boundary, lumivex)
        bc.faces = list(range(engine.get_boundary_face_count()))
        engine.set_boundary_conditions([bc])
    try:
        engine.load_rays(rays_path)
    except (RuntimeError, ValueError) as error:
        raise ConfigError(f"cannot read ray file {rays_path}: {error}") from None

    engine.set_solver_type(solver)
    engine.config()
    configure_objective(engine, objective, settings)
    engine.compute_volumetric_absorption()
    reached = int((engine.get_ray_entry_faces() >= 0).sum())

    # The engine reports a file it cannot write only as text, so the program
    # looks for the file itself (removing an older one first).
    result_file = numbered_file_name(settings["output_file"], 0)
    if os.path.isfile(result_file):
        os.remove(result_file)
    engine.write_result()
    sys.stdout.flush()
    if not os.path.isfile(result_file):
        raise ConfigError(f"no result file written: {result_file}")
    print(f"lumivex-trace: {engine.get_ray_count()} rays, {reached} reached the mesh, "
          f"{engine.get_element_visit_count()} element visits; wrote {result_file}")
    return 0


def main(argv: list | None = None) -> int:
    args = sys.argv[1:] if argv is None else list(argv)
    if len(args) == 1 and args[0] in ("--help", "-h"):
        sys.stdout.write(HELP)
        return 0
    if len(args) != 1 or args[0].startswith("-"):
        sys.stderr.write(USAGE)
        return 1
    try:
        return run(args[0])
    except ConfigError as error:
        sys.stdout.flush()
        sys.stderr.write(f"lumivex-trace: error: {error}\n")
        return 1


if __name__ == "__main__":
    raise SystemExit(main())
