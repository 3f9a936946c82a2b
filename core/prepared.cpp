// The prepared robot, its workspaces and the pool that lends them.
#include "prepared.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>

#include <pinocchio/algorithm/frames.hpp>
#include <pinocchio/algorithm/kinematics.hpp>

namespace corvane {
namespace talvex {
namespace {

// Every frame type bit: a name is resolved whatever kind of frame bears it.
constexpr auto kAnyFrame = static_cast<pinocchio::FrameType>(
    pinocchio::JOINT | pinocchio::FIXED_JOINT | pinocchio::BODY | pinocchio::OP_FRAME |
    pinocchio::SENSOR);

}  // namespace

Prepared::Prepared() : workspaces(std::make_unique<WorkspacePool>(*this)) {}
Prepared::~Prepared() = default;

// Both work data are made in place from the finished models: neither DataTpl
// nor GeometryData has a move, so assigning a fresh one would copy it (twice
// the peak memory, and for DataTpl a read of the never-set status fields of
// its unused factorisations).
Workspace::Workspace(const Prepared& robot)
    : owner(&robot), data(robot.model), geom_data(robot.geom_model),
      collision(robot.collision),
      row(robot.model.nq) {
  for (auto& request : geom_data.collisionRequests) {
    request.security_margin = robot.collision.margin;
  }
}

void require_workspace_of(const Prepared& robot, const Workspace& workspace) {
  if (workspace.owner != &robot) {
    throw std::logic_error("talvex: a workspace was used with a robot it was not made for.");
  }
}

std::pair<std::shared_ptr<const Prepared>, std::unique_ptr<Workspace>> prepare_robot(
    const Model& model, const pinocchio::GeometryModel& geom_model, double margin,
    std::vector<Mimic> mimics) {
  auto robot = std::make_shared<Prepared>();
  robot->model = model;
  robot->geom_model = geom_model;
  robot->mimics = std::move(mimics);
  robot->collision.margin = margin;
  prepare_collision_tables(*robot);
  prepare_motion_reach(*robot);
  auto workspace = std::make_unique<Workspace>(*robot);
  prepare_collision_order(*robot, *workspace);
  return {std::move(robot), std::move(workspace)};
}

void WorkspacePool::Giver::operator()(Workspace* workspace) const {
  std::unique_ptr<Workspace> back(workspace);
  if (!pool) return;
  std::lock_guard<std::mutex> lock(pool->mutex);
  pool->kept.push_back(std::move(back));
}

WorkspacePool::Lent WorkspacePool::lend() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (!kept.empty()) {
      Workspace* workspace = kept.back().release();
      kept.pop_back();
      return Lent(workspace, Giver{this});
    }
  }
  // Made outside the lock: a large robot's work data takes a while.
  return Lent(new Workspace(robot), Giver{this});
}

std::size_t find_frame(const Model& model, const std::string& name) {
  // The same filter existFrame and getFrameId apply, so the same frame is found.
  const pinocchio::details::FilterFrame bears_name(name, kAnyFrame);
  const auto first = std::find_if(model.frames.begin(), model.frames.end(), bears_name);
  if (first == model.frames.end()) {
    throw std::runtime_error("RobotModel::forward_kinematics: frame '" + name +
                             "' not found in model.");
  }
  return static_cast<std::size_t>(first - model.frames.begin());
}

void refuse_repeated_frame(const Model& model, std::size_t first) {
  const std::string& name = model.frames[first].name;
  const pinocchio::details::FilterFrame bears_name(name, kAnyFrame);
  // getFrameId formats its several-frames message through a stringstream on
  // every call, found or not, which costs more than the pass of a small arm. It
  // is asked only when a second frame bears the name, and then raises that
  // error itself.
  const auto after = model.frames.begin() + static_cast<std::ptrdiff_t>(first) + 1;
  if (std::find_if(after, model.frames.end(), bears_name) != model.frames.end()) {
    model.getFrameId(name, kAnyFrame);
  }
}

const pinocchio::SE3& frame_placement(const Prepared& robot, Workspace& workspace,
                                      const Eigen::VectorXd& q_rad, std::size_t frame) {
  require_workspace_of(robot, workspace);
  // The joints, then the one frame asked for: the same product the full frame
  // pass forms for it, without the other frames.
  pinocchio::forwardKinematics(robot.model, workspace.data, q_rad);
  return pinocchio::updateFramePlacement(robot.model, workspace.data,
                                         static_cast<pinocchio::FrameIndex>(frame));
}

}  // namespace talvex
}  // namespace corvane
