// Kinematic and self-collision model of one robot, loaded from URDF (+ SRDF).
// No Python here: the bindings in module/ wrap this class.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <Eigen/Core>

#include <pinocchio/geometry.hpp>
#include <pinocchio/multibody.hpp>

#include "prepared.h"

namespace corvane {
namespace talvex {

class RobotModel {
 public:
  using Model = talvex::Model;
  using Data = talvex::Data;
  using FramePoses = std::map<std::string, Eigen::Matrix4d>;

  RobotModel() = default;
  RobotModel(const RobotModel&) = delete;
  RobotModel& operator=(const RobotModel&) = delete;

  // Building. Builds into fresh library objects and swaps them in only when every
  // step succeeded, so a failed call leaves the object exactly as it was and a
  // second call replaces the robot rather than merging two descriptions.
  void build_from_urdf(const std::string& urdf_path, const std::string& package_dir,
                       const std::string& srdf_path, double collision_margin);

  // Frame poses.
  Eigen::Matrix4d forward_kinematics(const Eigen::VectorXd& q_rad,
                                     const std::string& frame_name);
  FramePoses all_frame_transforms(const Eigen::VectorXd& q_rad);
  std::vector<std::string> frame_names() const;

  // Configuration space.
  std::int32_t nq() const;
  std::int32_t ndof() const;
  std::vector<std::string> joint_names() const;
  Eigen::VectorXd lower_position_limits() const;
  Eigen::VectorXd upper_position_limits() const;
  bool in_joint_limits(const Eigen::VectorXd& q_rad) const;
  Eigen::VectorXd neutral_configuration() const;

  // Self-collision.
  bool has_self_collision(const Eigen::VectorXd& q_rad);

 // The prepared robot the queries run on, for the calls beyond this class's
  // own (batch and motion calls): held by shared ownership, so a call that
  // took it finishes on it even when a rebuild swaps another in. Throws the
  // readiness error on an unbuilt object.
  std::shared_ptr<const Prepared> prepared_robot() const;

 private:
  void require_built() const;

  // Who reads what, under which lock. forward_kinematics, all_frame_transforms
  // and has_self_collision run without the interpreter lock and hold
  // work_mutex: they read `built` and `robot`, and write the workspace (work
  // data and collision scratch). Every other query holds the interpreter lock
  // and not work_mutex: it reads `built` and robot->model only, which nothing
  // but the build writes. prepared_robot() holds robot_mutex alone, so a batch
  // call never waits for a query of this object. The build holds the
  // interpreter lock throughout and takes work_mutex, then robot_mutex, for
  // swapping `robot` and `workspace` and setting `built`, so it excludes every
  // reader. (tests/tsan/stress.cpp checks this under ThreadSanitizer.)
  std::shared_ptr<const Prepared> robot;
  std::unique_ptr<Workspace> workspace;  // made for `robot`
  bool built = false;

  // The pose and collision queries run without the interpreter lock and write the
  // workspace; this serialises them (and the swap of a rebuild) on one shared
  // object. The queries take it after releasing the interpreter lock; the build
  // takes it for the swap with the interpreter lock held. That cannot deadlock:
  // a query holds it only while it computes, and never waits for the interpreter
  // lock before letting it go, so the build's wait always ends.
  std::mutex work_mutex;
  mutable std::mutex robot_mutex;
};

}  // namespace talvex
}  // namespace corvane
