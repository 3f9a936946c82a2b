"""One object used from several threads at once gives the answers it gives to one thread."""
import random
import threading
import time

import numpy as np
import pytest

from conftest import DATA, build, data_path

THREADS = 4
ROUNDS = 5000

ROBOT = "coll_snake.urdf"
TIP = "s6"

# A six-joint chain folded at random: some of these collide, some do not.
_rng = random.Random(11)
CONFIGS = [np.array([_rng.uniform(-2.3, 2.3) for _ in range(6)]) for _ in range(64)]


def single_thread_answers(model):
    poses = [model.forward_kinematics(q, TIP) for q in CONFIGS]
    hits = [model.has_self_collision(q) for q in CONFIGS]
    frames = model.all_frame_transforms(CONFIGS[0])
    assert 10 < sum(hits) < len(CONFIGS) - 10
    return poses, hits, frames


def run_together(workers):
    """Start the workers at one moment; return what they raised or found wrong."""
    start = threading.Barrier(len(workers))
    problems = []

    def guarded(work):
        start.wait()
        try:
            problems.extend(work())
        except Exception as error:  # reported below, not lost in the thread
            problems.append(repr(error))

    threads = [threading.Thread(target=guarded, args=(w,)) for w in workers]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads), "a worker never finished (deadlock?)"
    return problems


def query_worker(model, poses, hits, frames, seed):
    def work():
        wrong = []
        rng = random.Random(seed)
        for n in range(ROUNDS):
            i = rng.randrange(len(CONFIGS))
            q = CONFIGS[i]
            if not np.array_equal(model.forward_kinematics(q, TIP), poses[i]):
                wrong.append(f"pose at {i}")
            if model.has_self_collision(q) is not hits[i]:
                wrong.append(f"collision at {i}")
            if n % 64 == 0:
                got = model.all_frame_transforms(CONFIGS[0])
                if got.keys() != frames.keys() or not all(
                        np.array_equal(got[k], frames[k]) for k in frames):
                    wrong.append("all frames")
        return wrong
    return work


@pytest.mark.parametrize("shared", [True, False], ids=["one shared object", "one each"])
def test_concurrent_queries_match_single_thread(shared):
    models = [build(ROBOT)] * THREADS if shared else \
        [build(ROBOT) for _ in range(THREADS)]
    poses, hits, frames = single_thread_answers(models[0])
    problems = run_together([query_worker(m, poses, hits, frames, seed)
                             for seed, m in enumerate(models)])
    assert problems == []


def test_rebuild_while_other_threads_query():
    model = build(ROBOT)
    poses, hits, frames = single_thread_answers(model)

    def rebuild():
        for _ in range(40):
            model.build_from_urdf(data_path(ROBOT), str(DATA))
        return []

    workers = [query_worker(model, poses, hits, frames, seed) for seed in range(THREADS - 1)]
    assert run_together(workers + [rebuild]) == []
    assert [model.has_self_collision(q) for q in CONFIGS] == hits


def many_pairs_urdf(joints=16, cubes=8):
    """A star of prismatic joints whose links hold nested cube meshes, all centred on
    the origin at distinct sizes: ~7 700 pairs whose bounding boxes overlap and
    whose surfaces (what coal tests of a mesh) stay apart, so one test visits them all."""
    parts = ['<robot name="pairs"><link name="base"/>']
    for j in range(joints):
        row = "".join(f'<collision><geometry><mesh filename="package://talvex_test/meshes/'
                      f'cube.stl" scale="{s} {s} {s}"/></geometry></collision>'
                      for s in range(1 + j * cubes, 1 + (j + 1) * cubes))
        parts.append(f'<link name="l{j}">{row}</link><joint name="j{j}" type="prismatic">'
                     f'<parent link="base"/><child link="l{j}"/>'
                     f'<axis xyz="0 0 1"/><limit lower="-1" upper="1" effort="1" velocity="1"/>'
                     f'</joint>')
    return "".join(parts) + "</robot>"


def test_has_self_collision_lets_other_threads_run_while_it_computes(tmp_path):
    # Holding the interpreter lock for the whole call, the module would keep the
    # spinning thread out of the middle of it; the edges are left out because the
    # lock may change hands just before the call or just after it.
    path = tmp_path / "pairs.urdf"
    path.write_text(many_pairs_urdf())
    model = build(str(path))
    q = model.neutral_configuration()
    stamps, stop = [], threading.Event()
    spinner = threading.Thread(target=lambda: [stamps.append(time.perf_counter())
                                               for _ in iter(stop.is_set, True)])
    spinner.start()
    try:
        for _ in range(20):
            start = time.perf_counter()
            assert model.has_self_collision(q) is False
            end = time.perf_counter()
            third = (end - start) / 3
            assert third > 0.005, "the call must outlast the interpreter's switch interval"
            if any(start + third < s < end - third for s in stamps):
                break
        else:
            pytest.fail("no other thread ran while has_self_collision computed")
    finally:
        stop.set()
        spinner.join()
