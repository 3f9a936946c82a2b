"""Found by the fuzz harness: has_self_collision never returned (coal).

Mended on main (9971fe3, 9d5f7f4): with a negative margin, has_self_collision
now refuses a placement that is not a rigid motion with ValueError, so the two
talvex variants below end in ValueError at once; the coal variant still hangs.
What follows describes the fault as found.

A negative collision_margin together with a pose that is not finite, or so
large that coal's arithmetic overflows, makes has_self_collision spin without
end on a robot with mesh-mesh pairs: one NaN or infinite coordinate of xarm7
(example-robot-data), or on a continuous joint (whose cos and sin are taken
as given) a finite but huge one, 1e308 on kinova (poses of 1e308 or inf).
More than 300 s without an answer (xarm7, in Pinocchio alone), with the
interpreter lock released and the model's work lock held, so the thread
cannot be interrupted and every other call on the object waits behind it. A
margin of 0 or more, or moderate coordinates, answer in well under a
millisecond; the arm of the bad-input corpus (box, cylinder, sphere and a
12-triangle mesh) answers too, or refuses the negative margin for its
mesh-primitive pair with ValueError.

campaign-inputs/timeout-* are the two inputs of the 45-minute campaign
(docs/hardening.md, "Fuzzing") that ran into it, kinova with a margin of -1
and of -1.2e308 at coordinates near 1e308; they decode as found with the harness
of commit afe2f2d and later ones.

The loop is in coal: its own collide() of two of xarm7's meshes with a
negative security margin and a NaN translation does not return either (see
`coal_only` below). Pinocchio's computeCollisions behaves the same.

    python tests/fuzz/crashes/hang_negative_margin_nonfinite_q.py          # talvex, xarm7, NaN
    python tests/fuzz/crashes/hang_negative_margin_nonfinite_q.py kinova   # talvex, kinova, 1e308
    python tests/fuzz/crashes/hang_negative_margin_nonfinite_q.py coal     # coal alone

Each variant gives up after 20 s and says so.
"""
import faulthandler
import importlib.metadata
import sys

import numpy as np

SHARE = str(importlib.metadata.distribution("example-robot-data").locate_file("cmeel.prefix/share"))
XARM = SHARE + "/example-robot-data/robots/xarm_description"


def talvex_variant():
    import talvex
    robot = talvex.RobotModel()
    robot.build_from_urdf(XARM + "/urdf/xarm7.urdf", SHARE, "", -1e-6)
    q = robot.neutral_configuration()
    q[0] = np.nan  # np.inf too
    print(robot.has_self_collision(q))


def kinova_variant():
    import talvex
    robot = talvex.RobotModel()
    robot.build_from_urdf(SHARE + "/example-robot-data/robots/kinova_description/robots/kinova.urdf",
                          SHARE, "", -1.0)
    q = np.full(robot.nq(), 1e308)  # finite; the continuous joints' (cos, sin) overflow the poses
    print(robot.has_self_collision(q))


def coal_only():
    import coal
    loader = coal.MeshLoader()
    a = loader.load(XARM + "/meshes/xarm7/visual/link1.stl")
    b = loader.load(XARM + "/meshes/xarm7/visual/link2.stl")
    request = coal.CollisionRequest()
    request.security_margin = -1.0
    moved = coal.Transform3s()
    moved.setTranslation(np.array([np.nan, 0.0, 0.0]))
    print(coal.collide(a, coal.Transform3s(), b, moved, request, coal.CollisionResult()))


if __name__ == "__main__":
    faulthandler.dump_traceback_later(20, exit=True)  # prints "Timeout" and exits 1
    {"coal": coal_only, "kinova": kinova_variant}.get(sys.argv[1] if sys.argv[1:] else "",
                                                      talvex_variant)()
