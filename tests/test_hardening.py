"""Bad inputs end in a Python exception or a right answer, never a crash or a hang.

The corpus (tests/hardening_cases.py) runs in child processes; each case here
checks the record its child left.
"""
import builtins
import os
import pathlib
import re
import subprocess
import sys
import threading

import pytest

import hardening_cases
import talvex
from conftest import DATA, ERD_SHARE, READINESS, build, data_path

CASES = hardening_cases.generate()
ANSWERS = {"ok", "True", "False"}


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    _, results = hardening_cases.run_corpus(tmp_path_factory.mktemp("corpus"))
    return results


def is_python_exception(name):
    cls = getattr(builtins, name, None)
    return isinstance(cls, type) and issubclass(cls, Exception)


def test_corpus_is_large_and_ids_are_unique():
    assert len(CASES) >= 200
    assert len({case["id"] for case in CASES}) == len(CASES)


@pytest.mark.parametrize("case", CASES, ids=[case["id"] for case in CASES])
def test_case_ends_in_an_exception_or_an_answer(case, corpus):
    record = corpus[case["id"]]
    outcome = record["outcome"]
    assert outcome in ANSWERS or is_python_exception(outcome), record
    if outcome not in ANSWERS:
        # A clear text, not pybind11's fallback for a non-standard exception.
        assert record.get("message") and "Caught an unknown" not in record["message"], record
        if case["op"] == "build":
            assert record["unbuilt_after_failure"], record
    if case["op"] == "build":
        assert record["printed"] == "", record  # the readers' reports go into the error
    if case["op"] == "build" and outcome == "ok":
        assert record["queries"] == "ok" or is_python_exception(record["queries"]), record

    expect = case.get("expect")
    if expect == "unreadable":
        # Mode 000 stops nobody but root; as root the file reads like any other.
        expect = "ok" if os.geteuid() == 0 else "error"
    if expect == "ok":
        assert outcome in ANSWERS, record
    elif expect == "error":
        assert outcome not in ANSWERS, record
    elif expect is not None:
        assert outcome in expect.split("|"), record
    if case.get("nq") is not None and outcome == "ok":
        assert record["nq"] == case["nq"], record


@pytest.mark.parametrize("argument", ["urdf_path", "package_dir", "srdf_path"])
def test_path_with_nul_byte_is_refused(argument):
    # Python's own file functions refuse such a path too: it cannot name a file.
    with pytest.raises(ValueError):
        open(data_path("pair.urdf") + "\0")
    args = {"urdf_path": data_path("pair.urdf"), "package_dir": str(DATA),
            "srdf_path": data_path("pair.srdf")}
    args[argument] += "\0.srdf"
    model = talvex.RobotModel()
    message = f"^RobotModel::build_from_urdf: {argument} contains a NUL byte.$"
    with pytest.raises(ValueError, match=message):
        model.build_from_urdf(**args)
    with pytest.raises(RuntimeError, match=re.escape(READINESS)):
        model.nq()


PEAK = """
import sys
import pinocchio, talvex

def peak_kb():  # peak of the address space: big blocks are mapped and unmapped whole
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmPeak:"))

if sys.argv[1] == "pinocchio":
    model = pinocchio.buildModelFromUrdf(sys.argv[2])
    before = peak_kb()
    data = pinocchio.Data(model)
else:
    before = peak_kb()
    talvex.RobotModel().build_from_urdf(sys.argv[2], "")
print(peak_kb() - before)
"""


def test_build_holds_one_work_data_at_its_peak(tmp_path):
    # Pinocchio's work data grows with the cube of the joint count (about 55 MB
    # at 120 joints); the build must not hold a second copy of it at any time.
    urdf = tmp_path / "chain.urdf"
    urdf.write_text(hardening_cases.chain_urdf(120))
    growth = {}
    for who in ("pinocchio", "talvex"):
        out = subprocess.run([sys.executable, "-c", PEAK, who, str(urdf)], check=True,
                             capture_output=True, text=True).stdout
        growth[who] = int(out)
    assert growth["pinocchio"] > 40_000  # kB: the work data is what dominates
    assert growth["talvex"] < 1.4 * growth["pinocchio"], growth


def on_thread(stack_size, call):
    """call() on a new thread with the given stack size; its exception is re-raised here."""
    outcome = {}

    def run():
        try:
            outcome["value"] = call()
        except BaseException as error:  # noqa: BLE001 - handed back to the caller
            outcome["error"] = error

    previous = threading.stack_size(stack_size)
    try:
        thread = threading.Thread(target=run)
        thread.start()
    finally:
        threading.stack_size(previous)
    thread.join()
    if "error" in outcome:
        raise outcome["error"]
    return outcome.get("value")


@pytest.mark.parametrize("stack_size", [0, 256 * 1024], ids=["main-thread", "thread-256KiB"])
@pytest.mark.parametrize("deep", ["urdf", "srdf"])
def test_description_too_deep_for_the_stack_is_refused(tmp_path, deep, stack_size):
    # The readers recurse per level; past what the stack holds they used to kill the process.
    urdf, srdf = data_path("pair.urdf"), ""
    if deep == "urdf":
        urdf = str(tmp_path / "deep.urdf")
        pathlib.Path(urdf).write_text(hardening_cases.chain_urdf(5000, moving_every=500))
        message = r"the link tree of .*deep\.urdf is 5000 levels deep; .*threading\.stack_size"
    else:
        srdf = str(tmp_path / "deep.srdf")
        pathlib.Path(srdf).write_text("<robot>" + "<a>" * 50000 + "</a>" * 50000 + "</robot>")
        message = r"the elements of .*deep\.srdf are nested 50001 levels deep; .*ulimit -s"
    model = build("pair.urdf")
    names = model.frame_names()
    rebuild = lambda: model.build_from_urdf(urdf, str(DATA), srdf)  # noqa: E731
    with pytest.raises(ValueError, match="^RobotModel::build_from_urdf: " + message):
        on_thread(stack_size, rebuild) if stack_size else rebuild()
    assert model.frame_names() == names


def test_link_that_is_its_own_ancestor_is_refused(tmp_path):
    # The walk down from the root never ended (Pinocchio's own reader overflows the stack).
    urdf = tmp_path / "loop.urdf"
    urdf.write_text(hardening_cases.STRUCTURAL["self-parent-one-root"])
    model = build("pair.urdf")
    with pytest.raises(ValueError, match=r"loop\.urdf has a cycle: link 'hand' is its own ancestor\.$"):
        model.build_from_urdf(str(urdf), str(DATA))
    assert model.frame_names() == build("pair.urdf").frame_names()


@pytest.mark.skipif(ERD_SHARE is None, reason="example-robot-data is not installed")
def test_real_robot_builds_on_a_small_thread_stack():
    panda = ERD_SHARE / "example-robot-data/robots/panda_description"
    model = talvex.RobotModel()
    on_thread(256 * 1024, lambda: model.build_from_urdf(
        str(panda / "urdf/panda.urdf"), str(ERD_SHARE), str(panda / "srdf/panda.srdf")))
    assert model.nq() == 9
