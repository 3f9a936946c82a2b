"""Draw a robot's self-collision map over two joints, every other joint held still.

The map covers each joint's range (a continuous joint: one turn) in R x R cells,
each tested at its centre. The other joints sit at the base configuration: the
neutral one moved inside the limits, or the middle of the limits. The cells are
computed on every core, one RobotModel per thread. --lock holds other joints at a value.

example:
  talvex cspace robot.urdf --srdf robot.srdf --joints joint2 joint4 --out build/map.png
"""

import math
import time

import numpy as np

from talvex_tools import options, sampling
from talvex_tools.errors import ToolError as UsageError
from talvex_tools.robot import PerThread, thread_pool

SUMMARY = "draw the self-collision map over two joints, the others held still, as a PNG"
REQUIRES = ("matplotlib",)
UNITS = {"revolute": "rad", "prismatic": "m", "continuous": "rad"}
# A neutral coordinate on or beyond a bound is moved this share of its range inside.
INSET = sampling.INSET


def add_arguments(parser):
    options.add_robot_arguments(parser)
    parser.add_argument("--joints", nargs=2, required=True, metavar=("A", "B"),
                        help="the joints of the horizontal and vertical axes")
    parser.add_argument("--base", choices=("neutral", "mid"), default="neutral",
                        help="where the other joints are held (default neutral)")
    options.add_lock_argument(parser)
    parser.add_argument("--resolution", type=options.positive_int, default=200,
                        help="cells along each axis (default 200)")
    parser.add_argument("--threads", type=options.positive_int, default=options.cores(),
                        help="threads, one model each (default: every core)")
    options.add_out_argument(parser, suffixes=(".png",), kind="file", help="PNG file to write")


def check_args(args):
    if args.joints[0] == args.joints[1]:
        raise UsageError(f"--joints needs two different joints, not {args.joints[0]} twice")
    args.files = options.robot_files(args)
    options.check_out(args)
    return args


def base_configuration(robot, layout, base):
    """The neutral configuration with each revolute or prismatic coordinate moved
    inside its limits ("neutral") or to their middle ("mid"); a rotation (continuous,
    planar, floating) stays at the neutral one."""
    lo, hi = robot.lower_position_limits(), robot.upper_position_limits()
    q = robot.neutral_configuration()
    for joint in layout:
        kind, k = joint.kind, joint.start
        if kind not in ("revolute", "prismatic") or not (np.isfinite(lo[k]) and np.isfinite(hi[k])):
            continue
        if base == "mid":
            q[k] = (lo[k] + hi[k]) / 2
        elif not lo[k] < q[k] < hi[k]:
            inset = INSET * (hi[k] - lo[k])
            q[k] = min(max(q[k], lo[k] + inset), hi[k] - inset)
    return q


def axis(layout, robot, name):
    """(kind, coordinate, cell centres) of a joint the map can sweep."""
    found = [joint for joint in layout if joint.name == name]
    if not found:
        raise UsageError(f"no joint named {name!r}; joints: {', '.join(robot.joint_names())}")
    kind, start = found[0].kind, found[0].start
    if kind == "continuous":
        lo, hi = -math.pi, math.pi
    elif kind in ("revolute", "prismatic"):
        lo, hi = robot.lower_position_limits()[start], robot.upper_position_limits()[start]
    else:
        raise UsageError(f"joint {name!r} is {kind}; the map sweeps one-coordinate joints")
    return kind, start, lo, hi


def set_coordinate(q, kind, start, value):
    if kind == "continuous":
        q[start], q[start + 1] = math.cos(value), math.sin(value)
    else:
        q[start] = value


def collision_map(robot_factory, base, x, y, xs, ys, threads):
    """grid[i, j]: the robot collides with joint x at xs[j] and joint y at ys[i]."""
    models = PerThread(robot_factory)

    def row(i):
        robot, q = models.get(), base.copy()
        set_coordinate(q, *y, ys[i])
        out = np.empty(len(xs), dtype=bool)
        for j, value in enumerate(xs):
            set_coordinate(q, *x, value)
            out[j] = robot.has_self_collision(q)
        return out

    with thread_pool(threads) as pool:
        return np.array(list(pool.map(row, range(len(ys)))))


def centres(lo, hi, n):
    return lo + (np.arange(n) + 0.5) * (hi - lo) / n


def draw(args, robot_name, grid, axes, seconds):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.patches import Rectangle

    (xname, (xkind, _, x0, x1)), (yname, (ykind, _, y0, y1)) = axes
    fig, ax = plt.subplots(figsize=(6.4, 5.6), dpi=100)
    ax.imshow(grid, origin="lower", extent=(x0, x1, y0, y1), cmap="Greys", vmin=0, vmax=1.25,
              aspect="auto", interpolation="nearest")
    limits = Rectangle((x0, y0), x1 - x0, y1 - y0, fill=False, edgecolor="tab:red",
                       linestyle="--", linewidth=1.2, label="joint limits")
    if "continuous" not in (xkind, ykind):
        ax.add_patch(limits)
        ax.legend(loc="upper right", fontsize="small")
    pad_x, pad_y = 0.03 * (x1 - x0), 0.03 * (y1 - y0)
    ax.set_xlim(x0 - pad_x, x1 + pad_x)
    ax.set_ylim(y0 - pad_y, y1 + pad_y)
    ax.set_xlabel(f"{xname} ({UNITS[xkind]})")
    ax.set_ylabel(f"{yname} ({UNITS[ykind]})")
    ax.set_title(
        f"{robot_name}: self-collision (dark), margin {args.margin:g} m\n"
        f"other joints at {args.base}; {grid.mean():.1%} of {grid.size} cells collide; "
        f"{seconds:.1f} s on {args.threads} threads",
        fontsize="medium",
    )
    fig.tight_layout()
    with options.atomic_write(args.out) as temp:
        fig.savefig(temp)
    plt.close(fig)


def run(args):
    compute(check_args(args))
    return 0


def compute(args):
    """The map of checked arguments, drawn to args.out; returns the grid."""
    robot = args.files.build()
    layout = sampling.layout(robot, args.files.urdf)
    axes = [(name, axis(layout, robot, name)) for name in args.joints]
    base = base_configuration(robot, layout, args.base)
    for k, value in options.locks(args, layout).items():
        base[k] = value
    (_, (xk, xs0, x0, x1)), (_, (yk, ys0, y0, y1)) = axes
    start = time.perf_counter()
    grid = collision_map(
        args.files.build,
        base, (xk, xs0), (yk, ys0), centres(x0, x1, args.resolution),
        centres(y0, y1, args.resolution), args.threads,
    )
    seconds = time.perf_counter() - start
    robot_name = args.files.name
    try:
        draw(args, robot_name, grid, axes, seconds)
    except OSError as exc:
        raise UsageError(f"cannot write {args.out}: {exc}") from None
    print(f"{args.out}: {grid.mean():.2%} of {grid.size} cells collide, {seconds:.2f} s")
    return grid

