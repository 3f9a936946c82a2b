#!/usr/bin/env python3
"""Reading a `talvex label` table back: time and peak memory of each recipe of
docs/generating_data.md, on a table it labels first (Panda, one frame).

    python bench/label_read.py [--rows N] [--keep DIR] [--json PATH]

Each recipe runs in a fresh interpreter, so that its peak resident memory
(ru_maxrss) is its own; the interpreter with NumPy and pyarrow imported is
measured alone as the floor. The DuckDB recipe runs when duckdb is importable
(pip install duckdb), pandas likewise.
"""

import argparse
import importlib.metadata
import json
import os
import pathlib
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
SHARE = pathlib.Path(importlib.metadata.distribution("example-robot-data").locate_file(
    "cmeel.prefix/share"))
PANDA = SHARE / "example-robot-data/robots/panda_description"

PRELUDE = """
import resource, sys, time
import numpy as np, pyarrow as pa, pyarrow.parquet as pq
path = sys.argv[1]
start = time.perf_counter()
"""
EPILOGUE = """
seconds = time.perf_counter() - start
print(seconds, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)
"""
RECIPES = {
    "interpreter, numpy and pyarrow imported (the floor)": "",
    "talvex_tools.read_labels(path), every column": """
from talvex_tools import read_labels
arrays = read_labels(path)
assert arrays["q"].shape[0] > 0
""",
    "read_labels(path, columns=['q', 'self_collision'])": """
from talvex_tools import read_labels
arrays = read_labels(path, columns=["q", "self_collision"])
""",
    "pyarrow.dataset batches, share colliding per joint-4 bin (streaming)": """
import pyarrow.dataset as ds
hits_per_bin = np.zeros(40); rows_per_bin = np.zeros(40)
for batch in ds.dataset(path, format="parquet").to_batches(columns=["q", "self_collision"],
                                                            batch_size=1_000_000):
    q = batch.column("q").flatten().to_numpy().reshape(len(batch), -1)
    hits = batch.column("self_collision").to_numpy(zero_copy_only=False)
    bins = np.clip(((q[:, 3] + 3.1) / 3.1 * 40).astype(int), 0, 39)
    rows_per_bin += np.bincount(bins, minlength=40)
    hits_per_bin += np.bincount(bins, weights=hits, minlength=40)
""",
    "pandas DataFrame per batch, one column per coordinate (streaming)": """
import pandas as pd
import pyarrow.dataset as ds
colliding = rows = 0
for batch in ds.dataset(path, format="parquet").to_batches(columns=["q", "self_collision"],
                                                            batch_size=1_000_000):
    q = batch.column("q").flatten().to_numpy().reshape(len(batch), -1)
    frame = pd.DataFrame(q, columns=[f"q{i}" for i in range(q.shape[1])])
    frame["self_collision"] = batch.column("self_collision").to_numpy(zero_copy_only=False)
    colliding += int(frame["self_collision"].sum()); rows += len(frame)
""",
    "DuckDB SQL on the files, share colliding per joint-4 bin": """
import duckdb
result = duckdb.sql(f\"\"\"
    SELECT floor(q[4] * 10) AS bin, avg(self_collision::INTEGER) AS share, count(*) AS n
    FROM read_parquet('{path}/*.parquet') GROUP BY bin ORDER BY bin\"\"\").fetchall()
assert sum(n for _, _, n in result) > 0
""",
    "np.array(table['q'].to_pylist()) (the old recipe, for comparison)": """
table = pq.read_table(path, columns=["q"])
q = np.array(table["q"].to_pylist())
""",
}
NEEDS = {"pandas": "pandas", "DuckDB": "duckdb"}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--keep", help="label into this folder (reused when it exists)")
    parser.add_argument("--json", default=str(ROOT / "build/bench-out/label_read.json"))
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        out = pathlib.Path(options.keep or pathlib.Path(scratch) / "labels")
        if not out.exists():
            subprocess.run(
                [sys.executable, "-m", "talvex_tools", "label", PANDA / "urdf/panda.urdf",
                 "--srdf", PANDA / "srdf/panda.srdf", "--package-dir", SHARE, "--count",
                 str(options.rows), "--chunk-size", "50000", "--frame", "panda_hand",
                 "--out", out], check=True)
        size = sum(p.stat().st_size for p in out.iterdir())
        print(f"{options.rows:,} rows (q 9 doubles, one pose, the label) in "
              f"{len(list(out.iterdir()))} files, {size / 1e6:.0f} MB; load "
              + " ".join(f"{x:.2f}" for x in os.getloadavg()))
        results = {"rows": options.rows, "bytes": size, "recipes": {}}
        for name, code in RECIPES.items():
            need = next((m for k, m in NEEDS.items() if k in name), None)
            if need and subprocess.run([sys.executable, "-c", f"import {need}"],
                                       capture_output=True).returncode:
                print(f"  {name}: skipped, {need} is not installed")
                continue
            run = subprocess.run([sys.executable, "-c", PRELUDE + code + EPILOGUE, str(out)],
                                 capture_output=True, text=True, check=True)
            seconds, peak = map(float, run.stdout.split()[-2:])
            results["recipes"][name] = {"seconds": seconds, "peak_bytes": peak}
            print(f"  {name}: {seconds:.2f} s, peak {peak / 1e9:.2f} GB")
    path = pathlib.Path(options.json)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps(results, indent=2) + "\n")


if __name__ == "__main__":
    main()
