"""Labelled configurations on disk: the metadata that says what each column holds,
one Parquet file per chunk, and the reader that turns a folder of them back into
NumPy arrays.

The metadata is one JSON document under the schema key "talvex", the same in
every file of a run.
"""

from __future__ import annotations

import json
import math
import os
import pathlib

import numpy as np

FORMAT = "talvex-labels/1"
KEY = b"talvex"

# The coordinates Pinocchio gives each joint type, in q's order, with their unit
# (a continuous joint's and a planar joint's rotation is a (cos, sin) pair, a
# floating joint's a unit quaternion x, y, z, w).
COORDINATES = {
    "revolute": (("angle", "rad"),),
    "prismatic": (("position", "m"),),
    "continuous": (("cos", "1"), ("sin", "1")),
    "planar": (("x", "m"), ("y", "m"), ("cos", "1"), ("sin", "1")),
    "floating": (("x", "m"), ("y", "m"), ("z", "m"),
                 ("qx", "1"), ("qy", "1"), ("qz", "1"), ("qw", "1")),
}


def _bound(value: float) -> float | None:
    return float(value) if math.isfinite(value) else None  # JSON has no infinity


def metadata(*, robot, name: str, joints, drawn, frames, margin: float, package_dir: str,
             files: list[dict], seed: int, count: int, chunk_size: int,
             locks: dict[int, float], version: str) -> dict:
    """The description of a run's table. joints: (name, type, first coordinate,
    coordinate count) per joint in q's order; drawn: the (lower, upper) arrays draws
    were made within, per coordinate (sampling.drawn_within); locks: coordinate index
    -> value."""
    lower, upper = robot.lower_position_limits(), robot.upper_position_limits()
    coordinates, pairs = [], []
    for joint, kind, start, size in joints:
        for offset, (role, unit) in enumerate(COORDINATES[kind]):
            i = start + offset
            entry = {"index": i, "joint": joint, "type": kind, "coordinate": role, "unit": unit,
                     "lower": _bound(lower[i]), "upper": _bound(upper[i]),
                     "drawn_within": drawn[i]}
            if i in locks:
                entry["locked"] = float(locks[i])
            coordinates.append(entry)
            if role == "cos":
                pairs.append([i, i + 1])
    columns = {
        "q": f"configuration, {robot.nq()} float64 in Pinocchio's order (see q_layout)",
        "self_collision": "bool, has_self_collision(q)",
    }
    columns.update({f"pose_{f}": f"pose of frame {f} in the world frame, 4x4 float64 "
                    "row-major (rotation, translation in m)" for f in frames})
    return {
        "format": FORMAT,
        "robot": name,
        "nq": robot.nq(),
        "ndof": robot.ndof(),
        "joints": [{"name": j, "type": k, "q_start": s, "q_count": n} for j, k, s, n in joints],
        "q_layout": coordinates,
        "cos_sin_pairs": pairs,
        "units": {"length": "m", "angle": "rad", "margin": "m"},
        "columns": columns,
        "frames": list(frames),
        "collision_margin": margin,
        "package_dir": package_dir,
        "files": files,
        "seed": seed,
        "count": count,
        "chunk_size": chunk_size,
        "locks": {str(i): float(v) for i, v in sorted(locks.items())},
        "talvex_version": version,
    }


def encode(meta: dict) -> dict[bytes, bytes]:
    return {KEY: json.dumps(meta, sort_keys=True).encode()}


def chunk_table(q: np.ndarray, hits: np.ndarray, poses: dict[str, np.ndarray],
                schema_metadata: dict[bytes, bytes]):
    import pyarrow as pa

    columns = {"q": _fixed_list(q), "self_collision": pa.array(hits, type=pa.bool_())}
    columns.update({f"pose_{f}": _fixed_list(p.reshape(len(p), 16)) for f, p in poses.items()})
    return pa.table(columns).replace_schema_metadata(schema_metadata)


def _fixed_list(rows: np.ndarray):
    import pyarrow as pa

    return pa.FixedSizeListArray.from_arrays(pa.array(rows.ravel()), rows.shape[1])


def write_chunk(table, where) -> None:
    """where: a path or a writable pyarrow sink."""
    import pyarrow.parquet as pq

    # Dictionary encoding finds nothing to share among random doubles; without it
    # the file is written in about half the time and comes out smaller.
    pq.write_table(table, where, use_dictionary=False)


def chunk_bytes(table) -> bytes:
    """The Parquet file of a table, in memory: what a worker sends back."""
    import pyarrow as pa

    sink = pa.BufferOutputStream()
    write_chunk(table, sink)
    return sink.getvalue().to_pybytes()


def part_name(k: int, chunks: int) -> str:
    # Fixed width, so that file order is chunk order.
    return f"part-{k:0{max(6, len(str(chunks - 1)))}d}.parquet"


def _parts(path: str | os.PathLike) -> list[pathlib.Path]:
    path = pathlib.Path(path)
    if path.is_dir():
        parts = sorted(path.glob("part-*.parquet"))
        if not parts:
            raise FileNotFoundError(f"no part-*.parquet file in {path}")
        return parts
    if not path.exists():
        raise FileNotFoundError(f"no such file or folder: {path}")
    return [path]


def read_metadata(path: str | os.PathLike) -> dict:
    """The description a run stored with its table (a folder or one of its files)."""
    import pyarrow.parquet as pq

    stored = pq.read_schema(_parts(path)[0]).metadata or {}
    if KEY not in stored:
        raise ValueError(f"{path} was not written by talvex label")
    return json.loads(stored[KEY])


def _dtype(kind):
    import pyarrow as pa

    return pa.array([], type=kind).to_numpy(zero_copy_only=False).dtype


def read_labels(path: str | os.PathLike, columns: list[str] | None = None) -> dict[str, np.ndarray]:
    """The table of a `talvex label` run as NumPy arrays: "q" (N, nq) float64,
    "self_collision" (N,) bool and each "pose_FRAME" (N, 4, 4) float64.

    path is the output folder (or one part file). The arrays are allocated once
    at their final size and filled file by file, so memory is the arrays' own
    plus one file's table.
    """
    import pyarrow as pa
    import pyarrow.parquet as pq

    files = [pq.ParquetFile(p) for p in _parts(path)]
    rows = sum(f.metadata.num_rows for f in files)
    schema = files[0].schema_arrow
    names = list(schema.names) if columns is None else list(columns)
    out = {}
    for name in names:
        if name not in schema.names:
            raise KeyError(f"no column {name!r} in {path}; it has {', '.join(schema.names)}")
        kind = schema.field(name).type
        if pa.types.is_fixed_size_list(kind):
            shape = (rows, 4, 4) if name.startswith("pose_") and kind.list_size == 16 else (
                rows, kind.list_size)
            out[name] = np.empty(shape, dtype=_dtype(kind.value_type))
        else:
            out[name] = np.empty(rows, dtype=_dtype(kind))
    start = 0
    for f in files:
        table = f.read(columns=names)
        for name in names:
            target = out[name].reshape(rows, -1) if out[name].ndim > 1 else out[name]
            at = start
            for chunk in table[name].chunks:
                values = chunk.flatten() if isinstance(chunk, pa.FixedSizeListArray) else chunk
                values = values.to_numpy(zero_copy_only=False)
                n = len(chunk)
                target[at:at + n] = values.reshape(n, -1) if target.ndim > 1 else values
                at += n
        start += table.num_rows
        del table
    return out
