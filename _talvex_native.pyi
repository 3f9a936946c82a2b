# The native half of talvex_tools.batch and talvex_tools.motion; call it through their typed faces.
import numpy
import numpy.typing

import talvex

def self_collisions(
    robot: talvex.RobotModel, qs: numpy.typing.NDArray[numpy.float64], threads: int
) -> numpy.typing.NDArray[numpy.bool_]: ...
def frame_poses(
    robot: talvex.RobotModel,
    qs: numpy.typing.NDArray[numpy.float64],
    frames: list[str],
    threads: int,
) -> numpy.typing.NDArray[numpy.float64]: ...
def pair_collisions(
    robot: talvex.RobotModel, qs: numpy.typing.NDArray[numpy.float64], threads: int
) -> numpy.typing.NDArray[numpy.bool_]: ...
def pair_distances(
    robot: talvex.RobotModel, q: numpy.typing.NDArray[numpy.float64], below: float
) -> list[tuple[int, float]]: ...
def pair_table(robot: talvex.RobotModel) -> list[tuple[str, str, str, str, str, str]]: ...
def joint_layout(robot: talvex.RobotModel) -> list[dict[str, object]]: ...
def margin(robot: talvex.RobotModel) -> float: ...
def mesh_hulls(robot: talvex.RobotModel, geometry: int) -> dict[str, object]: ...
def edge_free(
    robot: talvex.RobotModel,
    q0: numpy.typing.NDArray[numpy.float64],
    q1: numpy.typing.NDArray[numpy.float64],
    step: float,
) -> bool: ...
def edge_free_fraction(
    robot: talvex.RobotModel,
    q0: numpy.typing.NDArray[numpy.float64],
    q1: numpy.typing.NDArray[numpy.float64],
    step: float,
) -> float: ...
def pair_rates(
    robot: talvex.RobotModel,
    q0: numpy.typing.NDArray[numpy.float64],
    q1: numpy.typing.NDArray[numpy.float64],
) -> numpy.typing.NDArray[numpy.float64]: ...
def edge_certified(
    robot: talvex.RobotModel,
    q0: numpy.typing.NDArray[numpy.float64],
    q1: numpy.typing.NDArray[numpy.float64],
) -> tuple[str, float | None]: ...
def edges_free(
    robot: talvex.RobotModel,
    q0s: numpy.typing.NDArray[numpy.float64],
    q1s: numpy.typing.NDArray[numpy.float64],
    step: float,
    threads: int,
) -> numpy.typing.NDArray[numpy.bool_]: ...
