"""Legacy VTK input: layouts that must load, and input that must be refused without harm."""

import re

import numpy as np
import pytest

import lumivex
from conftest import HEADER, f32, mesh_record, scalars, vtk_text
from lumivex_tools import box_mesh

POINTS, HEXAHEDRA = box_mesh(2, 1, 1, size=(2.0, 1.0, 1.0))   # 12 nodes, 2 elements
N = len(POINTS)
INDEX = 1.4 + 0.01 * np.arange(N)
ABSORB = 0.02 * np.arange(N)


def _numbers(values, per_line):
    values = [f"{v:.9g}" if isinstance(v, float) else str(v) for v in values]
    return "".join(" ".join(values[i:i + per_line]) + "\n" for i in range(0, len(values), per_line))


def _stream_layout(points_per_line, cell_ids_per_line, scalars_per_line):
    """The reference mesh with its numbers spread over lines in another way."""
    cells = np.column_stack([np.full(len(HEXAHEDRA), 8), HEXAHEDRA]).ravel().tolist()
    return (HEADER.format(title="stream")
            + f"POINTS {N} float\n" + _numbers(POINTS.ravel().tolist(), 3 * points_per_line)
            + f"CELLS {len(HEXAHEDRA)} {len(cells)}\n" + _numbers(cells, cell_ids_per_line)
            + f"CELL_TYPES {len(HEXAHEDRA)}\n12 12\n"
            + f"POINT_DATA {N}\n" + scalars("RefractiveIndex", INDEX, scalars_per_line)
            + scalars("Absorptivity", ABSORB, scalars_per_line))


def _mesh_state(engine):
    state = {
        "counts": (engine.get_node_count(), engine.get_element_count(), engine.get_boundary_face_count()),
        "positions": engine.get_node_positions(),
        "index": engine.get_refractive_index(),
        "absorptivity": engine.get_absorptivity(),
    }
    if lumivex.device() == "cpu":
        record = mesh_record(engine)
        state["elements"] = record.array("elementNodes", 8 * engine.get_element_count())
        state["boundary faces"] = record.array("faceNodes", 4 * engine.get_boundary_face_count())
    return state


def _assert_same_state(a, b):
    assert a.keys() == b.keys()
    for key in a:
        np.testing.assert_array_equal(np.asarray(a[key]), np.asarray(b[key]), err_msg=key)


@pytest.fixture
def reference(engine, write_text):
    engine.load_mesh(write_text("reference.vtk", _stream_layout(1, 9, 1)))
    return _mesh_state(engine)


def test_reference_mesh_content(reference):
    assert reference["counts"] == (12, 2, 10)
    np.testing.assert_array_equal(reference["positions"], f32(POINTS))
    np.testing.assert_array_equal(reference["index"], f32(INDEX))
    np.testing.assert_array_equal(reference["absorptivity"], f32(ABSORB))
    if "elements" in reference:
        np.testing.assert_array_equal(reference["elements"], HEXAHEDRA.ravel())


@pytest.mark.parametrize("points_per_line, cell_ids_per_line, scalars_per_line", [
    (N, 18, N),      # everything of a section on one line
    (2, 4, 5),       # lines that cut points and cells in the middle
])
def test_line_layout_does_not_matter(engine, write_text, reference, points_per_line, cell_ids_per_line,
                                     scalars_per_line):
    text = _stream_layout(points_per_line, cell_ids_per_line, scalars_per_line)
    engine.load_mesh(write_text("layout.vtk", text))
    _assert_same_state(_mesh_state(engine), reference)


@pytest.mark.parametrize("edit", [
    pytest.param(lambda t: t.replace("\n", "\r\n"), id="crlf"),
    pytest.param(lambda t: t.rstrip("\n"), id="no-final-newline"),
    pytest.param(lambda t: t.replace("ASCII\n", "ASCII\n\n# a comment\n   \n"), id="comment-in-header"),
    pytest.param(lambda t: t.replace("\n1 0 0\n", "\n# the second point\n1 0 0\n", 1),
                 id="comment-among-points"),
    pytest.param(lambda t: t.replace("POINT_DATA", "FIELD FieldData 1\nNotes 1 2 float\n7 8\nPOINT_DATA"),
                 id="other-sections"),
    pytest.param(lambda t: t.replace("stream", "POINTS CELLS SCALARS"), id="keywords-in-title"),
])
def test_tolerated_text_variations(engine, write_text, reference, edit):
    base = _stream_layout(1, 9, 1)
    text = edit(base)
    assert text != base
    engine.load_mesh(write_text("variant.vtk", text))
    _assert_same_state(_mesh_state(engine), reference)


def test_file_written_by_meshio(engine, tmp_path, reference):
    meshio = pytest.importorskip("meshio")
    path = str(tmp_path / "meshio.vtk")
    # Legacy format 4.2 has the classic CELLS section; meshio writes all coordinates on one line.
    meshio.vtk.write(path, meshio.Mesh(POINTS, [("hexahedron", HEXAHEDRA)]), binary=False, fmt_version="4.2")
    engine.load_mesh(path)
    state = _mesh_state(engine)
    state["index"], state["absorptivity"] = f32(INDEX), f32(ABSORB)
    _assert_same_state(state, reference)


def test_load_messages(engine, make_box, capfd):
    path, points, _ = make_box(1, 1, 1, refractive_index=1.33, absorptivity=0.5)
    with open(path) as f:
        text = f.read()
    lines = len(text.splitlines()) - text.count("LOOKUP_TABLE")
    engine.load_mesh(path)
    assert capfd.readouterr() == (
        f"Reading VTK file: {path}\n"
        f"Read {lines} lines from file\n"
        "Loaded RefractiveIndex data for 8 nodes\n"
        "Loaded Absorptivity data for 8 nodes\n"
        "VTK file loaded: 1 elements, 8 nodes\n"
        "Mesh connectivity: 6 boundary faces\n"
        "Refractive index regions: 1 constant, 0 varying (100.0% constant)\n", "")
    np.testing.assert_array_equal(engine.get_refractive_index(), np.full(8, np.float32(1.33)))
    np.testing.assert_array_equal(engine.get_absorptivity(), np.full(8, np.float32(0.5)))


def test_missing_material_fields_default_to_clear_medium(engine, write_text, capfd):
    engine.set_constant_matprops(2.5, 0.9)   # no mesh yet: must not leak into the next load
    engine.load_mesh(write_text("plain.vtk", vtk_text(POINTS, HEXAHEDRA)))
    assert "data" not in capfd.readouterr().out
    np.testing.assert_array_equal(engine.get_refractive_index(), np.ones(N))
    np.testing.assert_array_equal(engine.get_absorptivity(), np.zeros(N))


@pytest.mark.parametrize("short", ["RefractiveIndex", "Absorptivity"])
def test_short_scalar_field_is_dropped_with_a_warning(engine, write_text, capfd, short):
    # A short index is followed by the next keyword, a short absorptivity by the end of the file.
    count = N - 1 if short == "RefractiveIndex" else 3
    fields = {"RefractiveIndex": INDEX, "Absorptivity": ABSORB}
    tail = f"POINT_DATA {N}\n" + "".join(scalars(k, v[:count] if k == short else v) for k, v in fields.items())
    engine.load_mesh(write_text("short.vtk", vtk_text(POINTS, HEXAHEDRA, tail=tail)))
    out = capfd.readouterr().out
    assert f"Warning: {short} data size mismatch: read {count} values, expected {N} nodes\n" in out
    if short == "RefractiveIndex":
        assert f"Loaded Absorptivity data for {N} nodes\n" in out
    defaults = {"RefractiveIndex": np.ones(N), "Absorptivity": np.zeros(N)}
    got = {"RefractiveIndex": engine.get_refractive_index(), "Absorptivity": engine.get_absorptivity()}
    for key, values in got.items():
        np.testing.assert_array_equal(values, defaults[key] if key == short else f32(fields[key]))


def test_cell_data_and_other_scalars_are_ignored(engine, write_text, capfd):
    tail = ("CELL_DATA 2\n" + scalars("RefractiveIndex", [9.0, 9.0]) + scalars("Absorptivity", [7.0, 7.0])
            + f"POINT_DATA {N}\n" + scalars("Temperature", np.full(N, 300.0))
            + scalars("Absorptivity", ABSORB))
    engine.load_mesh(write_text("cell_data.vtk", vtk_text(POINTS, HEXAHEDRA, tail=tail)))
    out = capfd.readouterr().out
    assert "RefractiveIndex" not in out and "mismatch" not in out
    np.testing.assert_array_equal(engine.get_refractive_index(), np.ones(N))
    np.testing.assert_array_equal(engine.get_absorptivity(), f32(ABSORB))


def _one_cell(ids="0 1 2 3 4 5 6 7", count=8):
    return vtk_text(POINTS[:8], title="bad") + f"CELLS 1 {count + 1}\n{count} {ids}\n"


def _typed_cells(cells, types):
    return (vtk_text(POINTS, title="bad") + f"CELLS {len(cells)} {sum(len(c) + 1 for c in cells)}\n"
            + "".join(f"{len(c)} " + " ".join(map(str, c)) + "\n" for c in cells)
            + f"CELL_TYPES {len(cells)}\n" + "".join(f"{t}\n" for t in types))


BAD_FILES = [
    pytest.param(vtk_text(POINTS[:8]).replace("POINTS 8", "POINTS 9"), r"point", id="short-points"),
    pytest.param(vtk_text(POINTS, HEXAHEDRA[:1], cell_types=False).replace("CELLS 1", "CELLS 2"), r"cell",
                 id="short-cells"),
    pytest.param(vtk_text(POINTS, HEXAHEDRA, cell_types=False)[:-8], r"cell", id="truncated-cell"),
    pytest.param(_one_cell("0 1 2 3", count=4), r"\b4\b", id="quad-cell"),
    pytest.param(_one_cell("0 1 2 3 4 5 6 7 7", count=9), r"\b9\b", id="nine-node-cell"),
    pytest.param(_one_cell("0 1 2 3 4 5 6 8"), r"\b8\b", id="node-id-too-large"),
    pytest.param(_one_cell("0 1 2 3 -1 5 6 7"), r"-1", id="negative-node-id"),
    pytest.param(_one_cell() + "CELL_TYPES 1\n11\n", r"\b11\b", id="voxel-cell-type"),
    pytest.param(_one_cell() + "CELL_TYPES 1\n10\n", r"\b10\b", id="tetra-cell-type"),
    pytest.param(HEADER.format(title="bin").replace("ASCII", "BINARY") + "POINTS 8 float\n\x00\x3f\x80\n",
                 r"(?i)binary", id="binary"),
    pytest.param(HEADER.format(title="").replace("ASCII", "BINARY") + "POINTS 8 float\n\x00\x3f\x80\n",
                 r"(?i)binary", id="binary-empty-title"),
    pytest.param(vtk_text(POINTS, HEXAHEDRA).split("\n", 1)[1], r"header", id="no-header"),
    pytest.param(vtk_text(POINTS[:0], HEXAHEDRA).replace("POINTS 0 float\n", ""), r"POINTS", id="no-points"),
    pytest.param(vtk_text(POINTS), r"CELLS", id="no-cells"),
    pytest.param(_typed_cells([[0, 1, 2, 3]], [9]), r"none of its 1 cells is a hexahedron", id="only-quads"),
    pytest.param(_typed_cells([[0, 1, 2, 4, 5, 6], [1, 2, 3, 5, 6, 7], [0, 1, 3, 4], HEXAHEDRA[0]], [13, 13, 10, 12]),
                 r"1 tetra cell \(VTK type 10\), 2 wedge cells \(VTK type 13\).*convert", id="wedges-and-tetra"),
    pytest.param(vtk_text(POINTS[:8]).replace("POINTS 8", "POINTS 200000000"), r"600000000 values",
                 id="count-beyond-text"),
    pytest.param(HEADER.format(title="b").replace("ASCII", "BINARY") + "POINTS 1 float\n" + "\x00" * 12
                 + "\nCELLS 100000000 100000000\n", r"100000000 values.*binary", id="count-beyond-binary"),
]


@pytest.mark.parametrize("text, problem", BAD_FILES)
def test_bad_file_is_refused_and_previous_mesh_kept(loaded, write_text, capfd, text, problem):
    engine = loaded.engine
    engine.set_constant_matprops(1.45, 0.125)
    before = _mesh_state(engine)
    path = write_text("bad.vtk", text)
    with pytest.raises(RuntimeError) as err:
        engine.load_mesh(path)
    message = str(err.value)
    assert path in message
    assert re.search(problem, message.replace(path, "")), message
    capfd.readouterr()
    _assert_same_state(_mesh_state(engine), before)
    # Still usable: setters and the handed-out address keep working on the old mesh.
    engine.set_constant_matprops(1.5, 0.0)
    np.testing.assert_array_equal(engine.get_refractive_index(), np.full(len(loaded.points), 1.5))
    assert engine.get_mesh_ptr() != 0


@pytest.mark.parametrize("target", ["missing", "directory"])
def test_unopenable_path(loaded, tmp_path, capfd, target):
    engine = loaded.engine
    path = tmp_path / "no_such_file.vtk" if target == "missing" else tmp_path
    with pytest.raises(RuntimeError, match=r"^Cannot open VTK file\.$"):
        engine.load_mesh(str(path))
    capfd.readouterr()
    assert engine.get_node_count() == len(loaded.points)
    np.testing.assert_array_equal(engine.get_node_positions(), f32(loaded.points))


def test_failed_first_load_leaves_engine_without_mesh(engine, tmp_path, capfd):
    with pytest.raises(RuntimeError):
        engine.load_mesh(str(tmp_path / "absent.vtk"))
    capfd.readouterr()
    assert engine.get_mesh_ptr() == 0
    assert capfd.readouterr().out == "Error: mesh not loaded yet!\n"


# --- files as common tools write them ------------------------------------------------------------

def _block(values, dtype, binary):
    """One data block of a legacy file: big-endian bytes, or numbers on a line."""
    values = np.asarray(values, dtype=dtype).ravel()
    if binary:
        return values.astype(np.dtype(dtype).newbyteorder(">")).tobytes() + b"\n"
    return (" ".join(repr(v) for v in values.tolist()) + "\n").encode()


def _meshio_file(path, fmt_version, binary):
    """meshio writes point data as FIELD arrays; its cell data must not be taken for material."""
    meshio = pytest.importorskip("meshio")
    mesh = meshio.Mesh(POINTS, [("hexahedron", HEXAHEDRA)],
                       point_data={"RefractiveIndex": INDEX, "Temperature": np.full((N, 3), 300.0),
                                   "Absorptivity": ABSORB},
                       cell_data={"RefractiveIndex": [np.full(len(HEXAHEDRA), 9.0)]})
    meshio.vtk.write(path, mesh, binary=binary, fmt_version=fmt_version)
    return True


def _vtk_writer_file(path, binary):
    """vtkUnstructuredGridWriter's 5.1 layout: SCALARS for the active array, FIELD for the rest,
    METADATA blocks, 64-bit OFFSETS/CONNECTIVITY."""
    offsets = 8 * np.arange(len(HEXAHEDRA) + 1)
    b = lambda values, dtype: _block(values, dtype, binary)  # noqa: E731
    parts = [b"# vtk DataFile Version 5.1\nvtk output\n", b"BINARY\n" if binary else b"ASCII\n",
             b"DATASET UNSTRUCTURED_GRID\nFIELD FieldData 1\nTimeValue 1 1 double\n", b([0.5], ">f8"),
             f"POINTS {N} float\n".encode(), b(POINTS, ">f4"), b"METADATA\nINFORMATION 0\n\n",
             f"CELLS {len(offsets)} {HEXAHEDRA.size}\nOFFSETS vtktypeint64\n".encode(), b(offsets, ">i8"),
             b"CONNECTIVITY vtktypeint64\n", b(HEXAHEDRA, ">i8"),
             f"CELL_TYPES {len(HEXAHEDRA)}\n".encode(), b([12] * len(HEXAHEDRA), ">i4"),
             f"POINT_DATA {N}\nSCALARS RefractiveIndex double 1\nLOOKUP_TABLE default\n".encode(), b(INDEX, ">f8"),
             f"NORMALS Normals float\n".encode(), b(np.zeros((N, 3)), ">f4"),
             f"FIELD FieldData 2\nAbsorptivity 1 {N} float\n".encode(), b(ABSORB, ">f4"),
             f"Ids 1 {N} vtktypeint64\n".encode(), b(np.arange(N), ">i8"),
             b"METADATA\nINFORMATION 1\nNAME L2_NORM_RANGE LOCATION vtkDataArray\nDATA 2 0 1\n\n"]
    with open(path, "wb") as f:
        f.write(b"".join(parts))
    return True


def _gmsh_file(path, binary=False):
    """gmsh's own export: vertices, lines and boundary quads beside the hexahedra, no material."""
    lower = [[1, 0], [2, 0, 1], [4, 0, 1, 2, 3], [4, 4, 5, 6, 7]]
    cells = lower + [[8, *h] for h in HEXAHEDRA.tolist()]
    if binary:  # the classic CELLS list as one block of big-endian integers
        b = lambda values, dtype: _block(values, dtype, True)  # noqa: E731
        parts = [b"# vtk DataFile Version 2.0\nbox\nBINARY\nDATASET UNSTRUCTURED_GRID\n",
                 f"POINTS {N} double\n".encode(), b(POINTS, ">f8"),
                 f"CELLS {len(cells)} {sum(len(c) for c in cells)}\n".encode(), b(sum(cells, []), ">i4"),
                 f"CELL_TYPES {len(cells)}\n".encode(), b([1, 3, 9, 9] + [12] * len(HEXAHEDRA), ">i4")]
        with open(path, "wb") as f:
            f.write(b"".join(parts))
        return False
    text = ("# vtk DataFile Version 2.0\nbox, Created by Gmsh 4.11.1\nASCII\nDATASET UNSTRUCTURED_GRID\n"
            + f"POINTS {N} double\n" + _numbers(POINTS.ravel().tolist(), 3)
            + f"CELLS {len(cells)} {sum(len(c) for c in cells)}\n"
            + "".join(" ".join(map(str, c)) + "\n" for c in cells)
            + f"CELL_TYPES {len(cells)}\n1\n3\n9\n9\n" + "12\n" * len(HEXAHEDRA))
    with open(path, "w") as f:
        f.write(text)
    return False


WRITERS = {
    "meshio-4.2-ascii": lambda p: _meshio_file(p, "4.2", False),
    "meshio-4.2-binary": lambda p: _meshio_file(p, "4.2", True),
    "meshio-5.1-ascii": lambda p: _meshio_file(p, "5.1", False),
    "meshio-5.1-binary": lambda p: _meshio_file(p, "5.1", True),
    "vtk-writer-ascii": lambda p: _vtk_writer_file(p, False),
    "vtk-writer-binary": lambda p: _vtk_writer_file(p, True),
    "gmsh": _gmsh_file,
    "gmsh-binary": lambda p: _gmsh_file(p, binary=True),
}


@pytest.mark.parametrize("writer", WRITERS)
def test_files_of_common_writers_load_like_the_arrays(engine, tmp_path, capfd, writer):
    path = str(tmp_path / "mesh.vtk")
    has_material = WRITERS[writer](path)
    engine.load_mesh(path)
    out = capfd.readouterr().out
    from_file = _mesh_state(engine)
    material = {"refractive_index": INDEX, "absorptivity": ABSORB} if has_material else {}
    engine.load_mesh_arrays(POINTS, HEXAHEDRA, **material)
    _assert_same_state(from_file, _mesh_state(engine))
    assert ("Loaded Absorptivity data for 12 nodes\n" in out) == has_material
    if writer.startswith("gmsh"):
        assert ("Skipped 4 lower-dimensional cells: 1 vertex cell (VTK type 1), 1 line cell (VTK type 3), "
                "2 quad cells (VTK type 9)\n") in out
