"""Cost per query of talvex against Pinocchio's own Python bindings and the C++ floor.

Every query is timed on the same configurations three ways:

- talvex: the RobotModel method, as a planner calls it;
- pin-py: the same work through Pinocchio's Python bindings, written the way a
  careful user would (frame id looked up once, bounds fetched once);
- floor: the bare library calls of the query in C++ (bench/floor.cpp), when the
  floor program is given with --floor.

talvex and pin-py are interleaved (A B A B ...) in one process, so drift of a
shared machine hits both alike; each figure is the median of the rounds and
each ratio the median of the per-round ratios. The floor runs in a process of
its own before and after, and the lower of its two figures counts. Thread scaling is measured on
the queries that run without the interpreter lock.

Run from the repository root; see bench/README.md for the commands.
"""

import argparse
import json
import os
import pathlib
import platform
import statistics
import subprocess
import sys
import sysconfig
import threading
import time

import numpy as np
import pinocchio as pin

import talvex

SHARE = pathlib.Path(sysconfig.get_paths()["purelib"]) / "cmeel.prefix" / "share"
ROBOTS_DIR = SHARE / "example-robot-data" / "robots"
MARGIN = 0.005

# name: (urdf, srdf, frame asked for by forward_kinematics)
ROBOTS = {
    "panda": ("panda_description/urdf/panda.urdf", "panda_description/srdf/panda.srdf",
              "panda_hand_tcp"),
    "talos_reduced": ("talos_data/robots/talos_reduced.urdf", "talos_data/srdf/talos.srdf",
                      "arm_left_7_link"),
    "ur5": ("ur_description/urdf/ur5_robot.urdf", "ur_description/srdf/ur5.srdf", "tool0"),
    "romeo": ("romeo_description/urdf/romeo.urdf", "romeo_description/srdf/romeo.srdf",
              "l_wrist"),
}
QUERIES = ("forward_kinematics", "all_frame_transforms", "has_self_collision",
           "in_joint_limits")
# has_self_collision again on the colliding and on the collision-free configurations
# alone: the two cost differently (a colliding one ends at its first hit).
SPLIT = ("has_self_collision colliding", "has_self_collision collision-free")


class Robot:
    """One robot loaded both ways, with the configurations every side is timed on."""

    def __init__(self, name, count, seed):
        urdf, srdf, self.frame = ROBOTS[name]
        self.name = name
        self.urdf, self.srdf = str(ROBOTS_DIR / urdf), str(ROBOTS_DIR / srdf)
        self.tv = self.new_talvex()

        # Pinocchio's bindings, built by the same steps as build_from_urdf.
        self.model = pin.buildModelFromUrdf(self.urdf)
        self.data = self.model.createData()
        self.geom_model = pin.buildGeomFromUrdf(self.model, self.urdf, pin.COLLISION,
                                                package_dirs=[str(SHARE)])
        self.geom_model.addAllCollisionPairs()
        pin.removeCollisionPairs(self.model, self.geom_model, self.srdf)
        self.geom_data = pin.GeometryData(self.geom_model)
        for request in self.geom_data.collisionRequests:
            request.security_margin = MARGIN
        self.frame_id = self.model.getFrameId(self.frame)
        self.lower = self.model.lowerPositionLimit.copy()
        self.upper = self.model.upperPositionLimit.copy()
        # The keys all_frame_transforms reports: every frame but the world.
        self.frame_slots = [(f.name, i) for i, f in enumerate(self.model.frames)
                            if f.name != "universe"]

        # Uniform inside the bounds (a finite stand-in for unbounded ones).
        rng = np.random.default_rng(seed)
        lo = np.maximum(self.lower, -np.pi)
        hi = np.minimum(self.upper, np.pi)
        self.configs = [rng.uniform(lo, hi) for _ in range(count)]

    def new_talvex(self):
        model = talvex.RobotModel()
        model.build_from_urdf(self.urdf, str(SHARE), self.srdf, MARGIN)
        return model

    def check_same_answers(self):
        """Both sides must compute the same thing, or the comparison means nothing."""
        tv, model, data = self.tv, self.model, self.data
        for q in self.configs:
            pin.framesForwardKinematics(model, data, q)
            assert np.allclose(tv.forward_kinematics(q, self.frame),
                               data.oMf[self.frame_id].homogeneous, atol=1e-12)
            assert tv.has_self_collision(q) == pin.computeCollisions(
                model, data, self.geom_model, self.geom_data, q, True)
            assert tv.in_joint_limits(q) == bool(np.all(q > self.lower) and
                                                 np.all(q < self.upper))
        poses = self.tv.all_frame_transforms(self.configs[0])
        assert len(poses) == len({name for name, _ in self.frame_slots})

    def write_configs(self, path):
        with open(path, "w") as out:
            out.write(f"{len(self.configs)} {self.model.nq}\n")
            for q in self.configs:
                out.write(" ".join(repr(float(v)) for v in q) + "\n")

    def sweeps(self):
        """The two sides of every query, each one sweep over all configurations."""
        tv, model, data, configs = self.tv, self.model, self.data, self.configs
        geom_model, geom_data = self.geom_model, self.geom_data
        frame, frame_id, slots = self.frame, self.frame_id, self.frame_slots
        lower, upper = self.lower, self.upper
        fk_tv, all_tv = tv.forward_kinematics, tv.all_frame_transforms
        col_tv, lim_tv = tv.has_self_collision, tv.in_joint_limits
        fk_pin, col_pin, oMf = pin.framesForwardKinematics, pin.computeCollisions, data.oMf

        def fk_talvex():
            for q in configs:
                fk_tv(q, frame)

        def fk_pinpy():
            for q in configs:
                fk_pin(model, data, q)
                oMf[frame_id].homogeneous

        def all_talvex():
            for q in configs:
                all_tv(q)

        def all_pinpy():
            for q in configs:
                fk_pin(model, data, q)
                {name: oMf[i].homogeneous for name, i in slots}

        def col_talvex():
            for q in configs:
                col_tv(q)

        def col_pinpy():
            for q in configs:
                col_pin(model, data, geom_model, geom_data, q, True)

        verdicts = [col_pin(model, data, geom_model, geom_data, q, True) for q in configs]

        def col_sweeps(wanted):
            subset = [q for q, v in zip(configs, verdicts) if v is wanted]

            def col_talvex_subset():
                for q in subset:
                    col_tv(q)

            def col_pinpy_subset():
                for q in subset:
                    col_pin(model, data, geom_model, geom_data, q, True)

            return (col_talvex_subset, col_pinpy_subset, len(subset)) if subset else None

        def lim_talvex():
            for q in configs:
                lim_tv(q)

        def lim_pinpy():
            for q in configs:
                bool(np.all(q > lower) and np.all(q < upper))

        sweeps = {
            "forward_kinematics": (fk_talvex, fk_pinpy, len(configs)),
            "all_frame_transforms": (all_talvex, all_pinpy, len(configs)),
            "has_self_collision": (col_talvex, col_pinpy, len(configs)),
            "in_joint_limits": (lim_talvex, lim_pinpy, len(configs)),
        }
        for name, wanted in zip(SPLIT, (True, False)):
            split = col_sweeps(wanted)
            if split:
                sweeps[name] = split
        return sweeps


def ns_per_call(sweep, calls, repeat):
    start = time.perf_counter_ns()
    for _ in range(repeat):
        sweep()
    return (time.perf_counter_ns() - start) / (repeat * calls)


def time_interleaved(robot, rounds, target_ms):
    """Median ns per call of each side, and the median of the per-round ratios."""
    results = {}
    for query, (a, b, calls) in robot.sweeps().items():
        a(), b()  # warm up
        # Enough sweeps that one sample lasts about target_ms on the slower side.
        once = max(ns_per_call(a, calls, 1), ns_per_call(b, calls, 1)) * calls
        repeat = max(1, int(target_ms * 1e6 / once))
        tv, py = [], []
        for _ in range(rounds):
            tv.append(ns_per_call(a, calls, repeat))
            py.append(ns_per_call(b, calls, repeat))
        results[query] = {
            "talvex": statistics.median(tv),
            "pin_py": statistics.median(py),
            "talvex_over_pin_py": statistics.median(x / y for x, y in zip(tv, py)),
        }
    return results


def run_floor(floor, robot, configs_path, rounds):
    out = subprocess.run(
        [floor, robot.urdf, str(SHARE), robot.srdf, robot.frame, repr(MARGIN),
         str(configs_path), str(rounds)],
        check=True, capture_output=True, text=True).stdout
    return {name: float(value) for name, value in (line.split() for line in out.splitlines())}


def throughput(models, configs, calls, query, frame):
    """Calls per second of len(models) threads, each calling calls times on its model."""
    barrier = threading.Barrier(len(models) + 1)
    args = (frame,) if query == "forward_kinematics" else ()

    def work(model):
        method = getattr(model, query)
        barrier.wait()
        n = len(configs)
        for k in range(calls):
            method(configs[k % n], *args)

    threads = [threading.Thread(target=work, args=(m,)) for m in models]
    for t in threads:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    for t in threads:
        t.join()
    return len(models) * calls / (time.perf_counter() - start)


def thread_scaling(robot, rounds, calls):
    """Throughput of 2 threads (own objects; one shared object) over 1 thread."""
    own = [robot.tv, robot.new_talvex()]
    results = {}
    for query in ("has_self_collision", "forward_kinematics", "all_frame_transforms"):
        one, separate, shared = [], [], []
        throughput(own[:1], robot.configs, calls // 10, query, robot.frame)  # warm up
        for _ in range(rounds):
            one.append(throughput(own[:1], robot.configs, calls, query, robot.frame))
            separate.append(throughput(own, robot.configs, calls, query, robot.frame))
            shared.append(throughput([own[0], own[0]], robot.configs, calls, query, robot.frame))
        results[query] = {
            "one_thread_calls_per_s": statistics.median(one),
            "two_separate_over_one": statistics.median(s / o for s, o in zip(separate, one)),
            "two_shared_over_one": statistics.median(s / o for s, o in zip(shared, one)),
        }
    return results


def versions():
    def dist(name):
        from importlib import metadata
        try:
            return metadata.version(name)
        except metadata.PackageNotFoundError:
            return "absent"

    cpu = ""
    try:
        cpu = next(line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                   if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return {
        "cpu": cpu, "cores": os.cpu_count(), "platform": platform.platform(),
        "python": platform.python_version(), "numpy": np.__version__,
        "pin": dist("pin"), "libpinocchio": dist("libpinocchio"), "libcoal": dist("libcoal"),
        "pybind11": dist("pybind11"), "talvex": dist("talvex"),
        "example-robot-data": dist("example-robot-data"), "talvex_module": talvex.__file__,
        "load_average_before": os.getloadavg(),
    }


def plot(results, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    robots = list(results["robots"])
    fig, axes = plt.subplots(1, len(QUERIES), figsize=(4 * len(QUERIES), 4))
    sides = [("floor", "C++ floor"), ("talvex", "talvex"), ("pin_py", "pin-py")]
    width = 0.8 / len(sides)
    for ax, query in zip(axes, QUERIES):
        lowest = np.inf
        for k, (key, label) in enumerate(sides):
            values = [results["robots"][r]["queries"][query].get(key, np.nan) for r in robots]
            bars = ax.bar(np.arange(len(robots)) + (k - 1) * width, values, width, label=label)
            ax.bar_label(bars, labels=[f"{v:.0f}" for v in values], fontsize=6, rotation=90,
                         padding=2)
            lowest = np.nanmin([lowest, *values])
        ax.set_title(query)
        ax.set_xticks(np.arange(len(robots)), robots, rotation=15)
        ax.set_yscale("log")
        # Bars start well below the smallest value, so every bar shows its height.
        ax.set_ylim(bottom=lowest / 4, top=ax.get_ylim()[1] * 3)
        ax.set_ylabel("ns per call (log scale)")
        ax.grid(axis="y", which="both", alpha=0.3)
    axes[0].legend()
    fig.suptitle("Cost per call, lower is better")
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def table(results):
    lines = ["| robot | query | floor ns | talvex ns | pin-py ns | talvex/pin-py | "
             "talvex/floor | talvex - floor ns |",
             "|---|---|---:|---:|---:|---:|---:|---:|"]
    for name, robot in results["robots"].items():
        for query in QUERIES + SPLIT:
            if query not in robot["queries"]:
                continue
            r = robot["queries"][query]
            floor = r.get("floor")
            fmt = (lambda v: f"{v:.0f}") if floor is not None else (lambda v: "-")
            lines.append(
                f"| {name} | {query} | {fmt(floor or 0)} | {r['talvex']:.0f} | "
                f"{r['pin_py']:.0f} | {r['talvex_over_pin_py']:.2f} | "
                + (f"{r['talvex'] / floor:.2f} | {r['talvex'] - floor:.0f} |"
                   if floor else "- | - |"))
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--floor", help="path of the talvex_floor program")
    parser.add_argument("--robots", nargs="+", default=list(ROBOTS), choices=list(ROBOTS))
    parser.add_argument("--configs", type=int, default=100, help="configurations per robot")
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--sample-ms", type=float, default=20.0,
                        help="length of one timed sample")
    parser.add_argument("--thread-calls", type=int, default=20000)
    parser.add_argument("--out", default="build/bench-out", help="directory for JSON, configs, plot")
    parser.add_argument("--plot", help="PNG file for the plot (default: OUT/benchmarks.png)")
    args = parser.parse_args()

    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    results = {"machine": versions(), "configs_per_robot": args.configs,
               "rounds": args.rounds, "robots": {}}

    for name in args.robots:
        robot = Robot(name, args.configs, seed=0)
        robot.check_same_answers()
        configs_path = out / f"configs_{name}.txt"
        robot.write_configs(configs_path)
        entry = {"nq": robot.model.nq, "frames": len(robot.model.frames),
                 "collision_pairs": len(robot.geom_model.collisionPairs),
                 "colliding_configs": sum(robot.tv.has_self_collision(q)
                                          for q in robot.configs),
                 "queries": None}
        # The floor runs in its own process, so it cannot be interleaved with the
        # Python side: it runs before and after it, and the lower figure of each
        # query counts (the one less disturbed by the machine; a lower floor only
        # makes talvex look worse against it).
        floors = [run_floor(args.floor, robot, configs_path, args.rounds)] if args.floor else []
        entry["queries"] = time_interleaved(robot, args.rounds, args.sample_ms)
        if args.floor:
            floors.append(run_floor(args.floor, robot, configs_path, args.rounds))
            best = {query: min(run[query] for run in floors) for query in floors[0]}
            for query, ns in best.items():
                if query in entry["queries"]:
                    entry["queries"][query]["floor"] = ns
                else:
                    entry.setdefault("floor_extra", {})[query] = ns
        if name == "panda":
            entry["threads"] = thread_scaling(robot, max(3, args.rounds // 3),
                                              args.thread_calls)
        results["robots"][name] = entry
        print(f"{name}: nq={entry['nq']} frames={entry['frames']} "
              f"pairs={entry['collision_pairs']} colliding={entry['colliding_configs']}"
              f"/{args.configs}", file=sys.stderr)

    results["machine"]["load_average_after"] = os.getloadavg()
    (out / "results.json").write_text(json.dumps(results, indent=2))
    plot(results, args.plot or out / "benchmarks.png")
    print(table(results))
    for name, robot in results["robots"].items():
        for query, r in robot.get("threads", {}).items():
            print(f"{name} {query}: 1 thread {r['one_thread_calls_per_s']:.0f} calls/s; "
                  f"2 threads, own objects x{r['two_separate_over_one']:.2f}; "
                  f"2 threads, one shared object x{r['two_shared_over_one']:.2f}")
    for name, robot in results["robots"].items():
        for query, ns in robot.get("floor_extra", {}).items():
            print(f"{name} floor {query}: {ns:.0f} ns")
    print(f"load average before {results['machine']['load_average_before']}, "
          f"after {results['machine']['load_average_after']}")


if __name__ == "__main__":
    main()
