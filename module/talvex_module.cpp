// The talvex extension module: registration of RobotModel and its bindings.
// Bindings stay thin: argument names, docstrings and the call guard; the logic
// lives in core/.
#include <string>

#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "robot_model.h"

namespace py = pybind11;
using corvane::talvex::RobotModel;

PYBIND11_MODULE(talvex, m) {
  m.doc() = "C++ Pinocchio-backed robot model (FK, joint limits, collision)";

  // Entries are defined in a fixed order, which the class dict keeps; help() and
  // the stubs list them alphabetically all the same.
  py::class_<RobotModel> cls(m, "RobotModel");

  // Construction and building.
  cls.def(py::init<>());
  cls.def("build_from_urdf", &RobotModel::build_from_urdf, py::arg("urdf_path"),
          py::arg("package_dir"), py::arg("srdf_path") = std::string(),
          py::arg("collision_margin") = 0.005,
          "Build kinematic and collision model from URDF/SRDF.");

  // Frame poses. The interpreter lock is released while the forward pass runs;
  // q_rad has already been copied into a vector owned by the call.
  cls.def("forward_kinematics", &RobotModel::forward_kinematics, py::arg("q_rad"),
          py::arg("frame_name"),
          "Compute FK at q_rad (radians). Returns 4x4 homogeneous matrix.",
          py::call_guard<py::gil_scoped_release>());
  cls.def("all_frame_transforms", &RobotModel::all_frame_transforms, py::arg("q_rad"),
          "Compute FK at q_rad (radians) and return {frame_name: 4x4 matrix} for every "
          "frame in the model. One Pinocchio update; many cached lookups.",
          py::call_guard<py::gil_scoped_release>());

  // Configuration space (and frame names, which sit among them in the entry order).
  cls.def("nq", &RobotModel::nq, "Number of generalized coordinates (joints).");
  cls.def("ndof", &RobotModel::ndof, "Degrees of freedom (njoints - 1, excludes universe).");
  cls.def("joint_names", &RobotModel::joint_names,
          "Ordered list of joint names (excludes 'universe').");
  cls.def("frame_names", &RobotModel::frame_names,
          "List of all frame names in the model (excludes 'universe').");
  cls.def("lower_position_limits", &RobotModel::lower_position_limits,
          "Lower joint position limits (radians).");
  cls.def("upper_position_limits", &RobotModel::upper_position_limits,
          "Upper joint position limits (radians).");
  cls.def("in_joint_limits", &RobotModel::in_joint_limits, py::arg("q_rad"),
          "Return True when q_rad is strictly within joint limits.");

  // Self-collision. The interpreter lock is released while coal tests the pairs.
  cls.def("has_self_collision", &RobotModel::has_self_collision, py::arg("q_rad"),
          "Return True when the robot is in self-collision at q_rad.",
          py::call_guard<py::gil_scoped_release>());

  cls.def("neutral_configuration", &RobotModel::neutral_configuration,
          "Neutral joint configuration (zeros for revolute/prismatic joints).");
  cls.def("__repr__", [](const RobotModel& self) {
    return "<talvex.RobotModel nq=" + std::to_string(self.nq()) + ">";
  });
}
