"""Frame poses and frame names, checked against a NumPy reading of the URDF itself."""
import math
import sys
import threading
import time
import xml.etree.ElementTree as ET

import numpy as np
import pytest

from conftest import DATA, build, data_path

ATOL = 1e-12
WIDTH = {"revolute": 1, "prismatic": 1, "continuous": 2, "fixed": 0}


def rpy_matrix(r, p, y):
    (cr, cp, cy), (sr, sp, sy) = np.cos([r, p, y]), np.sin([r, p, y])
    rx = np.array([[1, 0, 0], [0, cr, -sr], [0, sr, cr]])
    ry = np.array([[cp, 0, sp], [0, 1, 0], [-sp, 0, cp]])
    rz = np.array([[cy, -sy, 0], [sy, cy, 0], [0, 0, 1]])
    return rz @ ry @ rx


def axis_rotation(k, c, s):
    """Rotation by the angle of cosine c and sine s about the unit axis k (Rodrigues)."""
    kx = np.array([[0, -k[2], k[1]], [k[2], 0, -k[0]], [-k[1], k[0], 0]])
    return c * np.eye(3) + s * kx + (1 - c) * np.outer(k, k)


def homogeneous(rot=np.eye(3), trans=(0, 0, 0)):
    m = np.eye(4)
    m[:3, :3] = rot
    m[:3, 3] = trans
    return m


def numbers(elem, attr, default):
    text = default if elem is None else elem.get(attr, default)
    return [float(v) for v in text.split()]


class Urdf:
    """The link/joint tree of a URDF file, read with ElementTree."""

    def __init__(self, path):
        root = ET.parse(path).getroot()
        self.joints = {}
        children = {}
        for j in root.iter("joint"):
            joint = dict(name=j.get("name"), type=j.get("type"),
                         parent=j.find("parent").get("link"), child=j.find("child").get("link"),
                         xyz=numbers(j.find("origin"), "xyz", "0 0 0"),
                         rpy=numbers(j.find("origin"), "rpy", "0 0 0"),
                         axis=np.array(numbers(j.find("axis"), "xyz", "1 0 0")))
            self.joints[joint["name"]] = joint
            children.setdefault(joint["parent"], []).append(joint)
        child_links = {j["child"] for j in self.joints.values()}
        links = [l.get("name") for l in root.iter("link")]
        (self.root,) = [n for n in links if n not in child_links]
        # The reader keeps joints in a name-ordered map, so a link's children come in
        # byte order of their joint names; frames and coordinates follow depth first.
        self.children = {k: sorted(v, key=lambda j: j["name"].encode())
                         for k, v in children.items()}
        self.order = []
        self._walk(self.root)

    def _walk(self, link):
        self.order.append(("link", link))
        for joint in self.children.get(link, []):
            self.order.append(("joint", joint["name"]))
            self._walk(joint["child"])

    def movable(self):
        return [n for kind, n in self.order
                if kind == "joint" and self.joints[n]["type"] != "fixed"]

    def random_q(self, rng):
        q = []
        for name in self.movable():
            kind = self.joints[name]["type"]
            if kind == "continuous":
                a = rng.uniform(-math.pi, math.pi)
                q += [math.cos(a), math.sin(a)]
            else:
                q.append(rng.uniform(-4, 4) if kind == "revolute" else rng.uniform(-1, 1))
        return np.array(q)

    def frames(self, q):
        """(name, world pose) of every link and joint, in frame-list order."""
        q = list(q)
        poses = {self.root: np.eye(4)}
        out = []
        for kind, name in self.order:
            if kind == "link":
                out.append((name, poses[name]))
                continue
            j = self.joints[name]
            motion = np.eye(4)
            taken = [q.pop(0) for _ in range(WIDTH[j["type"]])]
            if j["type"] == "revolute":
                angle = taken[0]
                motion = homogeneous(axis_rotation(j["axis"], math.cos(angle), math.sin(angle)))
            elif j["type"] == "continuous":
                motion = homogeneous(axis_rotation(j["axis"], *taken))
            elif j["type"] == "prismatic":
                motion = homogeneous(trans=j["axis"] * taken[0])
            pose = poses[j["parent"]] @ homogeneous(rpy_matrix(*j["rpy"]), j["xyz"]) @ motion
            poses[j["child"]] = pose
            out.append((name, pose))
        assert not q
        return out


@pytest.mark.parametrize("urdf", ["chain.urdf", "names.urdf"])
def test_every_frame_pose_matches_the_urdf(urdf):
    ref = Urdf(data_path(urdf))
    model = build(urdf)
    names = [n for _, n in ref.order]
    assert model.frame_names() == names
    assert model.joint_names() == ref.movable()
    rng = np.random.default_rng(20240611)
    for _ in range(4):
        q = ref.random_q(rng)
        expected = ref.frames(q)
        last = dict(expected)  # a repeated name keeps the later frame's pose
        poses = model.all_frame_transforms(q)
        assert list(poses) == sorted(last, key=str.encode)
        for name, pose in poses.items():
            np.testing.assert_allclose(pose, last[name], rtol=0, atol=ATOL, err_msg=name)
        for name, pose in expected:
            if names.count(name) == 1:
                got = model.forward_kinematics(frame_name=name, q_rad=q)
                np.testing.assert_allclose(got, pose, rtol=0, atol=ATOL, err_msg=name)
        np.testing.assert_array_equal(model.forward_kinematics(q, "universe"), np.eye(4))


def test_shared_name_across_joint_and_link():
    ref = Urdf(data_path("names.urdf"))
    model = build("names.urdf")
    q = np.array([0.3, 0.7, -0.2])
    link_pose, joint_pose = [p for n, p in ref.frames(q) if n == "shared"]
    assert not np.allclose(link_pose, joint_pose)
    got = model.all_frame_transforms(q)["shared"]
    np.testing.assert_allclose(got, joint_pose, rtol=0, atol=ATOL)
    assert model.frame_names().count("shared") == 2
    with pytest.raises(ValueError) as info:
        model.forward_kinematics(q, "shared")
    assert str(info.value) == ('Several frames match the filter - please specify the FrameType '
                               '(name="shared", type="31")')
    # The pass runs before the name is resolved, so a wrong length fails there first.
    with pytest.raises(ValueError) as info:
        model.forward_kinematics(q[:2], "shared")
    assert "Several frames" not in str(info.value)
    # The object is still usable after either error.
    np.testing.assert_allclose(model.forward_kinematics(q, "link10"), joint_pose, rtol=0, atol=ATOL)


@pytest.mark.parametrize("name", ["", "ARM", "arm ", " arm", "universe2", "Shared", "e"])
@pytest.mark.parametrize("q", [[0.0, 0.0, 0.0], [0.0] * 7], ids=["right-length", "wrong-length"])
def test_unknown_name_is_reported_before_the_pass(name, q):
    with pytest.raises(RuntimeError) as info:
        build("names.urdf").forward_kinematics(q, name)
    assert str(info.value) == f"RobotModel::forward_kinematics: frame '{name}' not found in model."


def test_frames_named_universe_are_dropped_wherever_they_stand():
    model = build("names_universe.urdf")
    kept = ["base", "j1", "tip", "universe_x", "end"]
    assert model.frame_names() == kept
    assert list(model.all_frame_transforms([0.1, 0.2, 0.3])) == sorted(kept)
    assert model.joint_names() == ["j1", "universe_x"]
    assert (model.nq(), model.ndof()) == (3, 3)
    with pytest.raises(ValueError, match='name="universe", type="31"'):
        model.forward_kinematics([0.1, 0.2, 0.3], "universe")


def test_dict_keys_come_in_byte_order():
    model = build("names.urdf")
    keys = list(model.all_frame_transforms([0.0, 0.0, 0.0]))
    assert keys == sorted(set(model.frame_names()), key=str.encode)
    picked = [k for k in keys if k.lower().startswith("link")]
    assert picked == ["Link", "link", "link10", "link2"]
    assert keys[-1] == "é"


def test_invalid_utf8_names(tmp_path):
    path = tmp_path / "bad.urdf"
    path.write_bytes((DATA / "names.urdf").read_bytes().replace(b'"j_a"', b'"j_\xff"'))
    model = build(str(path))
    for query in (model.joint_names, model.frame_names,
                  lambda: model.all_frame_transforms([0, 0, 0])):
        with pytest.raises(UnicodeDecodeError):
            query()
    q = np.array([0.4, 0.0, 0.0])
    expected = dict(Urdf(data_path("names.urdf")).frames(q))["j_a"]
    np.testing.assert_allclose(model.forward_kinematics(q, b"j_\xff"), expected, rtol=0, atol=ATOL)
    np.testing.assert_allclose(model.forward_kinematics(q, "é".encode()),
                               model.forward_kinematics(q, "é"), atol=0)
    assert model.nq() == 3


def test_pose_queries_release_the_interpreter_lock():
    """A thread woken while the main thread holds the lock can only run when the
    main thread gives the lock up: with a huge switch interval, a call that
    releases it lets the thread through."""
    model = build("chain.urdf")
    q = np.zeros(8)
    q[[1, 5]] = 1.0
    released = [lambda: model.forward_kinematics(q, "tool"), lambda: model.all_frame_transforms(q)]
    interval = sys.getswitchinterval()
    for call in released:
        go, ran = threading.Event(), []
        worker = threading.Thread(target=lambda: (go.wait(), ran.append(True)))
        # Set before the worker exists: a thread already waiting for the lock keeps
        # the interval it started waiting with.
        sys.setswitchinterval(1000)
        try:
            worker.start()
            go.set()
            deadline = time.monotonic() + 30
            while not ran and time.monotonic() < deadline:
                call()
            assert ran
        finally:
            sys.setswitchinterval(interval)
            worker.join()


def test_one_object_shared_by_threads_gives_each_its_own_poses(tmp_path):
    # A long chain makes each pass long enough for two threads' passes to overlap.
    links = "".join(f'<link name="l{i}"/>' for i in range(81))
    joints = "".join(
        f'<joint name="j{i:02d}" type="revolute"><parent link="l{i}"/><child link="l{i + 1}"/>'
        f'<origin xyz="0.1 0 0.05" rpy="0.1 0.2 0.3"/><axis xyz="0 0.6 0.8"/>'
        f'<limit lower="-3" upper="3" effort="1" velocity="1"/></joint>' for i in range(80))
    path = tmp_path / "long.urdf"
    path.write_text(f'<robot name="long">{links}{joints}</robot>')
    ref = Urdf(str(path))
    model = build(str(path))
    configs = [np.full(80, 0.4), np.full(80, -1.1)]
    expected = [np.array([pose for _, pose in sorted(dict(ref.frames(q)).items())])
                for q in configs]  # ASCII names: str order is byte order
    results = [[], []]

    def run(i):
        for _ in range(300):
            results[i].append(np.array(list(model.all_frame_transforms(configs[i]).values())))

    threads = [threading.Thread(target=run, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for i in range(2):
        assert all(np.allclose(r, expected[i], rtol=0, atol=1e-10) for r in results[i])
