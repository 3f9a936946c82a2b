"""talvex label: random configurations labelled with self-collision and frame poses.

Configurations are drawn inside the joint limits in chunks; chunk k comes from
numpy.random.default_rng([seed, k]) alone, so the table is the same whatever
runs it, and a chunk lost with its worker is simply drawn and labelled again.
Each chunk becomes one Parquet file, written by this process into a hidden
folder beside --out (.NAME.partial) that becomes --out, in one rename, when
every chunk is there. A run stopped by Ctrl-C or SIGTERM keeps that folder, as
does one killed outright: --resume continues it after checking that its parameters
and robot files are the same. Chunks are handed to the engine a few at a time,
as workers free up, so nothing grows with --count before the first chunk.
Before work the run estimates its output's size, refusing one that cannot fit in
the free space of --out's file system (--ignore-space runs anyway), and from a
short timed sample its duration; the first progress line states both.
With --cluster or --local-cluster the robot's files travel with the work: each
worker builds from a private copy, checked against the client's SHA-256.
talvex_tools.read_labels(DIR) reads the table back as NumPy arrays.

example:
  talvex label robot.urdf --srdf robot.srdf --count 1000000 --frame tool --out build/labels
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import fcntl
import itertools
import json
import math
import os
import pathlib
import queue
import re
import shlex
import shutil
import signal
import socket
import sys
import tempfile
import threading
import time
import uuid

import numpy as np

from talvex_tools import labels, options, sampling
from talvex_tools.bundle import Bundle, PrivateCopy
from talvex_tools.errors import ToolError, interrupted_as, one_line
from talvex_tools.robot import coverage_warning

SUMMARY = "label random configurations with self-collision and frame poses, into Parquet"
REQUIRES = ("pyarrow", "dask", "distributed", "tqdm")
PROG = "talvex label"
DEFAULT_CHUNK = 10_000
DEFAULT_STALL = 300.0
RUN_FILE = "run.json"
LOCK_FILE = ".lock"
SAMPLE_ROWS = 300  # timed before work, for the duration estimate
SAMPLE_SECONDS = 1.0  # ... or as many as take this long, on a slow robot


def positive_seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"must be a number of seconds > 0, not {text!r}")
    return value


def add_arguments(parser: argparse.ArgumentParser) -> None:
    options.add_robot_arguments(parser)
    parser.add_argument("--count", type=options.positive_int, required=True,
                        help="configurations to label")
    options.add_seed_argument(parser)
    parser.add_argument("--chunk-size", type=options.positive_int, default=DEFAULT_CHUNK,
                        help=f"configurations per chunk and file (default {DEFAULT_CHUNK})")
    parser.add_argument("--frame", action="extend", nargs="+", default=[], metavar="NAME",
                        help="frame whose pose is stored (repeatable)")
    options.add_lock_argument(parser)
    options.add_out_argument(parser, suffixes=None, kind="dir",
                             help="output folder (one Parquet file per chunk)")
    parser.add_argument("--resume", action="store_true",
                        help="continue the run a stopped or killed process left beside "
                        "--out (same parameters and robot files)")
    parser.add_argument("--ignore-space", action="store_true",
                        help="run even when the estimated output exceeds the free space "
                        "of --out's file system")
    engine = parser.add_mutually_exclusive_group()
    engine.add_argument("--threads", type=options.positive_int,
                        help=f"threads of this process, one model each (default: every core, "
                        f"{options.cores()})")
    engine.add_argument("--local-cluster", type=options.positive_int, metavar="K",
                        help="start a local Dask cluster of K worker processes")
    engine.add_argument("--cluster", metavar="ADDRESS",
                        help="connect to a running Dask scheduler, e.g. tcp://10.0.0.5:8786")
    parser.add_argument("--connect-timeout", type=positive_seconds, default=10.0, metavar="S",
                        help="seconds to wait for --cluster's scheduler (default 10)")
    parser.add_argument("--stall-timeout", type=positive_seconds, default=DEFAULT_STALL,
                        metavar="S", help="fail when no chunk has finished for S seconds "
                        f"(default {DEFAULT_STALL:g})")


# ---------------------------------------------------------------- the work


@dataclasses.dataclass
class Stats:
    """Seconds one or more chunks spent on each step."""

    rows: int = 0
    build: float = 0.0
    draw: float = 0.0
    collision: float = 0.0
    poses: float = 0.0
    write: float = 0.0
    colliding: int = 0

    def add(self, other: "Stats") -> None:
        for field in dataclasses.fields(self):
            setattr(self, field.name, getattr(self, field.name) + getattr(other, field.name))


@dataclasses.dataclass
class Job:
    """Everything a worker needs to label any chunk; plain data, so it travels."""

    bundle: Bundle
    margin: float
    seed: int
    count: int
    chunk_size: int
    frames: list
    layout: list
    lower: np.ndarray
    upper: np.ndarray
    locks: dict
    schema_metadata: dict
    version: str

    @property
    def chunks(self) -> int:
        return -(-self.count // self.chunk_size)

    def size(self, k: int) -> int:
        return min(self.chunk_size, self.count - k * self.chunk_size)

    def draw(self, k: int) -> np.ndarray:
        """The configurations of chunk k, from a generator of its own."""
        rng = np.random.default_rng([self.seed, k])
        return sampling.sample(self.layout, self.lower, self.upper, rng, self.size(k),
                               locks=self.locks or None)


class Models:
    """The robot of this process, built from a private copy of the robot's files at
    the first chunk and shared by every thread: the batch calls give each thread a
    workspace of its own on the one prepared robot."""

    def __init__(self, job: Job, copy: PrivateCopy):
        self.job, self.copy = job, copy
        self.lock = threading.Lock()
        self.robot = None

    def get(self):
        with self.lock:
            if self.robot is None:
                import talvex

                robot = talvex.RobotModel()
                try:
                    robot.build_from_urdf(self.copy.urdf, self.copy.package_dir,
                                          self.copy.srdf or "", self.job.margin)
                except (RuntimeError, ValueError) as exc:
                    raise ToolError(
                        f"cannot build the robot: {self.copy.shown(one_line(exc))}") from None
                self.robot = robot
            return self.robot


def label_chunk(job: Job, models: Models, k: int) -> tuple[int, Stats, bytes]:
    """Label chunk k with this thread's model; the chunk's Parquet file as bytes."""
    stats = Stats()
    start = time.perf_counter()
    robot = models.get()
    stats.build = time.perf_counter() - start
    q = job.draw(k)
    stats.draw = time.perf_counter() - start - stats.build
    return k, stats, label_rows(job, robot, q, stats)


def label_rows(job: Job, robot, q: np.ndarray, stats: Stats) -> bytes:
    """The Parquet file of configurations q labelled by robot, each step timed."""
    from talvex_tools import batch

    # One call per chunk on this thread: the interpreter lock is released once
    # for the whole chunk instead of twice per configuration.
    start = time.perf_counter()
    hits = batch.self_collisions(robot, q, threads=1)
    stats.collision = time.perf_counter() - start

    start = time.perf_counter()
    frames = list(job.frames)
    at = batch.frame_poses(robot, q, frames, threads=1).reshape(len(q), len(frames), 16)
    poses = {f: np.ascontiguousarray(at[:, i]) for i, f in enumerate(frames)}
    stats.poses = time.perf_counter() - start

    start = time.perf_counter()
    data = labels.chunk_bytes(labels.chunk_table(q, hits, poses, job.schema_metadata))
    stats.write = time.perf_counter() - start
    stats.rows, stats.colliding = len(q), int(hits.sum())
    return data


# ---------------------------------------------------------------- engines
# Each runs chunks and puts (k, future) on a queue as each one ends; the caller
# waits on the queue with a timeout, which is what notices a stalled run. A
# future's result is (k, Stats, the file's bytes, or None once written).


def label_and_write(job: Job, models: Models, partial: "Partial", k: int):
    """label_chunk, and its file written by the same thread (the main thread is
    left free for bookkeeping)."""
    _, stats, data = label_chunk(job, models, k)
    start = time.perf_counter()
    partial.write(k, data)
    stats.write += time.perf_counter() - start
    return k, stats, None


class Threads:
    def __init__(self, job: Job, copy: PrivateCopy, threads: int):
        from concurrent.futures import ThreadPoolExecutor

        self.models = Models(job, copy)
        self.job = job
        self.pool = ThreadPoolExecutor(threads, thread_name_prefix="talvex-label")
        self.futures = {}
        self.partial = None

    def submit(self, ks, done: queue.Queue) -> None:
        for k in ks:
            future = self.pool.submit(label_and_write, self.job, self.models, self.partial, k)
            self.futures[k] = future
            future.add_done_callback(lambda f, k=k: done.put((k, f)))

    def result(self, k, future, timeout):
        self.futures.pop(k, None)
        return future.result()

    def state(self) -> str:
        return ""

    def slots(self) -> int:
        return self.pool._max_workers

    def close(self) -> None:
        # A chunk under way ends on its own; its bytes are dropped.
        self.pool.shutdown(wait=False, cancel_futures=True)


_RUNS: dict = {}  # on a worker: run id -> the Models (and robot copy) of each run it serves
_RUNS_LOCK = threading.Lock()


def _worker_models(run_id: str, job: Job, folder: str) -> Models:
    with _RUNS_LOCK:
        entry = _RUNS.get(run_id)
        if entry is None:
            from importlib.metadata import version

            here = version("talvex")
            if here != job.version:
                raise ToolError(f"a worker has talvex {here}, this client {job.version}")
            copy = PrivateCopy(job.bundle, dir=folder)
            entry = _RUNS[run_id] = Models(job, copy)
        return entry


def _drop_run(run_id: str) -> None:
    with _RUNS_LOCK:
        entry = _RUNS.pop(run_id, None)
    if entry is not None:
        entry.copy.close()


def _dask_task(k: int, run_id: str):
    from distributed import get_worker

    worker = get_worker()
    job = worker.plugins[run_id].job
    return label_chunk(job, _worker_models(run_id, job, worker.local_directory), k)


def _plugin(run_id: str, job: Job):
    from distributed.diagnostics.plugin import WorkerPlugin

    class Run(WorkerPlugin):
        """Carries the job (with the robot's files) to every worker, also those
        that join later, and removes the worker's copy when the run ends."""

        name = run_id

        def __init__(self, job):
            self.job = job

        def setup(self, worker):
            # Ctrl-C on the client's terminal reaches the processes of a local
            # cluster too; the client ends them itself.
            with contextlib.suppress(ValueError):
                signal.signal(signal.SIGINT, signal.SIG_IGN)

        def teardown(self, worker):
            _drop_run(run_id)

    return Run(job)


def check_reachable(address: str, timeout: float) -> None:
    """Refuse an address that cannot answer, at once (the client would retry a
    refused connection until its timeout)."""
    scheme, sep, rest = address.partition("://")
    if not sep:
        scheme, rest = "tcp", address
    if scheme not in ("tcp", "tls"):
        return
    host, _, port = rest.rpartition(":")
    try:
        port = int(port.split("/")[0])
    except ValueError:
        raise ToolError(f"--cluster {address}: expected tcp://HOST:PORT") from None
    try:
        with socket.create_connection((host.strip("[]") or "127.0.0.1", port), timeout=timeout):
            pass
    except OSError as exc:
        reason = "timed out" if isinstance(exc, TimeoutError) else (exc.strerror or str(exc))
        raise ToolError(f"cannot reach the cluster at {address}: {reason.lower()}") from None


class Cluster:
    def __init__(self, job: Job, local_workers=None, address=None, connect_timeout=10.0):
        import dask
        from distributed import Client, LocalCluster

        self.job, self.cluster, self.client, self.partial = job, None, None, None
        self.run_id = f"talvex-label-{uuid.uuid4().hex}"
        self.futures = {}
        self.threads, self.counted = 0, -math.inf
        # The cluster's scratch space (its workers' and its scheduler's) goes with it.
        self.scratch = tempfile.TemporaryDirectory(prefix="talvex-label-")
        self.config = dask.config.set({"temporary-directory": self.scratch.name})
        self.config.__enter__()
        try:
            if local_workers is not None:
                # Worker processes inherit an ignored SIGINT and SIGTERM: Ctrl-C on
                # the terminal, or SIGTERM to the whole job (SLURM, `timeout`), then
                # stops this process alone, which closes them (they stop on a
                # message from their nanny, not on a signal).
                previous = {s: signal.signal(s, signal.SIG_IGN)
                            for s in (signal.SIGINT, signal.SIGTERM)}
                try:
                    self.cluster = LocalCluster(
                        n_workers=local_workers, threads_per_worker=1, processes=True,
                        dashboard_address=None, silence_logs=50,
                        local_directory=self.scratch.name,
                        # Its HTTP server would take port 8787, and warn when that
                        # is taken (by any other cluster on the machine).
                        scheduler_kwargs={"dashboard_address": "127.0.0.1:0"})
                except (RuntimeError, OSError) as exc:
                    raise ToolError(f"the local cluster did not start: {one_line(exc)}") \
                        from None
                finally:
                    for number, handler in previous.items():
                        signal.signal(number, handler)
            else:
                check_reachable(address, connect_timeout)
            try:
                self.client = Client(self.cluster or address, timeout=connect_timeout)
            except (OSError, ValueError, TypeError) as exc:
                raise ToolError(f"cannot reach the cluster at {address}: {one_line(exc)}") \
                    from None
            self.client.register_plugin(_plugin(self.run_id, job))
        except BaseException:
            self.close()
            raise

    def submit(self, ks, done: queue.Queue) -> None:
        ks = list(ks)
        futures = self.client.map(_dask_task, ks, run_id=self.run_id, pure=False,
                                  key=[f"{self.run_id}-{k}" for k in ks])
        for k, future in zip(ks, futures):
            self.futures[k] = future
            future.add_done_callback(lambda f, k=k: done.put((k, f)))

    def result(self, k, future, timeout):
        try:
            return future.result(timeout=timeout)
        finally:
            # Released once fetched: the scheduler forgets the chunk's bytes.
            self.futures.pop(k, None)

    def state(self) -> str:
        try:
            workers = len(self.client.scheduler_info()["workers"])
        except Exception:  # noqa: BLE001 - only a remark in a message
            return ""
        return f" ({workers} connected)"

    def slots(self) -> int:
        """The threads of the connected workers, asked at most every few seconds."""
        if time.monotonic() - self.counted > 5:
            self.counted = time.monotonic()
            with contextlib.suppress(Exception):  # the last count stands meanwhile
                self.threads = sum(self.client.nthreads().values())
        return self.threads

    def close(self) -> None:
        try:
            if self.client is not None:
                with contextlib.suppress(Exception):
                    self.client.cancel(list(self.futures.values()))
                    self.futures.clear()
                    self.client.unregister_worker_plugin(self.run_id)
                self.client.close()
            if self.cluster is not None:
                self.cluster.close()
        finally:
            self.config.__exit__(None, None, None)
            self.scratch.cleanup()


# ---------------------------------------------------------------- the run


class Stalled(ToolError):
    pass


class Progress:
    """A bar over this run's chunks with the running rate on a terminal, else a plain
    line at most every few seconds and at the end. A resumed run counts its own
    chunks and rows; those kept from before are named once, in the first line."""

    def __init__(self, chunks: int, stream=sys.stderr, every: float = 5.0, first: str = ""):
        self.chunks, self.done, self.stream, self.every = chunks, 0, stream, every
        self.rows = 0
        self.start = self.last = time.perf_counter()
        self.bar = None
        if stream is not None and stream.isatty():
            from tqdm import tqdm

            self.bar = tqdm(total=chunks, unit="chunk", file=stream, dynamic_ncols=True)
        if first:
            self.note(first)

    def update(self, stats: Stats) -> None:
        self.done += 1
        self.rows += stats.rows
        now = time.perf_counter()
        rate = self.rows / max(now - self.start, 1e-9)
        if self.bar is not None:
            self.bar.set_postfix_str(f"{rate:,.0f} configurations/s", refresh=False)
            self.bar.update(1)
        elif self.stream is not None and (now - self.last >= self.every
                                          or self.done == self.chunks):
            self.last = now
            self.note(f"chunk {self.done:,}/{self.chunks:,}, {self.rows:,} configurations, "
                      f"{rate:,.0f} configurations/s")

    def note(self, line: str) -> None:
        if self.bar is not None:
            self.bar.write(f"{PROG}: {line}", file=self.stream)
        elif self.stream is not None:
            print(f"{PROG}: {line}", file=self.stream, flush=True)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
            self.bar = None


@dataclasses.dataclass
class Summary:
    stats: Stats  # summed over the chunks labelled by this run
    startup: float  # seconds until the engine was up (a cluster's start and connection)
    labelling: float  # seconds from then until the last chunk was written
    rows: int = 0  # in the table, with those of a resumed run
    colliding: int = 0
    bytes: int = 0
    out: pathlib.Path | None = None
    kept: int = 0  # rows kept from the run resumed


def partial_folder(out: pathlib.Path) -> pathlib.Path:
    return out.with_name(f".{out.name}.partial")


class Partial:
    """The hidden folder a run writes its chunks into, locked while the run lives."""

    def __init__(self, out: pathlib.Path, meta: dict, chunks: int, resume: bool):
        self.folder = partial_folder(out)
        self.chunks, self.done, self.meta = chunks, {}, meta
        self.fd = None
        self.guard, self.closed = threading.Lock(), False
        self.owned = False  # whether a failure from now on removes the folder
        exists = self.folder.exists()
        if exists and not self.folder.is_dir():
            raise ToolError(f"{self.folder} is in the way of the run's partial folder; remove it")
        if exists:
            self._lock()
            stored = self._stored()
            if not resume:
                self._unlock()
                kept = sum(1 for p in self.folder.glob("part-*.parquet"))
                raise ToolError(f"a run that did not finish left {self.folder} ({kept} chunks "
                                "written): continue it with --resume, or remove it")
            differ = sorted(key for key in set(stored) | set(meta)
                            if stored.get(key) != meta.get(key))
            if differ:
                self._unlock()
                raise ToolError(f"--resume: {self.folder} was made with other "
                                f"{', '.join(differ)}; remove it to start afresh")
            self.done = self._whole_parts()
        elif resume:
            raise ToolError(f"--resume: no partial run at {self.folder}")

    def start(self) -> None:
        """Once the engine is up: the folder is this run's (a new one is made)."""
        if self.fd is None:
            self.folder.mkdir()
            self._lock()
            (self.folder / RUN_FILE).write_text(json.dumps(self.meta, sort_keys=True))
        self.owned = True

    def _lock(self) -> None:
        self.fd = os.open(self.folder / LOCK_FILE, os.O_RDWR | os.O_CREAT, 0o644)
        try:
            fcntl.flock(self.fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            self._unlock()
            raise ToolError(f"another run is writing {self.folder} now") from None

    def _unlock(self) -> None:
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None

    def _stored(self) -> dict:
        try:
            return json.loads((self.folder / RUN_FILE).read_text())
        except (OSError, ValueError):
            self._unlock()
            raise ToolError(f"{self.folder} is not a partial run of talvex label "
                            "(no readable run.json); remove it") from None

    def _whole_parts(self) -> dict[int, tuple[int, int]]:
        """Chunk -> (rows, colliding) of every whole file; a file half-written when the
        run was killed (under its temporary name) is dropped."""
        import pyarrow.compute as pc
        import pyarrow.parquet as pq

        have = {}
        for path in self.folder.iterdir():
            k = self._chunk_of(path.name)
            if k is None:
                if path.name.startswith(".part-"):
                    path.unlink(missing_ok=True)
                continue
            try:
                hits = pq.read_table(path, columns=["self_collision"])["self_collision"]
            except (OSError, ValueError):
                path.unlink(missing_ok=True)  # drawn and labelled again
                continue
            have[k] = (len(hits), int(pc.sum(hits).as_py() or 0))
        return have

    def _chunk_of(self, name: str) -> int | None:
        """The chunk whose file is named name (parsed: a table of every chunk's name
        would grow with --count)."""
        found = re.fullmatch(r"part-(\d+)\.parquet", name)
        if found is None:
            return None
        k = int(found[1])
        return k if k < self.chunks and labels.part_name(k, self.chunks) == name else None

    def write(self, k: int, data: bytes) -> None:
        """Chunk k's file, whole or not at all; from any thread, but never once the
        folder is being removed or published (a thread still labelling after Ctrl-C
        must not leave a file behind)."""
        final = self.folder / labels.part_name(k, self.chunks)
        temporary = self.folder / f".{final.name}.{uuid.uuid4().hex[:8]}"
        with self.guard:
            if self.closed:
                return
            temporary.write_bytes(data)
            temporary.replace(final)

    def publish(self, out: pathlib.Path) -> None:
        """Make the folder --out, in one rename (an existing --out, empty or --force'd,
        is moved aside first and removed after)."""
        with self.guard:
            self.closed = True
        (self.folder / RUN_FILE).unlink()
        (self.folder / LOCK_FILE).unlink()
        old = None
        if out.exists():
            old = out.with_name(f".{out.name}.old-{uuid.uuid4().hex[:8]}")
            out.rename(old)
        self.folder.rename(out)
        self._unlock()
        if old is not None:
            shutil.rmtree(old, ignore_errors=True) if old.is_dir() else old.unlink()

    def keep(self) -> int:
        """Stop writing and leave the folder for --resume; the count of whole chunk
        files in it (a thread may have written one the main thread has not counted)."""
        with self.guard:
            self.closed = True
        self._unlock()
        return sum(1 for p in self.folder.glob("part-*.parquet")
                   if self._chunk_of(p.name) is not None)

    def remove(self) -> None:
        with self.guard:
            self.closed = True
            shutil.rmtree(self.folder, ignore_errors=True)
        self._unlock()

    def release(self) -> None:
        self._unlock()


def prepare(args: argparse.Namespace, stream=sys.stderr):
    """Everything checked before work: files, the robot, frames, locks, metadata; the
    job, the private copy of the robot's files, the metadata and the built robot."""
    from importlib.metadata import version

    files = options.robot_files(args)
    warning = coverage_warning(files)
    if warning and stream is not None:
        print(f"{PROG}: {warning}", file=stream)
    bundle = Bundle.collect(files.urdf, files.srdf, files.package_dir)
    copy = PrivateCopy(bundle)
    try:
        built = dataclasses.replace(files, urdf=pathlib.Path(copy.urdf),
                                    srdf=copy.srdf and pathlib.Path(copy.srdf),
                                    package_dir=pathlib.Path(copy.package_dir))
        try:
            robot = built.build()
        except ToolError as exc:
            raise ToolError(copy.shown(str(exc))) from None
        frames = list(dict.fromkeys(args.frame))  # a frame named twice is stored once
        neutral = robot.neutral_configuration()
        known = robot.frame_names()
        for frame in frames:
            if frame not in known and frame != "universe":
                raise ToolError(options.not_found("--frame", frame, "frame", known))
            try:
                robot.forward_kinematics(neutral, frame)
            except (RuntimeError, ValueError) as exc:
                raise ToolError(f"--frame {frame}: {one_line(exc)}") from None
        layout = sampling.layout(robot, files.urdf)
        locks = options.locks(args, layout)
        joints = [(j.name, j.kind, j.start, j.count) for j in layout]
        drawn = sampling.drawn_within(layout, robot.lower_position_limits(),
                                      robot.upper_position_limits())
        meta = labels.metadata(
            robot=robot, name=files.name, joints=joints, drawn=drawn, frames=frames,
            margin=files.margin,
            package_dir=str(files.package_dir), files=bundle.describe(), seed=args.seed,
            count=args.count, chunk_size=args.chunk_size, locks=locks,
            version=version("talvex"))
        job = Job(bundle=bundle, margin=files.margin, seed=args.seed, count=args.count,
                  chunk_size=args.chunk_size, frames=frames, layout=layout,
                  lower=robot.lower_position_limits(), upper=robot.upper_position_limits(),
                  locks=locks, schema_metadata=labels.encode(meta), version=meta["talvex_version"])
        return job, copy, meta, robot
    except BaseException:
        copy.close()
        raise


# ---------------------------------------------------------------- estimates


@dataclasses.dataclass
class Estimate:
    """What the rows still to label will take: bytes on disk and seconds of work."""

    rows: int
    chunks: int
    row_bytes: float  # what a row's columns (q, the collision flag, the poses) add to a file
    file_bytes: int  # what each file adds: its schema and the run's metadata
    row_seconds: float = math.nan  # collision test, poses and Parquet, on one thread
    timed: int = 0  # rows that row_seconds was timed on

    @property
    def bytes(self) -> int:
        return math.ceil(self.rows * self.row_bytes + self.chunks * self.file_bytes)

    def seconds(self, parallel: int) -> float:
        # No worker connected yet: no telling.
        return self.rows * self.row_seconds / parallel if parallel > 0 else math.nan


def estimate_of(job: Job, robot, rows: int, chunks: int) -> Estimate:
    """Time the real work on a few hundred rows (fewer on a slow robot) of draws of
    their own, on this thread, and size their file; the table is not touched."""
    q = sampling.sample(job.layout, job.lower, job.upper, np.random.default_rng(job.seed),
                        min(SAMPLE_ROWS, job.count), locks=job.locks or None)
    hits = np.zeros(len(q), dtype=bool)
    poses = {f: np.zeros((len(q), 16)) for f in job.frames}

    def file_bytes(m):
        table = labels.chunk_table(q[:m], hits[:m], {f: p[:m] for f, p in poses.items()},
                                   job.schema_metadata)
        return len(labels.chunk_bytes(table))

    file_bytes(len(q))  # pyarrow's import and first write are slow: outside the timing
    start = time.perf_counter()
    for n, row in enumerate(q, 1):
        hits[n - 1] = robot.has_self_collision(row)
        for frame in job.frames:
            poses[frame][n - 1] = robot.forward_kinematics(row, frame).ravel()
        if time.perf_counter() - start > SAMPLE_SECONDS:
            break
    whole = file_bytes(n)
    seconds = (time.perf_counter() - start) / n
    # What a row adds to a file, and what each file costs whatever its rows (its
    # schema, the run's metadata); the columns' own size when one row was timed.
    one = file_bytes(1)
    row_bytes = (whole - one) / (n - 1) if n > 1 else 8 * robot.nq() + 128 * len(job.frames)
    return Estimate(rows, chunks, row_bytes, max(math.ceil(one - row_bytes), 0), seconds, n)


def check_space(out: pathlib.Path, estimate: Estimate, ignore: bool) -> None:
    """Refuse a table that cannot fit where it is written (the partial folder is
    beside --out, on the same file system)."""
    parent = out.parent
    while not parent.exists():
        parent = parent.parent
    free = shutil.disk_usage(parent).free
    if estimate.bytes > free and not ignore:
        raise ToolError(
            f"--out {out}: the table needs about {size_text(estimate.bytes)} "
            f"({estimate.rows:,} configurations at {estimate.row_bytes:,.0f} bytes), more "
            f"than the {size_text(free)} free in {parent} (--ignore-space runs anyway)")


def duration_text(seconds: float) -> str:
    if not math.isfinite(seconds):
        return "an unknown time"
    for unit, length in (("days", 86400), ("h", 3600), ("min", 60)):
        if seconds >= 2 * length:
            return f"{seconds / length:,.1f} {unit}"
    return f"{seconds:.0f} s" if seconds >= 1 else "under a second"


def estimate_line(estimate: Estimate, parallel: int, unit: str, kept: int, chunks: int) -> str:
    line = (f"about {size_text(estimate.bytes)} and {duration_text(estimate.seconds(parallel))} "
            f"for {estimate.rows:,} configurations ({estimate.row_bytes:,.0f} bytes and "
            f"{estimate.row_seconds * 1e6:,.1f} us each, timed on {estimate.timed}; "
            f"{parallel} {unit}{'' if parallel == 1 else 's'} at once)")
    if kept:
        line = f"resuming: {kept:,} of {chunks:,} chunks kept from before; {line}"
    return line


def resume_command(args: argparse.Namespace) -> str:
    """The command that continues this run: the one typed, with --resume."""
    argv = getattr(args, "argv", None)
    if argv is None:
        return "the same command with --resume"
    argv = [a for a in argv if a != "--resume"]
    return shlex.join(["talvex", "label", *argv, "--resume"])


# ---------------------------------------------------------------- the run


@contextlib.contextmanager
def interrupts_held():
    """Ctrl-C and SIGTERM ignored while a stopped run cleans up: pressed again (or sent
    twice, as `timeout` does, to the process and then to its group) they would cut
    the clean-up short."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = {s: signal.signal(s, signal.SIG_IGN) for s in (signal.SIGINT, signal.SIGTERM)}
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)


def label(args: argparse.Namespace, stream=sys.stderr) -> Summary:
    """Label as the arguments say and publish the output folder."""
    out = options.check_out(args)
    job, copy, meta, robot = prepare(args, stream)
    engine = partial = progress = None
    held = contextlib.ExitStack()  # holds signals off from a failure to the end of clean-up
    try:
        partial = Partial(out, meta, job.chunks, args.resume)
        kept_rows = sum(r for r, _ in partial.done.values())
        estimate = estimate_of(job, robot, job.count - kept_rows,
                               job.chunks - len(partial.done))
        check_space(out, estimate, args.ignore_space)
        del robot  # the workers build their own
        begin = time.perf_counter()
        if args.threads is not None or (args.local_cluster is None and args.cluster is None):
            engine = Threads(job, copy, args.threads or options.cores())
            parallel, unit = min(engine.slots(), options.cores()), "thread"
        else:
            engine = Cluster(job, args.local_cluster, args.cluster, args.connect_timeout)
            parallel = engine.slots()
            if args.local_cluster is not None:
                parallel = min(args.local_cluster, options.cores())
            unit = "worker" if args.local_cluster is not None else "worker thread"
        ready = time.perf_counter()
        partial.start()
        engine.partial = partial
        progress = Progress(estimate.chunks, stream, first=estimate_line(
            estimate, parallel, unit, len(partial.done), job.chunks))
        total = Stats()
        wait(engine, job.chunks, partial, progress, total, args.stall_timeout)
        end = time.perf_counter()
        progress.close()
        # Every chunk of the table, those of a resumed run included.
        rows = sum(r for r, _ in partial.done.values())
        colliding = sum(c for _, c in partial.done.values())
        engine.close()
        engine = None
        partial.publish(out)
        size = sum(p.stat().st_size for p in out.iterdir())
        return Summary(total, ready - begin, end - ready, rows, colliding, size, out, kept_rows)
    except Stalled:
        if progress is not None:
            progress.close()
        if partial is not None:
            partial.release()  # kept for --resume, as the message says
        raise
    except KeyboardInterrupt as exc:
        # Ctrl-C or SIGTERM: what is written stays, for --resume.
        held.enter_context(interrupts_held())
        if progress is not None:
            progress.close()
        if engine is not None:
            engine.close()
            engine = None
        stop = interrupted_as(exc)
        if partial is not None and partial.folder.is_dir():
            kept = partial.keep()
            stop = stop.with_note(f"{kept:,} of {job.chunks:,} chunks kept in "
                                  f"{partial.folder}; continue with: {resume_command(args)}")
        raise stop from None
    except BaseException:
        held.enter_context(interrupts_held())
        if progress is not None:
            progress.close()
        if engine is not None:
            engine.close()
            engine = None
        if partial is not None:
            # Before the engine was up nothing was written: a resumable folder stays.
            if partial.owned:
                partial.remove()
            else:
                partial.release()
        raise
    finally:
        with held:
            if engine is not None:
                engine.close()
            copy.close()


def wait(engine, chunks, partial, progress, total, stall):
    """Run the chunks not yet done, write each as it comes, and fail when none ends
    for `stall` s. The engine holds a few chunks per worker thread at a time, handed
    over as others end: a list of every chunk would grow with --count."""
    import concurrent.futures

    done: queue.Queue = queue.Queue()
    todo = (k for k in range(chunks) if k not in partial.done)
    pending = set()

    def refill():
        room = 2 * engine.slots() + 2 - len(pending)
        more = list(itertools.islice(todo, max(room, 0)))
        if more:
            pending.update(more)
            engine.submit(more, done)

    refill()
    note_after = min(30.0, stall / 3)
    last = time.monotonic()
    noted = False
    while pending:
        try:
            k, future = done.get(timeout=min(1.0, note_after))
        except queue.Empty:
            refill()  # workers may have joined a cluster
            idle = time.monotonic() - last
            if idle >= stall:
                raise Stalled(
                    f"no chunk finished in {stall:g} s (--stall-timeout): the workers make no "
                    f"progress; {len(partial.done)} of {partial.chunks} chunks are kept in "
                    f"{partial.folder}, --resume continues the run") from None
            if idle >= note_after and not noted:
                noted = True
                progress.note(f"no chunk finished for {idle:.0f} s; waiting for the workers"
                              f"{engine.state()} (failing after {stall:g} s, --stall-timeout)")
            continue
        if k not in pending:
            continue
        try:
            _, stats, data = engine.result(k, future, timeout=stall)
        except (TimeoutError, concurrent.futures.TimeoutError):
            raise Stalled(f"chunk {k} finished but its result did not arrive in {stall:g} s "
                          f"(--stall-timeout); {partial.folder} is kept, --resume continues "
                          "the run") from None
        except ToolError as exc:
            raise ToolError(f"chunk {k} failed: {exc}") from None
        except MemoryError:
            raise ToolError(f"chunk {k} ran out of memory; a smaller --chunk-size needs less")\
                from None
        except KeyboardInterrupt:
            raise
        except Exception as exc:  # a worker's failure, as distributed hands it over
            name = type(exc).__name__
            if name == "KilledWorker":
                raise ToolError(f"chunk {k} was lost with its worker again and again (out of "
                                "memory, or killed?); giving up") from None
            raise ToolError(f"chunk {k} failed: {name}: {one_line(exc)}") from None
        if data is not None:  # a worker's chunk, as bytes
            start = time.perf_counter()
            partial.write(k, data)
            stats.write += time.perf_counter() - start
        pending.discard(k)
        partial.done[k] = (stats.rows, stats.colliding)
        total.add(stats)
        progress.update(stats)
        refill()
        last = time.monotonic()
        noted = False


def summary_line(summary: Summary) -> str:
    share = 100.0 * summary.colliding / max(summary.rows, 1)
    seconds = summary.startup + summary.labelling
    # The rate is this run's own: rows kept from a resumed run took none of its time.
    rate = summary.stats.rows / max(summary.labelling, 1e-9)
    rows = f"{summary.rows:,} configurations"
    if summary.kept:
        rows += f" ({summary.stats.rows:,} labelled now, {summary.kept:,} kept from before)"
    return (f"{rows}, {share:.2f} % colliding, in {summary.out} "
            f"({size_text(summary.bytes)}), {seconds:,.1f} s, {rate:,.0f} configurations/s")


def size_text(count: int) -> str:
    for unit in ("bytes", "kB", "MB", "GB", "TB"):
        if count < 1000 or unit == "TB":
            return f"{count:,} {unit}" if unit == "bytes" else f"{count:,.1f} {unit}"
        count /= 1000
    raise AssertionError("unreachable")


def run(args: argparse.Namespace) -> int:
    summary = label(args, sys.stderr)  # the stream of now, not of import time
    print(f"{PROG}: {summary_line(summary)}")
    return 0
