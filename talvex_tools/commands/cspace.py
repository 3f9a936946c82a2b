"""Draw a robot's self-collision map over two joints, every other joint held still.

    talvex cspace URDF [--srdf SRDF] --joints A B [--base neutral|mid]
                  [--lock NAME=VALUE ...] [--resolution R] [--threads K] [--plain]
                  --out PNG|NPZ [--force]

The map covers each joint's range (a continuous joint: one turn) in R x R cells, each
tested by talvex at its centre on every core. The other joints sit at the base
configuration: "neutral", the neutral one with each coordinate on or beyond a bound
moved 1 % of its range inside it, or "mid", the middle of the limits; --lock puts
chosen joints elsewhere. A mimic joint follows its leader, in the base and across the
map, unless --independent-mimic.

A colliding cell is coloured by the link pair in collision there, by talvex's own
per-pair verdicts; where several pairs collide, the cell takes the colour of the one
that collides in most cells of the map. The legend names the pairs that colour the
most cells; the rest are "other". --plain skips this pass and draws every colliding
cell dark. The time given is the whole run's, both passes.

Each cell is at least one pixel square of the image: the image grows with R, up to
R = 2000.
"""

import argparse
import dataclasses
import math
import pathlib
import sys
import tempfile
import time

import numpy as np

from talvex_tools import batch, mimic, options, pairs, sampling, srdf
from talvex_tools.commands.pairs import add_mimic_argument
from talvex_tools.errors import ToolError
from talvex_tools.pairs import PairModel, progress
from talvex_tools.robot import coverage_warning

SUMMARY = "draw the self-collision map over two joints, coloured by the pair in collision"
REQUIRES = ("matplotlib",)

# Cells along each axis at most: the image is then 2000 pixels square, 4 M cells.
MAX_RESOLUTION = 2000
# A map with fewer cells is drawn with square blocks of pixels per cell, to about this
# many pixels across.
PLOT_PIXELS = 480
# The legend names this many pairs at most; the others are drawn as "other".
LEGEND_PAIRS = 6
# A map with this share of its cells in collision, or clear, is "all one colour".
ONE_COLOUR = 0.98
# Cells per call into the module: the progress bar moves, and Ctrl-C is taken,
# between calls.
CELLS_PER_CALL = 1 << 15
# tab10 without its grey, which "other" uses; white for the clear cells.
PAIR_COLOURS = ["#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b"]
OTHER_COLOUR = "#4d4d4d"
CLEAR_COLOUR = "#ffffff"


def resolution(text):
    value = options.positive_int(text)
    if value > MAX_RESOLUTION:
        raise argparse.ArgumentTypeError(
            f"at most {MAX_RESOLUTION} cells per axis (the image has a pixel per cell at "
            f"least), not {value}")
    return value


def add_arguments(parser):
    options.add_robot_arguments(parser)
    parser.add_argument("--joints", nargs=2, required=True, metavar=("A", "B"),
                        help="the joints of the horizontal and vertical axes")
    parser.add_argument("--base", choices=("neutral", "mid"), default="neutral",
                        help="where the other joints are held (default neutral)")
    options.add_lock_argument(parser)
    parser.add_argument("--resolution", type=resolution, default=200,
                        help=f"cells along each axis (default 200, at most {MAX_RESOLUTION})")
    parser.add_argument("--threads", type=options.positive_int, default=options.cores(),
                        help="threads, one model each (default: every core)")
    parser.add_argument("--plain", action="store_true",
                        help="draw colliding cells dark instead of by pair (no per-pair pass)")
    add_mimic_argument(parser)
    options.add_out_argument(parser, suffixes=(".png", ".npz"), kind="file",
                             help="the image to write (.png), or the cells as NumPy arrays "
                             "(.npz: collides, pair, pairs, x, y)")


class Axis:
    """A joint the map sweeps: its coordinate(s) in q and its range."""

    def __init__(self, joint):
        self.name, self.start = joint["name"], joint["q_start"]
        roles = joint["coordinates"]
        self.turn = roles == ["cos", "sin"]
        if self.turn:
            self.lo, self.hi, self.unit = -math.pi, math.pi, "rad"
        elif len(roles) == 1:
            self.lo, self.hi = joint["lower"][0], joint["upper"][0]
            self.unit = pairs.unit(roles[0])
            if not (np.isfinite(self.lo) and np.isfinite(self.hi)
                    and abs(self.lo) <= sampling.UNBOUNDED
                    and abs(self.hi) <= sampling.UNBOUNDED):
                raise ToolError(f"joint {self.name!r} has no finite limits to map")
        else:
            raise ToolError(f"joint {self.name!r} is {joint['type']}; the map sweeps joints of "
                            "one coordinate (revolute, prismatic, continuous)")

    def centres(self, n):
        return self.lo + (np.arange(n) + 0.5) * (self.hi - self.lo) / n

    def set(self, q, value):
        """Put the joint at value in q, one configuration or rows of them."""
        if self.turn:
            q[..., self.start], q[..., self.start + 1] = np.cos(value), np.sin(value)
        else:
            q[..., self.start] = value

    @property
    def label(self):
        return f"{self.name} ({self.unit})"


def axes(joints, names, independent):
    if names[0] == names[1]:
        raise ToolError(f"--joints needs two different joints, not {names[0]} twice")
    by_name = {joint["name"]: joint for joint in joints}
    for name in names:
        if name not in by_name:
            raise ToolError(f"{options.not_found('--joints', name, 'joint', list(by_name))}; "
                            f"joints: {', '.join(by_name)}")
        leader = by_name[name]["mimic"]
        if leader and not independent:
            raise ToolError(f"{name} mimics {leader['joint']}, which moves it: map "
                            f"{leader['joint']}, or give --independent-mimic")
    return [Axis(by_name[name]) for name in names]


def base_configuration(robot, layout, base, held):
    """The configuration every cell starts from (module docstring), locks applied."""
    q = sampling.inside_neutral(robot)
    if base == "mid":
        for joint in layout:
            if joint.kind in ("revolute", "prismatic"):
                lo, hi = joint.lower[0], joint.upper[0]
                if np.isfinite(lo) and np.isfinite(hi):
                    q[joint.start] = (lo + hi) / 2
    for k, value in held.items():
        q[k] = value
    return q


class Cells:
    """The configurations of the map's cells, made a block at a time: the map of a
    robot of many joints at the largest resolution would not fit in memory at once."""

    def __init__(self, robot, base, x, y, n, independent, held):
        self.base, self.x, self.y, self.n = base, x, y, n
        self.xs, self.ys = x.centres(n), y.centres(n)
        self.joints = None if independent else batch.joint_layout(robot)
        self.held = held
        # The joints the map moves: the two swept and, unless independent, those
        # that mimic them.
        self.swept = [x.name, y.name] + [f[0]["name"] for f in mimic.followers(self.joints or [])
                                         if f[1]["name"] in (x.name, y.name)]

    def at(self, flat):
        """The configurations of the cells of these flat indices (i * n + j)."""
        q = np.repeat(self.base[None, :], len(flat), axis=0)
        self.y.set(q, self.ys[flat // self.n])
        self.x.set(q, self.xs[flat % self.n])
        return q if self.joints is None else mimic.apply(self.joints, q, keep=self.held)


def collision_map(robot, cells, threads, bar):
    """grid[i, j]: the robot collides with x at its j-th centre and y at its i-th."""
    n = cells.n
    rows = max(1, CELLS_PER_CALL // n)
    grid = np.empty((n, n), dtype=bool)
    for i in range(0, n, rows):
        flat = np.arange(i * n, min(n, i + rows) * n)
        grid.flat[flat] = batch.self_collisions(robot, cells.at(flat), threads=threads)
        bar.update(min(rows, n - i))
    return grid


def moved_pairs_only(files, model, moved):
    """The robot of files built to test only the moved pairs, and where each of its
    pairs sits in model.pairs; (None, None) when every pair is moved. The module tests
    every pair it keeps at each cell: the pairs the map cannot change would double
    the pass on a robot whose two joints move half of it."""
    if moved.all():
        return None, None
    off = [(frozenset(p), "cspace") for p, m in zip(model.pairs, moved) if not m]
    if files.srdf is not None:
        off += [(p, "srdf") for p in srdf.disabled_pairs(srdf.read_srdf(files.srdf))]
    with tempfile.TemporaryDirectory(prefix="talvex-cspace-") as folder:
        path = pathlib.Path(folder) / "moved.srdf"
        path.write_text(srdf.new_srdf(files.name, "the pairs a map moves", off),
                        encoding="utf-8")
        robot = dataclasses.replace(files, srdf=path).build()
    index = {pair: k for k, pair in enumerate(model.pairs)}
    return robot, np.array([index[pair] for pair in batch.link_pairs(robot)], dtype=np.intp)


def pair_map(files, robot, cells, grid, threads, bar):
    """The link pair that colours each cell (-1: clear or no pair found), the pairs'
    names, and the pairs in collision in nearly every cell (ONE_COLOUR of them)."""
    model = PairModel(robot, threads)
    moved = model.moved_by(cells.swept)
    # A pair the two joints do not move relative to each other collides in every cell
    # or in none: once, at the base.
    model.restrict(~moved)
    constant = np.flatnonzero(model.collisions(cells.at(np.array([0]))[0]))
    flat = np.flatnonzero(grid)
    # Each cell keeps the number of its set of pairs: few sets recur over a map, and a
    # list of arrays, one per cell, would take hundreds of bytes a cell.
    sets, of_cell = {}, np.zeros(len(flat), dtype=np.int32)
    if constant.size:
        sets[tuple(constant)] = 0
        bar.update(len(flat))
    else:
        model.restrict(moved)
        reduced, columns = moved_pairs_only(files, model, moved)
        for start in range(0, len(flat), CELLS_PER_CALL):
            some = flat[start:start + CELLS_PER_CALL]
            if reduced is None:
                hits = model.verdicts(cells.at(some))
            else:
                hits = np.zeros((len(some), len(model.pairs)), dtype=bool)
                hits[:, columns] = batch.pair_collisions(reduced, cells.at(some),
                                                         threads=threads)
            # The rows packed to bytes and looked up: np.unique over rows of thousands
            # of pairs sorts them, and costs more than the verdicts themselves.
            packed = np.packbits(hits, axis=1)
            known = {}
            for c, row in enumerate(packed):
                key = row.tobytes()
                number = known.get(key)
                if number is None:
                    number = known[key] = sets.setdefault(tuple(np.flatnonzero(hits[c])),
                                                          len(sets))
                of_cell[start + c] = number
            bar.update(len(some))
    cells_of_set = np.bincount(of_cell, minlength=len(sets))
    blocked = np.zeros(len(model.pairs), dtype=np.int64)
    for found, k in sets.items():
        blocked[list(found)] += cells_of_set[k]
    # Rank: most cells first, then talvex's order of the pairs.
    rank = np.empty(len(model.pairs), dtype=np.intp)
    rank[np.lexsort((np.arange(len(model.pairs)), -blocked))] = np.arange(len(model.pairs))
    chosen = np.array([min(found, key=rank.__getitem__) if found else -1 for found in sets],
                      dtype=np.intp)
    colour = np.full(grid.shape, -1, dtype=np.intp)
    colour.flat[flat] = chosen[of_cell]
    everywhere = np.flatnonzero(blocked >= ONE_COLOUR * grid.size)
    fixed = [(model.pairs[k], model.joints_between(*model.pairs[k]))
             for k in everywhere[np.argsort(rank[everywhere])]]
    return colour, model.pairs, fixed


def share_text(share):
    return "<0.1%" if 0 < share < 0.0005 else f"{share:.1%}"


def draw(path, title, grid, colour, names, x, y, plain):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.colors import to_rgb
    from matplotlib.patches import Patch

    n = len(grid)
    cell = max(1, math.ceil(PLOT_PIXELS / n))
    side = n * cell
    left, right, bottom, top = 80, 30, 60, 70
    handles = []
    image = np.empty(grid.shape + (3,))
    image[:] = to_rgb(CLEAR_COLOUR)
    image[grid] = to_rgb(OTHER_COLOUR)
    if not plain:
        counts = np.bincount(colour[colour >= 0], minlength=len(names))
        order = [int(k) for k in np.lexsort((np.arange(len(names)), -counts)) if counts[k] > 0]
        for k, rgb in zip(order, PAIR_COLOURS):
            image[colour == k] = to_rgb(rgb)
            handles.append(Patch(color=rgb, label=f"{' / '.join(names[k])}  "
                                 f"{share_text(counts[k] / grid.size)}"))
        rest = int(grid.sum()) - sum(int(counts[k]) for k in order[:LEGEND_PAIRS])
        if rest:
            handles.append(Patch(color=OTHER_COLOUR,
                                 label=f"other  {share_text(rest / grid.size)}"))
        right = 330 if handles else right
    width, height = left + side + right, bottom + side + top
    fig = plt.figure(figsize=(width / 100, height / 100), dpi=100)
    try:
        ax = fig.add_axes((left / width, bottom / height, side / width, side / height))
        ax.imshow(image, origin="lower", extent=(x.lo, x.hi, y.lo, y.hi), aspect="auto",
                  interpolation="nearest", resample=False)
        ax.set_xlabel(x.label)
        ax.set_ylabel(y.label)
        fig.suptitle(title, fontsize="medium", y=1 - 8 / height, va="top")
        if handles:
            fig.legend(handles=handles, loc="upper left", fontsize="small",
                       bbox_to_anchor=((left + side + 15) / width, 1 - top / height),
                       title="colliding cells by link pair (share of\nall cells); where "
                       "several pairs collide,\nthe one colliding in most cells",
                       title_fontsize="small",
                       alignment="left", frameon=False)
        with options.atomic_write(path) as temp:
            fig.savefig(temp, format="png", dpi=100)
    finally:
        plt.close(fig)
    return width, height


def save_cells(path, grid, colour, names, x, y, base, margin):
    """The map as arrays, for plots of one's own: collides[i, j] and pair[i, j] (an
    index into pairs, -1 for none) at x[j], y[i]."""
    with options.atomic_write(path) as temp:
        with open(temp, "wb") as file:
            np.savez_compressed(
                file, collides=grid, pair=colour,
                pairs=np.array(names, dtype=str).reshape(-1, 2),
                x=x.centres(len(grid)), y=y.centres(len(grid)),
                joints=np.array([x.name, y.name]), base=base, margin=margin)


def hints(grid, fixed, x, y, base, swept):
    """Lines that say what to change when the map is (almost) all one colour; fixed:
    [(link pair, the joints between its links)] of the pairs in collision in nearly
    every cell."""
    share = grid.mean()
    mid = "--base mid, " if base == "neutral" else ""
    if share >= ONE_COLOUR:
        lines = [f"note: {share:.1%} of the cells collide: the map says little about "
                 f"{x.name} and {y.name}."]
        for (a, b), joints in fixed[:3]:
            others = [j for j in joints if j not in swept]
            if len(joints) == 1:
                why = (f"joined by {joints[0]}: links that touch where they are joined belong "
                       "in the SRDF (talvex srdf)")
            elif others:
                why = f"the other joints between them: {', '.join(others)}"
            else:
                why = f"only {x.name} and {y.name} move them"
            lines.append(f"  {a} / {b} collide in nearly every cell; {why}")
        if len(fixed) > 3:
            more = len(fixed) - 3
            lines.append(f"  ... and {more} more pair{'' if more == 1 else 's'}")
        lines.append(f"  try {mid}--lock NAME=VALUE to hold other joints elsewhere, or other "
                     "--joints")
        return lines
    if share <= 1 - ONE_COLOUR:
        what = "no cell collides" if share == 0 else f"only {share:.1%} of the cells collide"
        return [f"note: {what}: {x.name} and {y.name} do not bring links together with the "
                "other joints where they are held.",
                f"  try other --joints, {mid}or --lock NAME=VALUE to hold the other joints "
                "elsewhere"]
    return []


def run(args):
    started = time.perf_counter()
    files = options.robot_files(args)
    out = options.check_out(args)
    robot = files.build()
    warning = coverage_warning(files)
    if warning:
        print(warning, file=sys.stderr)
    layout = pairs.layout(robot)
    joints = batch.joint_layout(robot)
    x, y = axes(joints, args.joints, args.independent_mimic)
    held = options.locks(args, layout)
    for axis in (x, y):
        if axis.start in held:
            raise ToolError(f"--lock holds {axis.name}, which the map sweeps (--joints)")
    base = base_configuration(robot, layout, args.base, held)
    n = args.resolution
    cells = Cells(robot, base, x, y, n, args.independent_mimic, held)

    start = time.perf_counter()
    with progress(n, "rows", " rows") as bar:
        grid = collision_map(robot, cells, args.threads, bar)
    map_s = time.perf_counter() - start
    colour, names, fixed = np.full(grid.shape, -1), [], []
    start = time.perf_counter()
    if not args.plain and grid.any():
        with progress(int(grid.sum()), "pairs", " cells") as bar:
            colour, names, fixed = pair_map(files, robot, cells, grid, args.threads, bar)
    pair_s = time.perf_counter() - start
    seconds = time.perf_counter() - started

    held_text = f", {' '.join(f'{k}={v:g}' for k, v in args.lock)}" if args.lock else ""
    title = (f"{files.name}: self-collision over {x.name} and {y.name}, margin "
             f"{files.margin:g} m\nother joints at {args.base}{held_text}; "
             f"{grid.mean():.1%} of {n} x {n} cells collide; {seconds:.1f} s on "
             f"{args.threads} thread{'' if args.threads == 1 else 's'}")
    if out.suffix.lower() == ".npz":
        save_cells(out, grid, colour, names, x, y, base, files.margin)
        made = "cells saved"
    else:
        width, height = draw(out, title, grid, colour, names, x, y, args.plain)
        made = f"image {width} x {height} px"
    seconds = time.perf_counter() - started
    passes = f"map {map_s:.2f} s" + ("" if args.plain else f", pairs {pair_s:.2f} s")
    print(f"{out}: {grid.mean():.2%} of {n} x {n} cells collide, {seconds:.2f} s ({passes}); "
          f"{made}")
    line = mimic.note(joints, args.independent_mimic)
    if line:
        print(line)
    for line in hints(grid, fixed, x, y, args.base, cells.swept):
        print(line)
    return 0
