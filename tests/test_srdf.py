"""talvex srdf: the reason it gives each link pair, what talvex answers with the
SRDF it writes, what --merge keeps, and its one-line failures."""

import xml.etree.ElementTree as ET

import numpy as np
import pytest

import talvex
from conftest import DATA, ERD_SHARE, run_talvex

pin = pytest.importorskip("pinocchio")

PANDA = ERD_SHARE / "example-robot-data/robots/panda_description" if ERD_SHARE else None
needs_erd = pytest.mark.skipif(PANDA is None, reason="example-robot-data is not installed")


def make_srdf(*args):
    return run_talvex("srdf", *args)


def disabled(path):
    """{frozenset of the two links: reason} of an SRDF's disable_collisions entries."""
    root = ET.parse(path).getroot()
    return {frozenset((e.get("link1"), e.get("link2"))): e.get("reason")
            for e in root.findall("disable_collisions")}


def test_every_reason_on_a_robot_built_for_it(tmp_path):
    out = tmp_path / "reasons.srdf"
    run = make_srdf(DATA / "srdf_reasons.urdf", "--never", "--samples", 400, "--out", out)
    assert run.returncode == 0, run.stderr
    # The expected reasons follow from the geometry described in the URDF's comment.
    assert disabled(out) == {
        frozenset(p.split("/")): reason for p, reason in [
            ("base/carriage", "Adjacent"), ("carriage/probe", "Adjacent"),
            ("probe/arm", "Adjacent"),  # through the holder, which has no geometry
            ("arm/beacon", "Adjacent"), ("base/probe", "Always"), ("carriage/arm", "Default"),
            ("base/beacon", "Never"), ("carriage/beacon", "Never"), ("probe/beacon", "Never"),
        ]
    }


@pytest.mark.parametrize("extra, also", [([], {}), (["--within-margin"], {"base/cap": "Default"})])
def test_default_judges_touching_and_keeps_contacts_at_the_bounds(tmp_path, extra, also):
    out = tmp_path / "contacts.srdf"
    run = make_srdf(DATA / "srdf_contacts.urdf", "--samples", 30, "--seed", 2, *extra,
                    "--out", out)
    assert run.returncode == 0, run.stderr
    # By the geometry in the URDF's comment: no sample touches base/dot or base/nib;
    # nib touches at its joint's bound as at the default pose; cap never touches.
    assert disabled(out) == {frozenset(p.split("/")): reason for p, reason in [
        ("base/mid", "Adjacent"), ("mid/dot", "Adjacent"), ("mid/nib", "Adjacent"),
        ("mid/cap", "Adjacent"), ("base/dot", "Default"), *also.items()]}
    lines = run.stdout.splitlines()
    assert "  base / dot    0.0%  (never in a sample: disabled on the default pose alone)" in lines
    assert any(line.startswith("Kept tested, though touching at the default pose")
               and line.endswith(": base / nib") for line in lines)
    assert any(line.startswith("  base / cap  at the default pose") for line in lines)


def test_a_robot_without_pairs_is_said_so_first(tmp_path):
    run = make_srdf(DATA / "chain.urdf", "--samples", 5, "--out", tmp_path / "chain.srdf")
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith("note: chain has no collision pair to test")


@needs_erd
def test_panda(tmp_path):
    urdf, shipped = PANDA / "urdf/panda.urdf", PANDA / "srdf/panda.srdf"
    out = tmp_path / "panda.srdf"
    run = make_srdf(urdf, "--samples", 200, "--out", out)
    assert run.returncode == 0, run.stderr
    written = disabled(out)
    # Every pair example-robot-data calls adjacent is disabled here too.
    adjacent = [p for p, r in disabled(shipped).items() if r == "Adjacent"]
    assert adjacent and all(p in written for p in adjacent)

    # talvex with the written SRDF at margin 0 (Default judges touching): free at the
    # neutral configuration moved inside the limits (1 % of the range in from the
    # bound it is on), and each "Default" pair, tested again, is what touches there.
    model = pin.buildModelFromUrdf(str(urdf), mimic=False)
    lo, hi = model.lowerPositionLimit, model.upperPositionLimit
    q = pin.neutral(model)
    q = np.where((lo < q) & (q < hi), q, np.clip(q, lo + 0.01 * (hi - lo), hi - 0.01 * (hi - lo)))

    def collides(pairs):
        srdf = tmp_path / "subset.srdf"
        srdf.write_text("<robot name='panda'>" + "".join(
            f"<disable_collisions link1='{a}' link2='{b}'/>" for a, b in map(sorted, pairs))
            + "</robot>")
        robot = talvex.RobotModel()
        robot.build_from_urdf(str(urdf), str(ERD_SHARE), str(srdf), 0.0)
        return robot.has_self_collision(q)

    defaults = [p for p, r in written.items() if r == "Default"]
    assert defaults and not collides(written)
    assert all(collides(set(written) - {p}) for p in defaults)
    # Its counts are talvex's: none of 200 free without an SRDF.
    assert "no SRDF" in run.stdout and " 200 of 200 " in run.stdout.split("no SRDF")[1]


@needs_erd
def test_merge_keeps_the_other_elements(tmp_path):
    # Comments before the root and inside it, as a licence header and notes are.
    text = (PANDA / "srdf/panda.srdf").read_text().replace(
        "<robot", "<!-- licence header -->\n<robot", 1).replace(
        "</robot>", "  <!-- a note at the end -->\n</robot>")
    shipped = tmp_path / "commented.srdf"
    shipped.write_text(text)
    out = tmp_path / "merged.srdf"
    run = make_srdf(PANDA / "urdf/panda.urdf", "--samples", 50, "--never", "--merge", shipped,
                    "--out", out)
    assert run.returncode == 0, run.stderr
    # The merged file is the old one, byte for byte, with entries added before </robot>.
    merged, end = out.read_text(), text.rindex("</robot>")
    assert merged.startswith(text[:text.rfind("\n", 0, end) + 1]) and merged.endswith(text[end:])
    before, after = ET.parse(shipped).getroot(), ET.parse(out).getroot()
    assert after.attrib == before.attrib

    def entries(root):
        return [(e.tag, sorted(e.attrib.items())) for e in root.iter() if e is not root]

    old, new = entries(before), entries(after)
    assert new[:len(old)] == old
    assert len(new) == len(old) + len(disabled(out).keys() - disabled(shipped).keys())


@pytest.mark.parametrize(
    "args, message",
    [
        (["MISSING.urdf"], "URDF file not found"),
        (["--samples", "0"], "argument --samples: must be at least 1"),
        (["--margin", "-0.001"], "argument --margin: must be a finite number"),
        (["--margin", "nan"], "argument --margin: must be a finite number"),
        (["--merge", "MISSING.srdf"], "--merge file not found"),
        (["--merge", "NOT_SRDF"], "is not an SRDF"),
        (["--compare", "BROKEN_SRDF"], "cannot read"),
        (["--compare", "BROKEN"], "name must end in .srdf"),
        (["--out", "/nonexistent/dir/out.srdf"], "folder not found"),
        (["--package-dir", "/nonexistent"], "package directory not found"),
        (["BROKEN"], "cannot load"),
        (["--margin", "10"], "--margin 10 m is larger than srdf_reasons itself"),
    ],
    ids=["urdf", "samples", "margin", "nan", "merge", "merge-not-srdf", "compare",
         "compare-extension", "out",
         "package-dir", "broken-urdf", "margin-beyond-robot"],
)
def test_bad_input_is_one_line(tmp_path, args, message):
    broken = tmp_path / "broken.urdf"
    broken.write_text("<robot name='r'><link name='a'>")
    (tmp_path / "broken.srdf").write_text("<robot name='r'><link name='a'>")
    other = tmp_path / "other.srdf"
    other.write_text("<srdf/>")
    urdf = DATA / "srdf_reasons.urdf"
    args = [{"BROKEN": broken, "NOT_SRDF": other, "BROKEN_SRDF": tmp_path / "broken.srdf"}.get(a, a)
            for a in args]
    if args[0] in ("MISSING.urdf", broken):
        urdf = args.pop(0)
    if "--out" not in args:
        args += ["--out", tmp_path / "out.srdf"]
    run = make_srdf(urdf, *args)
    assert run.returncode == 2
    assert run.stdout == ""
    assert len(run.stderr.splitlines()) == 1, run.stderr
    assert run.stderr.startswith("talvex srdf: error: ") and message in run.stderr
