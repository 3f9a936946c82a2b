"""Bad inputs end in a Python exception or a right answer, never a crash or a hang.

The corpus (tests/hardening_cases.py) runs in child processes; each case here
checks the record its child left. Cases that crash inside a dependency are
marked as known faults so they stay visible without failing the suite.
"""
import builtins
import os
import re
import subprocess
import sys

import pytest

import hardening_cases
import talvex
from conftest import DATA, READINESS, data_path

CASES = hardening_cases.generate()
KNOWN = hardening_cases.KNOWN_DEPENDENCY_FAULTS
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


def params():
    for case in CASES:
        known = case["id"] in KNOWN
        marks = [pytest.mark.xfail(reason=KNOWN[case["id"]], strict=True)] if known else []
        yield pytest.param(case, id=case["id"], marks=marks)


@pytest.mark.parametrize("case", list(params()))
def test_case_ends_in_an_exception_or_an_answer(case, corpus):
    record = corpus[case["id"]]
    outcome = record["outcome"]
    assert outcome in ANSWERS or is_python_exception(outcome), record
    if outcome not in ANSWERS:
        # A clear text, not pybind11's fallback for a non-standard exception.
        assert record.get("message") and "Caught an unknown" not in record["message"], record
        if case["op"] == "build":
            assert record["unbuilt_after_failure"], record
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
