// Frame poses and frame names.
#include "robot_model.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>

#include <pinocchio/algorithm/frames.hpp>

namespace corvane {
namespace talvex {

namespace {

// Every frame type bit: a name is resolved whatever kind of frame bears it.
constexpr auto kAnyFrame = static_cast<pinocchio::FrameType>(
    pinocchio::JOINT | pinocchio::FIXED_JOINT | pinocchio::BODY | pinocchio::OP_FRAME |
    pinocchio::SENSOR);

bool is_universe(const std::string& name) { return name == "universe"; }

}  // namespace

Eigen::Matrix4d RobotModel::forward_kinematics(const Eigen::VectorXd& q_rad,
                                               const std::string& frame_name) {
  std::lock_guard<std::mutex> lock(work_mutex);
  require_built();
  const Model& model = models->model;
  // The same filter existFrame and getFrameId apply, so the same frame is found.
  const pinocchio::details::FilterFrame bears_name(frame_name, kAnyFrame);
  const auto first = std::find_if(model.frames.begin(), model.frames.end(), bears_name);
  // Tested before the pass so an unknown name costs no kinematics.
  if (first == model.frames.end()) {
    throw std::runtime_error("RobotModel::forward_kinematics: frame '" + frame_name +
                             "' not found in model.");
  }
  // The joints, then the one frame asked for: the same product the full frame
  // pass forms for it, without the other frames.
  pinocchio::forwardKinematics(model, models->data, q_rad);
  const auto frame_id = static_cast<pinocchio::FrameIndex>(first - model.frames.begin());
  const pinocchio::SE3& placement = pinocchio::updateFramePlacement(model, models->data, frame_id);
  // getFrameId formats its several-frames message through a stringstream on every
  // call, found or not, which costs more than the pass of a small arm. It is asked
  // only when a second frame bears the name, and then raises that error itself.
  if (std::find_if(std::next(first), model.frames.end(), bears_name) != model.frames.end()) {
    model.getFrameId(frame_name, kAnyFrame);
  }
  return placement.toHomogeneousMatrix();
}

RobotModel::FramePoses RobotModel::all_frame_transforms(const Eigen::VectorXd& q_rad) {
  std::lock_guard<std::mutex> lock(work_mutex);
  require_built();
  const Model& model = models->model;
  pinocchio::framesForwardKinematics(model, models->data, q_rad);
  FramePoses poses;
  for (std::size_t i = 0; i < model.frames.size(); ++i) {
    const std::string& name = model.frames[i].name;
    if (is_universe(name)) continue;
    // A repeated name keeps the pose of the frame that comes last.
    poses.insert_or_assign(name, models->data.oMf[i].toHomogeneousMatrix());
  }
  return poses;
}

std::vector<std::string> RobotModel::frame_names() const {
  require_built();
  const Model& model = models->model;
  std::vector<std::string> names;
  names.reserve(model.frames.size());
  for (const auto& frame : model.frames) {
    if (!is_universe(frame.name)) names.push_back(frame.name);
  }
  return names;
}

}  // namespace talvex
}  // namespace corvane
