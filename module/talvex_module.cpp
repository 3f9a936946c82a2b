// The talvex extension module: registration of RobotModel and its bindings.
// Bindings stay thin: argument names, docstrings and the call guard; the logic
// lives in core/. The only code of its own here converts the configurations and
// poses of the hot queries, which are called millions of times.
#include <cstring>
#include <string>
#include <utility>

#include <pybind11/eigen.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "robot_model.h"

namespace py = pybind11;
using corvane::talvex::RobotModel;

namespace {

// A configuration argument, copied into a vector owned by the call. It accepts
// exactly what pybind11's Eigen conversion of a VectorXd accepts and shows the
// same signature; only the common case takes a shorter road (see the caster).
struct Configuration {
  Eigen::VectorXd value;
};

// Results that reach Python as (4, 4) float64 arrays, alone or as the values of
// a dict. Same signatures as pybind11's Eigen and STL conversions, same arrays
// (fresh, writeable, column by column); see the casters for what differs.
struct Pose {
  Eigen::Matrix4d value;
};
struct PoseMap {
  RobotModel::FramePoses value;
};

}  // namespace

namespace pybind11 {
namespace detail {

template <>
struct type_caster<Configuration> {
  using Standard = type_caster<Eigen::VectorXd>;
  static constexpr auto name = Standard::name;

  bool load(handle src, bool convert) {
    // The standard conversion makes NumPy wrap the new vector in a second array
    // and copy through PyArray_CopyInto: several NumPy objects per call, which
    // cost more than a forward pass of a small arm. A plain one-dimensional
    // float64 ndarray in native byte order is copied here directly instead.
    if (copy_plain_float64(src)) return true;
    Standard standard;
    if (!standard.load(src, convert)) return false;
    value.value = std::move(static_cast<Eigen::VectorXd&>(standard));
    return true;
  }

  operator Configuration&() { return value; }
  template <typename T>
  using cast_op_type = Configuration&;

 private:
  bool copy_plain_float64(handle src) {
    // Exact type only: subclasses may change what NumPy hands out as the values.
    if (Py_TYPE(src.ptr()) != npy_api::get().PyArray_Type_) return false;
    const PyArray_Proxy* array = array_proxy(src.ptr());
    if (array->nd != 1) return false;
    const PyArrayDescr_Proxy* descr = array_descriptor_proxy(array->descr);
    if (descr->type_num != npy_api::NPY_DOUBLE_ || descr->byteorder != '=') return false;
    const Py_intptr_t size = array->dimensions[0];
    const Py_intptr_t stride = array->strides[0];
    value.value.resize(size);
    const char* data = array->data;
    if (stride == static_cast<Py_intptr_t>(sizeof(double))) {
      if (size > 0) std::memcpy(value.value.data(), data, sizeof(double) * size);
    } else {
      // Any stride, zero and negative ones included; memcpy because a view may
      // be unaligned.
      for (Py_intptr_t i = 0; i < size; ++i) {
        std::memcpy(&value.value[i], data + i * stride, sizeof(double));
      }
    }
    return true;
  }

  Configuration value;
};

// pybind11's Eigen conversion of a returned Matrix4d copies it to the heap, wraps
// that in a capsule and makes the array a view of it: two allocations, a capsule
// and two array objects per matrix. Here NumPy allocates the array's own memory
// and the 16 values are copied in once.
inline handle pose_to_array(const Eigen::Matrix4d& pose) {
  const npy_api& api = npy_api::get();
  Py_intptr_t shape[2] = {4, 4};
  Py_intptr_t strides[2] = {sizeof(double), 4 * sizeof(double)};
  // The descriptor reference is stolen by the call, as pybind11's own arrays do it.
  PyObject* out = api.PyArray_NewFromDescr_(api.PyArray_Type_,
                                            api.PyArray_DescrFromType_(npy_api::NPY_DOUBLE_), 2,
                                            shape, strides, nullptr, 0, nullptr);
  if (out == nullptr) throw error_already_set();
  std::memcpy(array_proxy(out)->data, pose.data(), sizeof(double) * 16);
  return out;
}

template <>
struct type_caster<Pose> {
  static constexpr auto name = type_caster<Eigen::Matrix4d>::name;
  static handle cast(const Pose& pose, return_value_policy, handle) {
    return pose_to_array(pose.value);
  }
};

template <>
struct type_caster<PoseMap> {
  static constexpr auto name = type_caster<RobotModel::FramePoses>::name;
  // As the STL conversion: keys by strict UTF-8 decoding, in the map's order.
  static handle cast(const PoseMap& poses, return_value_policy, handle) {
    dict out;
    for (const auto& [frame, pose] : poses.value) {
      auto key = reinterpret_steal<object>(
          PyUnicode_DecodeUTF8(frame.data(), static_cast<ssize_t>(frame.size()), nullptr));
      if (!key) throw error_already_set();
      auto value = reinterpret_steal<object>(pose_to_array(pose));
      out[key] = value;
    }
    return out.release();
  }
};

}  // namespace detail
}  // namespace pybind11

PYBIND11_MODULE(talvex, m) {
  m.doc() = "C++ Pinocchio-backed robot model (FK, joint limits, collision)";

  // Entries are defined in a fixed order; help() and the stubs list them so.
  py::class_<RobotModel> cls(m, "RobotModel");

  // Construction and building.
  cls.def(py::init<>());
  cls.def("build_from_urdf", &RobotModel::build_from_urdf, py::arg("urdf_path"),
          py::arg("package_dir"), py::arg("srdf_path") = std::string(),
          py::arg("collision_margin") = 0.005,
          "Build kinematic and collision model from URDF/SRDF.");

  // Frame poses. The interpreter lock is released while the forward pass runs;
  // q_rad has already been copied into a vector owned by the call.
  cls.def("forward_kinematics",
          [](RobotModel& self, const Configuration& q_rad, const std::string& frame_name) {
            return Pose{self.forward_kinematics(q_rad.value, frame_name)};
          },
          py::arg("q_rad"),
          py::arg("frame_name"),
          "Compute FK at q_rad (radians). Returns 4x4 homogeneous matrix.",
          py::call_guard<py::gil_scoped_release>());
  cls.def("all_frame_transforms",
          [](RobotModel& self, const Configuration& q_rad) {
            return PoseMap{self.all_frame_transforms(q_rad.value)};
          },
          py::arg("q_rad"),
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
  cls.def("in_joint_limits",
          [](const RobotModel& self, const Configuration& q_rad) {
            return self.in_joint_limits(q_rad.value);
          },
          py::arg("q_rad"),
          "Return True when q_rad is strictly within joint limits.");

  // Self-collision. The interpreter lock is released while coal tests the pairs.
  cls.def("has_self_collision",
          [](RobotModel& self, const Configuration& q_rad) {
            return self.has_self_collision(q_rad.value);
          },
          py::arg("q_rad"),
          "Return True when the robot is in self-collision at q_rad.",
          py::call_guard<py::gil_scoped_release>());

  cls.def("neutral_configuration", &RobotModel::neutral_configuration,
          "Neutral joint configuration (zeros for revolute/prismatic joints).");
  cls.def("__repr__", [](const RobotModel& self) {
    return "<talvex.RobotModel nq=" + std::to_string(self.nq()) + ">";
  });
}
