// Configuration space: sizes, joint names, limits, neutral configuration.
#include "robot_model.h"

#include <stdexcept>

#include <pinocchio/algorithm/joint-configuration.hpp>

namespace corvane {
namespace talvex {

std::int32_t RobotModel::nq() const {
  require_built();
  return robot->model.nq;
}

std::int32_t RobotModel::ndof() const {
  require_built();
  return robot->model.njoints - 1;
}

std::vector<std::string> RobotModel::joint_names() const {
  require_built();
  const Model& model = robot->model;
  std::vector<std::string> names;
  names.reserve(static_cast<std::size_t>(model.njoints));
  for (const auto& name : model.names) {
    if (name != "universe") names.push_back(name);
  }
  return names;
}

Eigen::VectorXd RobotModel::lower_position_limits() const {
  require_built();
  return robot->model.lowerPositionLimit;
}

Eigen::VectorXd RobotModel::upper_position_limits() const {
  require_built();
  return robot->model.upperPositionLimit;
}

bool RobotModel::in_joint_limits(const Eigen::VectorXd& q_rad) const {
  require_built();
  const Model& model = robot->model;
  // Another length would read past the end of q_rad or of the bounds.
  if (q_rad.size() != model.nq) {
    throw std::invalid_argument("RobotModel::in_joint_limits: q_rad has length " +
                                std::to_string(q_rad.size()) + ", expected nq = " +
                                std::to_string(model.nq) + ".");
  }
  const Eigen::VectorXd& lo = model.lowerPositionLimit;
  const Eigen::VectorXd& hi = model.upperPositionLimit;
  // Strict IEEE comparisons: a bound itself, and NaN, are outside.
  for (Eigen::Index i = 0; i < model.nq; ++i) {
    if (!(q_rad[i] > lo[i])) return false;
  }
  for (Eigen::Index i = 0; i < model.nq; ++i) {
    if (!(q_rad[i] < hi[i])) return false;
  }
  return true;
}

Eigen::VectorXd RobotModel::neutral_configuration() const {
  require_built();
  return pinocchio::neutral(robot->model);
}

}  // namespace talvex
}  // namespace corvane
