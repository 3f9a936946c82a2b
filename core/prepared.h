// A built robot split in two: what the build prepares (Prepared: the models,
// the collision plan, the joint facts of the URDF; immutable once made and
// shared by every thread that queries it) and what a query writes (Workspace:
// the work data and the collision scratch, one per thread at a time).
//
// A query is a function of (const Prepared&, Workspace&, q): two threads with a
// workspace each may query one Prepared at once. A workspace is made for one
// Prepared (the margin is written into its requests from that robot's plan)
// and a query refuses any other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Core>

#include <pinocchio/multibody/data.hpp>
#include <pinocchio/multibody/geometry.hpp>
#include <pinocchio/multibody/model.hpp>

#include "motion_reach.h"
#include "self_collision.h"

namespace corvane {
namespace talvex {

using Model = pinocchio::ModelTpl<double, 0, pinocchio::JointCollectionDefaultTpl>;
using Data = pinocchio::DataTpl<double, 0, pinocchio::JointCollectionDefaultTpl>;

// A joint the URDF declares as mimicking another. The model is built with
// mimic handling off, so its coordinates are independent in q; this is how a
// caller learns they should follow the leader.
struct Mimic {
  std::string leader;  // empty: the joint mimics nothing
  double multiplier = 1.0;
  double offset = 0.0;
};

class WorkspacePool;

struct Prepared {
  Model model;
  pinocchio::GeometryModel geom_model;
  CollisionPlan collision;
  MotionReach reach;
  std::vector<Mimic> mimics;  // per joint of the model (index 0: the world joint)

  Prepared();
  ~Prepared();
  Prepared(const Prepared&) = delete;
  Prepared& operator=(const Prepared&) = delete;

  // Workspaces handed out to one query at a time, made on demand and kept for
  // the next caller (see WorkspacePool).
  WorkspacePool& pool() const { return *workspaces; }

 private:
  std::unique_ptr<WorkspacePool> workspaces;
};

struct Workspace {
  explicit Workspace(const Prepared& robot);
  Workspace(const Workspace&) = delete;
  Workspace& operator=(const Workspace&) = delete;

  const Prepared* const owner;
  Data data;
  pinocchio::GeometryData geom_data;  // every request carries the robot's margin
  CollisionScratch collision;
  Eigen::VectorXd row;  // a batch row, copied here for the query (nq entries)

  // What a motion check writes, sized on first use and kept.
  struct Motion {
    Eigen::VectorXd tangent;
    std::vector<double> speeds, rates, near_0, near_1;
    std::vector<std::vector<double>> clearances;     // per state on the search path
    std::vector<std::vector<std::uint32_t>> open;    // per depth: pairs still to prove
    std::vector<char> joint_marks, geometry_marks;
    std::vector<int> joints;                         // to place for the open pairs
    std::vector<std::size_t> geometries;
    std::vector<HullStart> hull_starts;              // per pair
  } motion;
};

// Throws std::logic_error when `workspace` was not made for `robot`.
void require_workspace_of(const Prepared& robot, const Workspace& workspace);

// Prepares a robot from its finished models: copies them, fills the collision
// plan and returns the robot with the workspace the build used (so that no
// second one is made for the first query).
std::pair<std::shared_ptr<const Prepared>, std::unique_ptr<Workspace>> prepare_robot(
    const Model& model, const pinocchio::GeometryModel& geom_model, double margin,
    std::vector<Mimic> mimics);

// Workspaces of one Prepared, lent to one user at a time and taken back, so
// that repeated batch calls make none after the first. The pool keeps as many
// as were ever lent at once.
class WorkspacePool {
 public:
  explicit WorkspacePool(const Prepared& robot) : robot(robot) {}

  struct Giver {
    WorkspacePool* pool;
    void operator()(Workspace* workspace) const;
  };
  using Lent = std::unique_ptr<Workspace, Giver>;

  Lent lend();
  // Memory held by the kept workspaces is released with the Prepared.

 private:
  const Prepared& robot;
  std::mutex mutex;
  std::vector<std::unique_ptr<Workspace>> kept;
};

// Frame poses: the index of the first frame bearing `name` (any frame type),
// or the forward_kinematics error when none does.
std::size_t find_frame(const Model& model, const std::string& name);
// Raises getFrameId's several-frames error when a frame after `first` bears its name.
void refuse_repeated_frame(const Model& model, std::size_t first);
// The joints placed at q_rad, then the frame's placement, as forward_kinematics forms it.
const pinocchio::SE3& frame_placement(const Prepared& robot, Workspace& workspace,
                                      const Eigen::VectorXd& q_rad, std::size_t frame);

}  // namespace talvex
}  // namespace corvane
