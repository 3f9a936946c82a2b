"""What the boundary accepts and refuses, and what the results it hands back are."""
import pathlib

import numpy as np
import pytest

import talvex
from conftest import build

# names.urdf has three coordinates with bounds (-2, 2); integer values survive every form.
Q = [1, -1, 0]

ACCEPTED = {
    "list": list,
    "tuple": tuple,
    "int64": lambda v: np.array(v, dtype=np.int64),
    "float32": lambda v: np.array(v, dtype=np.float32),
    "column": lambda v: np.array(v, dtype=float).reshape(-1, 1),
    "nested-column": lambda v: [[x] for x in v],
    "strided": lambda v: np.repeat(np.array(v, dtype=float), 2)[::2],
    "bool": lambda v: np.array(v, dtype=float) != 0,
    "numeric-strings": lambda v: [str(x) for x in v],
}

REFUSED = {
    "row": np.zeros((1, 3)),
    "3-d": np.zeros((3, 1, 1)),
    "float": 0.0,
    "numpy-scalar": np.float64(0.0),
    "str": "0",
    "None": None,
    "bytes": b"\x00\x00\x00",
    "ragged": [[0, 1], [0]],
    "words": ["a", "b", "c"],
    "dict": {},
}

Q_QUERIES = {
    "forward_kinematics": lambda m, q: m.forward_kinematics(q, "link2"),
    "all_frame_transforms": lambda m, q: m.all_frame_transforms(q),
    "in_joint_limits": lambda m, q: m.in_joint_limits(q),
    "has_self_collision": lambda m, q: m.has_self_collision(q),
}


@pytest.fixture(scope="module")
def names():
    return build("names.urdf")


def same(a, b):
    if isinstance(a, dict):
        return list(a) == list(b) and all(np.array_equal(a[k], b[k]) for k in a)
    return np.array_equal(a, b) if isinstance(a, np.ndarray) else (type(a), a) == (type(b), b)


@pytest.mark.parametrize("query", Q_QUERIES.values(), ids=Q_QUERIES.keys())
@pytest.mark.parametrize("form", ACCEPTED.values(), ids=ACCEPTED.keys())
def test_accepted_forms_give_the_float64_result(names, query, form):
    values = Q if form is not ACCEPTED["bool"] else [1, 0, 1]
    assert same(query(names, form(values)), query(names, np.array(values, dtype=float)))


@pytest.mark.parametrize("form", ["list", "int64", "float32", "column", "nested-column"])
def test_one_coordinate_forms_reach_the_collision_test(form):
    # pair.urdf: touching at 0, apart at 1.
    pair = build("pair.urdf")
    assert [pair.has_self_collision(ACCEPTED[form](v)) for v in ([0], [1])] == [True, False]
    assert pair.in_joint_limits(np.array([[0.5]])) is True


@pytest.mark.parametrize("query", Q_QUERIES.values(), ids=Q_QUERIES.keys())
@pytest.mark.parametrize("q", REFUSED.values(), ids=REFUSED.keys())
def test_refused_vectors_raise_type_error_before_the_member(names, query, q):
    for model in (names, talvex.RobotModel()):  # even before the readiness error
        with pytest.raises(TypeError, match="incompatible function arguments"):
            query(model, q)


@pytest.mark.parametrize("name", [None, 3, pathlib.Path("link2"), "link\udcff", ["link2"]],
                         ids=["None", "int", "Path", "lone-surrogate", "list"])
def test_refused_frame_names(names, name):
    for model in (names, talvex.RobotModel()):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            model.forward_kinematics(Q, name)


@pytest.mark.parametrize("query", ["forward_kinematics", "all_frame_transforms", "in_joint_limits"])
@pytest.mark.parametrize("q", [[], [0.0] * 4], ids=["empty", "long"])
def test_any_length_reaches_the_member(names, query, q):
    with pytest.raises(ValueError):
        Q_QUERIES[query](names, q)


def test_bytes_names_match_byte_for_byte(names):
    pose = names.forward_kinematics(Q, "link2")
    for name in (b"link2", bytearray(b"link2")):
        assert np.array_equal(names.forward_kinematics(Q, name), pose)
    # An embedded zero byte stays part of the name rather than ending it (the
    # message itself stops there: an exception's text is a C string).
    with pytest.raises(RuntimeError, match="^RobotModel::forward_kinematics: frame 'link2"):
        names.forward_kinematics(Q, b"link2\x00")


def assert_owned_matrix(a):
    assert a.shape == (4, 4) and a.dtype == np.float64
    assert a.flags.writeable and a.flags.f_contiguous and not a.flags.c_contiguous
    assert a.strides == (8, 32)
    # The copy is kept alive by a capsule, not by another array.
    assert type(a.base).__name__ == "PyCapsule"


def test_pose_results_are_owned_column_major_copies(names):
    first = names.forward_kinematics(Q, "link2")
    assert_owned_matrix(first)
    kept = first.copy()
    first[:] = 0.0
    second = names.forward_kinematics(Q, "link2")
    assert np.array_equal(second, kept) and not np.shares_memory(first, second)
    names.forward_kinematics([0, 0, 0], "link2")
    assert np.array_equal(second, kept)  # a later pass leaves returned poses alone

    poses = names.all_frame_transforms(Q)
    values = list(poses.values())
    for i, a in enumerate(values):
        assert_owned_matrix(a)
        assert not any(np.shares_memory(a, b) for b in values[i + 1:])
    assert np.array_equal(poses["link2"], kept)
    for a in values:
        a[:] = 0.0
    poses.clear()
    assert np.array_equal(names.all_frame_transforms(Q)["link2"], kept)


@pytest.mark.parametrize("query", ["lower_position_limits", "upper_position_limits",
                                   "neutral_configuration"])
def test_vector_results_are_owned_copies(names, query):
    a, b = getattr(names, query)(), getattr(names, query)()
    assert a.shape == (3,) and a.dtype == np.float64 and a.flags.writeable
    assert not isinstance(a.base, np.ndarray) and not np.shares_memory(a, b)


def test_name_lists_are_fresh_lists_of_str(names):
    for query in (names.joint_names, names.frame_names):
        got = query()
        assert type(got) is list and all(type(n) is str for n in got)
        got.clear()
        assert query()
