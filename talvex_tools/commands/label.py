"""Label random configurations of a robot with its self-collision and frame poses.

Configurations are drawn uniformly inside the joint limits in chunks of C; chunk
k comes from a generator seeded by (S, k), so the output is the same whatever
runs it and any chunk can be drawn again alone. Each chunk becomes one Parquet
file under DIR, which appears only when every chunk is written;
pyarrow.parquet.read_table(DIR) reads the whole table back in chunk order.
Columns: q (nq float64), self_collision (bool) and pose_NAME for each --frame
(16 float64, the 4x4 pose in the world, row-major). --lock holds joints at a value.

example:
  talvex label robot.urdf --srdf robot.srdf --count 1000000 --frame tool --out build/labels
"""

import argparse
import dataclasses
import hashlib
import importlib.metadata
import json
import pathlib
import shutil
import sys
import tempfile
import time
import uuid

import numpy as np

from talvex_tools import options, sampling
from talvex_tools.errors import ToolError as UsageError
from talvex_tools.robot import PerThread, coverage_warning

SUMMARY = "label random configurations with self-collision and frame poses, into Parquet"
REQUIRES = ("pyarrow", "dask", "distributed", "tqdm")
PROG = "talvex label"
DEFAULT_CHUNK = 10_000


def positive_seconds(text):
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not (value > 0 and value != float("inf")):
        import argparse

        raise argparse.ArgumentTypeError(f"must be a number of seconds > 0, not {text!r}")
    return value


def add_arguments(parser):
    options.add_robot_arguments(parser)
    parser.add_argument("--count", type=options.positive_int, required=True,
                        help="configurations to label")
    options.add_seed_argument(parser)
    options.add_lock_argument(parser)
    parser.add_argument(
        "--chunk-size", type=options.positive_int, default=DEFAULT_CHUNK,
        help=f"configurations per chunk and file (default {DEFAULT_CHUNK})",
    )
    parser.add_argument(
        "--frame", action="extend", nargs="+", default=[], metavar="NAME",
        help="frame whose pose is stored (repeatable)",
    )
    options.add_out_argument(parser, suffixes=None, kind="dir",
                             help="output directory (must not hold anything unless --force)")
    engine = parser.add_mutually_exclusive_group()
    engine.add_argument(
        "--threads", type=options.positive_int,
        help=f"threads of this process, one model each (default: every core, {options.cores()})",
    )
    engine.add_argument(
        "--local-cluster", type=options.positive_int, metavar="K",
        help="start a local Dask cluster of K worker processes",
    )
    engine.add_argument("--cluster", metavar="ADDRESS", help="connect to a running Dask scheduler")
    parser.add_argument(
        "--connect-timeout", type=positive_seconds, default=10.0,
        help="seconds to wait for --cluster's scheduler (default 10)",
    )


def check_args(args):
    """The checks of parsed arguments that come before any work."""
    args.frame = list(dict.fromkeys(args.frame))  # a frame named twice is stored once
    args.files = options.robot_files(args)
    args.urdf, args.srdf = args.files.urdf, args.files.srdf
    args.package_dir = args.files.package_dir
    options.check_out(args)
    if args.threads is None and args.local_cluster is None and args.cluster is None:
        args.threads = options.cores()
    return args


def sha256(path):
    return hashlib.sha256(path.read_bytes()).hexdigest() if path else ""


@dataclasses.dataclass
class Job:
    """Everything a worker needs to label any chunk; plain data, so it travels."""

    urdf: pathlib.Path
    package_dir: pathlib.Path
    srdf: pathlib.Path | None
    margin: float
    seed: int
    count: int
    chunk_size: int
    frames: list
    layout: list
    lower: np.ndarray
    upper: np.ndarray
    locks: dict
    staging: pathlib.Path
    metadata: dict

    @property
    def chunks(self):
        return -(-self.count // self.chunk_size)

    def file(self, k):
        # Fixed width, so that file order is chunk order.
        return f"part-{k:0{max(6, len(str(self.chunks - 1)))}d}.parquet"

    def draw(self, k):
        """The configurations of chunk k, from a generator of its own."""
        size = min(self.chunk_size, self.count - k * self.chunk_size)
        rng = np.random.default_rng([self.seed, k])
        return sampling.sample(self.layout, self.lower, self.upper, rng, size, self.locks)

    def build(self):
        return self.files.build()

    @property
    def files(self):
        from talvex_tools.robot import RobotFiles

        return RobotFiles(self.urdf, self.srdf, self.package_dir, self.margin)


@dataclasses.dataclass
class Stats:
    """Seconds one or more chunks spent on each step."""

    rows: int = 0
    build: float = 0.0
    draw: float = 0.0
    collision: float = 0.0
    poses: float = 0.0
    write: float = 0.0

    def add(self, other):
        for field in dataclasses.fields(self):
            setattr(self, field.name, getattr(self, field.name) + getattr(other, field.name))


def label_chunk(job, models, k):
    import pyarrow as pa
    import pyarrow.parquet as pq

    """Label chunk k with this thread's model and write its file into the staging
    directory (under a temporary name first, so a file there is always whole)."""
    stats = Stats()
    start = time.perf_counter()
    robot = models.get()
    stats.build = time.perf_counter() - start
    q = job.draw(k)
    stats.draw = time.perf_counter() - start - stats.build
    n = len(q)

    start = time.perf_counter()
    hits = np.fromiter((robot.has_self_collision(row) for row in q), dtype=bool, count=n)
    stats.collision = time.perf_counter() - start

    start = time.perf_counter()
    poses = {f: np.empty((n, 16)) for f in job.frames}
    for i, row in enumerate(q):
        for f in job.frames:
            poses[f][i] = robot.forward_kinematics(row, f).ravel()
    stats.poses = time.perf_counter() - start

    start = time.perf_counter()
    columns = {"q": fixed_list(q), "self_collision": pa.array(hits)}
    columns.update({f"pose_{f}": fixed_list(p) for f, p in poses.items()})
    table = pa.table(columns).replace_schema_metadata(job.metadata)
    final = job.staging / job.file(k)
    partial = final.with_name(f".{final.name}.{uuid.uuid4().hex}")
    # Dictionary encoding finds nothing to share among random doubles; without it
    # the file is written in about half the time and comes out smaller.
    pq.write_table(table, partial, use_dictionary=False)
    partial.replace(final)
    stats.write = time.perf_counter() - start
    stats.rows = n
    return stats


def fixed_list(rows):
    import pyarrow as pa

    return pa.FixedSizeListArray.from_arrays(pa.array(rows.ravel()), rows.shape[1])


# Engines: each yields None once it is up, then the Stats of every chunk as it
# completes.


def run_threads(job, threads):
    from concurrent.futures import as_completed

    from talvex_tools.robot import thread_pool

    models = PerThread(job.build)
    with thread_pool(threads) as pool:
        yield None
        futures = [pool.submit(label_chunk, job, models, k) for k in range(job.chunks)]
        try:
            for future in as_completed(futures):
                yield future.result()
        finally:
            for future in futures:
                future.cancel()


def run_dask(job, local_workers=None, address=None, connect_timeout=10.0):
    import dask
    from distributed import Client, LocalCluster, as_completed, get_worker
    from distributed.diagnostics.plugin import WorkerPlugin

    class Models(WorkerPlugin):
        """One model per worker thread, built at its first chunk and kept."""

        name = f"talvex-labels-{uuid.uuid4().hex}"

        def __init__(self, job):
            self.job = job

        def setup(self, worker):
            self.models = PerThread(self.job.build)
            import pyarrow.parquet  # noqa: F401  # paid at the start, not by the first chunk

    def task(k, plugin_name):
        plugin = get_worker().plugins[plugin_name]
        return label_chunk(plugin.job, plugin.models, k)

    cluster = None
    # The cluster's scratch space (its workers' and its scheduler's) goes with it.
    scratch = tempfile.TemporaryDirectory(prefix="label-configurations-")
    try:
        with dask.config.set({"temporary-directory": scratch.name}):
            if local_workers is not None:
                cluster = LocalCluster(
                    n_workers=local_workers, threads_per_worker=1, processes=True,
                    dashboard_address=None, silence_logs=50, local_directory=scratch.name,
                )
            try:
                client = Client(cluster or address, timeout=connect_timeout)
            except (OSError, ValueError, TypeError) as exc:
                raise UsageError(f"cannot reach the cluster at {address}: {exc}") from None
            with client:
                plugin = Models(job)
                client.register_plugin(plugin)
                yield None
                try:
                    futures = client.map(task, range(job.chunks), plugin_name=plugin.name,
                                         pure=False)
                    for future in as_completed(futures):
                        yield future.result()
                finally:
                    client.cancel(futures)
                    client.unregister_worker_plugin(plugin.name)
    finally:
        if cluster is not None:
            cluster.close()
        scratch.cleanup()


class Progress:
    """A bar over chunks with the running rate on a terminal, else a plain line at
    most every few seconds and at the end."""

    def __init__(self, job, stream=sys.stderr, every=5.0):
        self.job, self.stream, self.every = job, stream, every
        self.done = self.rows = 0
        self.start = self.last = time.perf_counter()
        self.bar = None
        if stream is not None and stream.isatty():
            from tqdm import tqdm

            self.bar = tqdm(total=job.chunks, unit="chunk", file=stream, dynamic_ncols=True)

    def update(self, stats):
        self.done += 1
        self.rows += stats.rows
        now = time.perf_counter()
        rate = self.rows / max(now - self.start, 1e-9)
        if self.bar is not None:
            self.bar.set_postfix_str(f"{rate:,.0f} configurations/s", refresh=False)
            self.bar.update(1)
        elif self.stream is not None and (now - self.last >= self.every or self.done == self.job.chunks):
            self.last = now
            print(
                f"{PROG}: chunk {self.done}/{self.job.chunks}, {self.rows} configurations, "
                f"{rate:,.0f} configurations/s",
                file=self.stream, flush=True,
            )

    def close(self):
        if self.bar is not None:
            self.bar.close()


def make_job(args, robot):
    for frame in args.frame:
        try:
            robot.forward_kinematics(robot.neutral_configuration(), frame)
        except (RuntimeError, ValueError) as exc:
            raise UsageError(f"--frame {frame}: {exc}") from None
    layout = sampling.layout(robot, args.urdf)
    held = options.locks(args, layout)
    metadata = {
        "urdf": str(args.urdf),
        "urdf_sha256": sha256(args.urdf),
        "srdf": str(args.srdf or ""),
        "srdf_sha256": sha256(args.srdf),
        "package_dir": str(args.package_dir),
        "collision_margin": repr(args.margin),
        "seed": str(args.seed),
        "count": str(args.count),
        "chunk_size": str(args.chunk_size),
        "frames": json.dumps(args.frame),
        "locks": json.dumps({str(k): v for k, v in held.items()}),
        "talvex_version": importlib.metadata.version("talvex"),
    }
    staging = args.out.with_name(f".{args.out.name}.partial-{uuid.uuid4().hex[:12]}")
    return Job(
        urdf=args.urdf, package_dir=args.package_dir, srdf=args.srdf, margin=args.margin,
        seed=args.seed, count=args.count, chunk_size=args.chunk_size, frames=list(args.frame),
        layout=layout, lower=robot.lower_position_limits(),
        upper=robot.upper_position_limits(), locks=held, staging=staging, metadata=metadata,
    )


@dataclasses.dataclass
class Summary:
    stats: Stats  # summed over the chunks
    startup: float  # seconds until the engine was up (a cluster's start and connection)
    labelling: float  # seconds from then until the last chunk was written


def label(args, stream=sys.stderr):
    """Label as the arguments say and publish the output directory."""
    warning = coverage_warning(args.files)
    if warning:
        print(f"{PROG}: {warning}", file=stream)
    job = make_job(args, args.files.build())
    if args.threads is not None:
        chunks = run_threads(job, args.threads)
    else:
        chunks = run_dask(job, args.local_cluster, args.cluster, args.connect_timeout)
    total = Stats()
    begin = ready = time.perf_counter()
    job.staging.mkdir(parents=True)
    try:
        try:
            for stats in chunks:
                if stats is None:
                    ready = time.perf_counter()
                    progress = Progress(job, stream)
                    continue
                total.add(stats)
                progress.update(stats)
        except (RuntimeError, ValueError, OSError) as exc:
            # A worker that cannot build the robot (its files are not at these paths
            # on its machine) or cannot write the output directory.
            raise UsageError(f"a chunk failed: {' '.join(str(exc).split())}") from None
        end = time.perf_counter()
        progress.close()
        # Only a complete table is published, in one rename.
        if args.out.is_dir():
            shutil.rmtree(args.out)  # empty, or replaced with --force
        job.staging.rename(args.out)
    finally:
        chunks.close()
        shutil.rmtree(job.staging, ignore_errors=True)
    return Summary(total, ready - begin, end - ready)


def run(args):
    summary = label(check_args(args))
    del summary
    return 0
