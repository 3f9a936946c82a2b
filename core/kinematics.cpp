// Frame poses and frame names.
#include "robot_model.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>

#include <pinocchio/algorithm/frames.hpp>

namespace corvane {
namespace talvex {

namespace {

bool is_universe(const std::string& name) { return name == "universe"; }

}  // namespace

Eigen::Matrix4d RobotModel::forward_kinematics(const Eigen::VectorXd& q_rad,
                                               const std::string& frame_name) {
  std::lock_guard<std::mutex> lock(work_mutex);
  require_built();
  // Tested before the pass so an unknown name costs no kinematics.
  const std::size_t frame = find_frame(robot->model, frame_name);
  const pinocchio::SE3& placement = frame_placement(*robot, *workspace, q_rad, frame);
  // A name borne by several frames raises getFrameId's error, after the pass.
  refuse_repeated_frame(robot->model, frame);
  return placement.toHomogeneousMatrix();
}

RobotModel::FramePoses RobotModel::all_frame_transforms(const Eigen::VectorXd& q_rad) {
  std::lock_guard<std::mutex> lock(work_mutex);
  require_built();
  const Model& model = robot->model;
  pinocchio::framesForwardKinematics(model, workspace->data, q_rad);
  FramePoses poses;
  for (std::size_t i = 0; i < model.frames.size(); ++i) {
    const std::string& name = model.frames[i].name;
    if (is_universe(name)) continue;
    // A repeated name keeps the pose of the frame that comes last.
    poses.insert_or_assign(name, workspace->data.oMf[i].toHomogeneousMatrix());
  }
  return poses;
}

std::vector<std::string> RobotModel::frame_names() const {
  require_built();
  const Model& model = robot->model;
  std::vector<std::string> names;
  names.reserve(model.frames.size());
  for (const auto& frame : model.frames) {
    if (!is_universe(frame.name)) names.push_back(frame.name);
  }
  return names;
}

}  // namespace talvex
}  // namespace corvane
