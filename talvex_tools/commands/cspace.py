"""Draw a robot's self-collision map over two joints, every other joint held still.

    talvex cspace URDF [--srdf SRDF] --joints A B [--base neutral|mid]
                  [--lock NAME=VALUE ...] [--resolution R] [--threads K] [--plain]
                  --out PNG|NPZ [--force]

The map covers each joint's range (a continuous joint: one turn) in R x R cells, each
tested by talvex at its centre on every core. The other joints sit at the base
configuration: "neutral", the neutral one with each coordinate on or beyond a bound
moved 1 % of its range inside it, or "mid", the middle of the limits; --lock puts
chosen joints elsewhere.

A colliding cell is coloured by the link pair in collision there, found through
Pinocchio's own bindings (pin); where several pairs collide, the cell takes the
colour of the one that collides in most cells of the map. The legend names the pairs
that colour the most cells; the rest are "other". --plain skips this pass and draws
every colliding cell dark.

Each cell is at least one pixel square of the image: the image grows with R, up to
R = 2000.
"""

import argparse
import math
import sys
import time

import numpy as np

from talvex_tools import options, sampling
from talvex_tools.errors import ToolError
from talvex_tools.pairs import PairModel, progress
from talvex_tools.robot import PerThread, coverage_warning, thread_pool

SUMMARY = "draw the self-collision map over two joints, coloured by the pair in collision"
REQUIRES = ("matplotlib", "pinocchio")

# Cells along each axis at most: the image is then 2000 pixels square, 4 M cells.
MAX_RESOLUTION = 2000
# A map with fewer cells is drawn with square blocks of pixels per cell, to about this
# many pixels across.
PLOT_PIXELS = 480
# The legend names this many pairs at most; the others are drawn as "other".
LEGEND_PAIRS = 6
# A map with this share of its cells in collision, or clear, is "all one colour".
ONE_COLOUR = 0.98
UNITS = {"revolute": "rad", "prismatic": "m", "continuous": "rad"}
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
                        help="draw colliding cells dark instead of by pair (no pass through "
                        "Pinocchio)")
    options.add_out_argument(parser, suffixes=(".png", ".npz"), kind="file",
                             help="the image to write (.png), or the cells as NumPy arrays "
                             "(.npz: collides, pair, pairs, x, y)")


class Axis:
    """A joint the map sweeps: its coordinate(s) in q and its range."""

    def __init__(self, joint):
        self.name, self.kind, self.start = joint.name, joint.kind, joint.start
        if joint.kind == "continuous":
            self.lo, self.hi = -math.pi, math.pi
        elif joint.kind in ("revolute", "prismatic"):
            self.lo, self.hi = joint.lower[0], joint.upper[0]
            if not (np.isfinite(self.lo) and np.isfinite(self.hi)
                    and abs(self.lo) <= sampling.UNBOUNDED
                    and abs(self.hi) <= sampling.UNBOUNDED):
                raise ToolError(f"joint {joint.name!r} has no finite limits to map")
        else:
            raise ToolError(f"joint {joint.name!r} is {joint.kind}; the map sweeps joints of "
                            "one coordinate (revolute, prismatic, continuous)")

    def centres(self, n):
        return self.lo + (np.arange(n) + 0.5) * (self.hi - self.lo) / n

    def set(self, q, value):
        if self.kind == "continuous":
            q[self.start], q[self.start + 1] = math.cos(value), math.sin(value)
        else:
            q[self.start] = value

    @property
    def label(self):
        return f"{self.name} ({UNITS[self.kind]})"


def axes(layout, names):
    if names[0] == names[1]:
        raise ToolError(f"--joints needs two different joints, not {names[0]} twice")
    by_name = {joint.name: joint for joint in layout}
    for name in names:
        if name not in by_name:
            raise ToolError(f"no joint named {name!r}; joints: "
                            f"{', '.join(j.name for j in layout)}")
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


def collision_map(files, base, x, y, n, threads, bar):
    """grid[i, j]: the robot collides with x at its j-th centre and y at its i-th."""
    models = PerThread(files.build)
    xs, ys = x.centres(n), y.centres(n)

    def row(i):
        robot, q = models.get(), base.copy()
        y.set(q, ys[i])
        out = np.empty(n, dtype=bool)
        for j, value in enumerate(xs):
            x.set(q, value)
            out[j] = robot.has_self_collision(q)
        return out

    grid = np.empty((n, n), dtype=bool)
    with thread_pool(threads) as pool:
        for i, values in enumerate(pool.map(row, range(n))):
            grid[i] = values
            bar.update(1)
    return grid


def pair_map(files, base, x, y, grid, bar):
    """The link pair that colours each cell (-1: clear or no pair found), the pairs'
    names, and the pairs in collision in nearly every cell (ONE_COLOUR of them)."""
    n = len(grid)
    model = PairModel(files)
    moved = model.moved_by([x.name, y.name])
    # A pair the two joints do not move relative to each other collides in every cell
    # or in none: once, at the base.
    model.restrict(~moved)
    constant = np.flatnonzero(model.collisions(base))
    cells = np.argwhere(grid)
    # Each cell keeps the number of its set of pairs: few sets recur over a map, and a
    # list of arrays, one per cell, would take hundreds of bytes a cell.
    sets, of_cell = {}, np.zeros(len(cells), dtype=np.int32)
    if constant.size:
        sets[tuple(constant)] = 0
        bar.update(len(cells))
    else:
        model.restrict(moved)
        xs, ys = x.centres(n), y.centres(n)
        q = base.copy()
        for c, (i, j) in enumerate(cells):
            y.set(q, ys[i])
            x.set(q, xs[j])
            of_cell[c] = sets.setdefault(tuple(np.flatnonzero(model.collisions(q))), len(sets))
            bar.update(1)
    cells_of_set = np.bincount(of_cell, minlength=len(sets))
    blocked = np.zeros(len(model.pairs), dtype=np.int64)
    for pairs, k in sets.items():
        blocked[list(pairs)] += cells_of_set[k]
    # Rank: most cells first, then talvex's order of the pairs.
    rank = np.empty(len(model.pairs), dtype=np.intp)
    rank[np.lexsort((np.arange(len(model.pairs)), -blocked))] = np.arange(len(model.pairs))
    chosen = np.array([min(pairs, key=rank.__getitem__) if pairs else -1 for pairs in sets],
                      dtype=np.intp)
    colour = np.full(grid.shape, -1, dtype=np.intp)
    colour[cells[:, 0], cells[:, 1]] = chosen[of_cell]
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


def hints(grid, fixed, x, y, base):
    """Lines that say what to change when the map is (almost) all one colour; fixed:
    [(link pair, the joints between its links)] of the pairs in collision in nearly
    every cell."""
    share = grid.mean()
    mid = "--base mid, " if base == "neutral" else ""
    if share >= ONE_COLOUR:
        lines = [f"note: {share:.1%} of the cells collide: the map says little about "
                 f"{x.name} and {y.name}."]
        for (a, b), joints in fixed[:3]:
            others = [j for j in joints if j not in (x.name, y.name)]
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
    files = options.robot_files(args)
    out = options.check_out(args)
    robot = files.build()
    warning = coverage_warning(files)
    if warning:
        print(warning, file=sys.stderr)
    layout = sampling.layout(robot, files.urdf)
    x, y = axes(layout, args.joints)
    held = options.locks(args, layout)
    for axis in (x, y):
        if axis.start in held:
            raise ToolError(f"--lock holds {axis.name}, which the map sweeps (--joints)")
    base = base_configuration(robot, layout, args.base, held)
    n = args.resolution

    start = time.perf_counter()
    with progress(n, "rows", " rows") as bar:
        grid = collision_map(files, base, x, y, n, args.threads, bar)
    seconds = time.perf_counter() - start
    colour, names, fixed = np.full(grid.shape, -1), [], []
    if not args.plain and grid.any():
        with progress(int(grid.sum()), "pairs", " cells") as bar:
            colour, names, fixed = pair_map(files, base, x, y, grid, bar)

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
    print(f"{out}: {grid.mean():.2%} of {n} x {n} cells collide, {seconds:.2f} s; {made}")
    for line in hints(grid, fixed, x, y, args.base):
        print(line)
    return 0
