"""Cost of build_from_urdf (time and peak memory) for every robot of example-robot-data.

Every URDF of example-robot-data, each with its SRDF where it has one (found as
collision_equivalence.py finds it; with --without-srdf, only the robots that
have one, built without it), margin 0.005. Each build runs in a fresh
Python process, which imports talvex, builds once and reports the wall time of
the build (time.perf_counter around build_from_urdf) and its peak resident memory
(VmHWM, before and after the build): every build is cold, with nothing of an
earlier build in the process. A robot's time is the best of --repeats such
processes, its peak memory the largest. A robot that talvex refuses to build is
listed with the reason.

With several --modules (folders that hold a talvex extension module, put first on
the child's path; "" for the installed one), the processes alternate between
them (A B A B ...) per robot, so that a change of load on the machine falls on
both alike, and the table gives the ratio of the times. From the repository root:

    .venv/bin/python bench/build_cost.py [--robots NAME ...] [--json PATH]
"""

import argparse
import json
import os
import pathlib
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent


def peak_kib():
    """The process's peak resident memory. Not ru_maxrss: Linux carries that over from
    the parent through fork and exec, so a child would report at least its parent's
    peak; VmHWM belongs to the address space the exec made."""
    for line in pathlib.Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
    raise RuntimeError("no VmHWM in /proc/self/status")


def child(urdf, share, srdf, margin):
    """One build in this (fresh) process, which imports nothing else; prints one JSON line."""
    import talvex

    before = peak_kib()
    model = talvex.RobotModel()
    try:
        t0 = time.perf_counter()
        model.build_from_urdf(urdf, share, srdf, margin)
        seconds = time.perf_counter() - t0
    except Exception as error:  # reported by the parent, not a crash of the benchmark
        print(json.dumps(dict(error=f"{type(error).__name__}: {str(error).splitlines()[0][:160]}")))
        return
    peak = peak_kib()
    print(json.dumps(dict(seconds=seconds, base_kib=before, peak_kib=peak,
                          module=talvex.__file__)))


def run_child(urdf, srdf, margin, module):
    env = dict(os.environ)
    if module:
        env["PYTHONPATH"] = os.pathsep.join(
            [str(pathlib.Path(module).resolve())] + ([env["PYTHONPATH"]] if "PYTHONPATH" in env
                                                     else []))
    out = subprocess.run(
        [sys.executable, str(pathlib.Path(__file__).resolve()), "--child", str(urdf), str(SHARE),
         str(srdf) if srdf else "", str(margin)],
        env=env, capture_output=True, text=True, check=False)
    lines = out.stdout.strip().splitlines()
    if out.returncode or not lines:
        tail = (out.stderr.strip().splitlines() or ["no output"])[-1]
        return dict(error=f"exit status {out.returncode}: {tail[:160]}")
    return json.loads(lines[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--robots", nargs="*", default=[],
                        help="only robots whose folder/stem name contains one of these")
    parser.add_argument("--repeats", type=int, default=3,
                        help="fresh processes per robot and module; the best time counts")
    parser.add_argument("--margin", type=float, default=0.005)
    parser.add_argument("--modules", nargs="*", default=[""],
                        help="folders put first on the path of the child, each timed in "
                             "turn; '' is the installed module")
    parser.add_argument("--without-srdf", action="store_true",
                        help="build every robot without its SRDF instead")
    parser.add_argument("--json", type=pathlib.Path, help="write the rows here")
    args = parser.parse_args()

    urdfs = [u for u in sorted(ROBOTS.rglob("*.urdf"))
             if not args.robots or any(r in name_of(u) for r in args.robots)]
    if args.without_srdf:
        urdfs = [u for u in urdfs if srdf_for(u)]
    labels = [m or "installed" for m in args.modules]
    print(f"load average before: {', '.join(f'{x:.2f}' for x in os.getloadavg())}")
    print(f"{len(urdfs)} URDFs, best of {args.repeats} fresh processes each, margin "
          f"{args.margin}; modules: {', '.join(labels)}", flush=True)
    head = f"{'robot':52s}" + "".join(f" {'s ' + str(k):>8s} {'MiB ' + str(k):>8s}"
                                      for k in range(len(labels)))
    if len(labels) > 1:
        head += f" {'ratio':>6s}"
    print(head + f"  {'base MiB':>8s}", flush=True)
    rows, skipped, modules_seen = [], [], {}
    start = time.perf_counter()
    for urdf in urdfs:
        name, srdf = name_of(urdf), None if args.without_srdf else srdf_for(urdf)
        runs = {label: [] for label in labels}
        error = None
        for _ in range(args.repeats):
            for module, label in zip(args.modules, labels):
                result = run_child(urdf, srdf, args.margin, module)
                if "error" in result:
                    error = result["error"]
                    break
                modules_seen[label] = result["module"]
                runs[label].append(result)
            if error:
                break
        if error:
            skipped.append(dict(robot=name, reason=error))
            print(f"{name:52s} NOT BUILT ({error})", flush=True)
            continue
        row = dict(robot=name, srdf=srdf.name if srdf else "")
        for label in labels:
            row[label] = dict(
                seconds=min(r["seconds"] for r in runs[label]),
                all_seconds=[r["seconds"] for r in runs[label]],
                peak_mib=max(r["peak_kib"] for r in runs[label]) / 1024,
                base_mib=max(r["base_kib"] for r in runs[label]) / 1024)
        rows.append(row)
        line = f"{name:52s}" + "".join(
            f" {row[label]['seconds']:8.3f} {row[label]['peak_mib']:8.1f}" for label in labels)
        if len(labels) > 1:
            line += f" {row[labels[-1]]['seconds'] / row[labels[0]]['seconds']:6.2f}"
        print(line + f"  {row[labels[0]]['base_mib']:8.1f}", flush=True)
    for k, label in enumerate(labels):
        total = sum(r[label]["seconds"] for r in rows)
        print(f"module {k} ({label}): {modules_seen.get(label, '?')}; sum of best times "
              f"{total:.2f} s over {len(rows)} robots")
    print(f"not built ({len(skipped)}): " + ", ".join(s["robot"] for s in skipped))
    print(f"load average after: {', '.join(f'{x:.2f}' for x in os.getloadavg())}; "
          f"{time.perf_counter() - start:.0f} s")
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps(dict(
            args=vars(args) | dict(json=str(args.json)), modules=modules_seen, rows=rows,
            skipped=skipped), indent=1))


if __name__ == "__main__":
    if len(sys.argv) == 6 and sys.argv[1] == "--child":
        child(sys.argv[2], sys.argv[3], sys.argv[4], float(sys.argv[5]))
    else:
        # Not in the child: it would load Pinocchio's bindings beside talvex.
        sys.path.insert(0, str(HERE))
        from collision_equivalence import ROBOTS, SHARE, name_of, srdf_for
        main()
