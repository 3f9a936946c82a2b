"""
C++ Pinocchio-backed robot model (FK, joint limits, collision)
"""
from __future__ import annotations
import numpy
import numpy.typing
import typing
__all__: list[str] = ['RobotModel']
class RobotModel:
    def __init__(self) -> None:
        ...
    def __repr__(self) -> str:
        ...
    def all_frame_transforms(self, q_rad: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"]) -> dict[str, typing.Annotated[numpy.typing.NDArray[numpy.float64], "[4, 4]"]]:
        """
        Compute FK at q_rad (radians) and return {frame_name: 4x4 matrix} for every frame in the model. One Pinocchio update; many cached lookups.
        """
    def build_from_urdf(self, urdf_path: str, package_dir: str, srdf_path: str = '', collision_margin: typing.SupportsFloat | typing.SupportsIndex = 0.005) -> None:
        """
        Build kinematic and collision model from URDF/SRDF.
        """
    def forward_kinematics(self, q_rad: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"], frame_name: str) -> typing.Annotated[numpy.typing.NDArray[numpy.float64], "[4, 4]"]:
        """
        Compute FK at q_rad (radians). Returns 4x4 homogeneous matrix.
        """
    def frame_names(self) -> list[str]:
        """
        List of all frame names in the model (excludes 'universe').
        """
    def has_self_collision(self, q_rad: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"]) -> bool:
        """
        Return True when the robot is in self-collision at q_rad.
        """
    def in_joint_limits(self, q_rad: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"]) -> bool:
        """
        Return True when q_rad is strictly within joint limits.
        """
    def joint_names(self) -> list[str]:
        """
        Ordered list of joint names (excludes 'universe').
        """
    def lower_position_limits(self) -> typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, 1]"]:
        """
        Lower joint position limits (radians).
        """
    def ndof(self) -> int:
        """
        Degrees of freedom (njoints - 1, excludes universe).
        """
    def neutral_configuration(self) -> typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, 1]"]:
        """
        Neutral joint configuration (zeros for revolute/prismatic joints).
        """
    def nq(self) -> int:
        """
        Number of generalized coordinates (joints).
        """
    def upper_position_limits(self) -> typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, 1]"]:
        """
        Upper joint position limits (radians).
        """
