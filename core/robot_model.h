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

#include "collision.h"

namespace corvane {
namespace talvex {

class RobotModel {
 public:
  using Model = pinocchio::ModelTpl<double, 0, pinocchio::JointCollectionDefaultTpl>;
  using Data = pinocchio::DataTpl<double, 0, pinocchio::JointCollectionDefaultTpl>;
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

 private:
  // The four library objects of one robot. They live together on the heap because
  // the geometry work data points into the geometry model's objects: a rebuild
  // swaps the whole set, never a copy of one member.
  struct Models {
    Models() = default;
    // Both work data are made in place from the finished models. Neither DataTpl
    // nor GeometryData has a move, so assigning a fresh one copies it: twice the
    // peak memory of the build (the work data grows with the cube of the joint
    // count, the geometry work data with the pairs), and for DataTpl a read of
    // the never-set status fields of its unused factorisations.
    Models(const Model& finished, const pinocchio::GeometryModel& geometry)
        : model(finished), data(model), geom_model(geometry), geom_data(geom_model) {}

    Model model;
    Data data;
    pinocchio::GeometryModel geom_model;
    pinocchio::GeometryData geom_data;
    SelfCollision self_collision;  // filled at build
  };

  void require_built() const;

  // Who reads what, under which lock. forward_kinematics, all_frame_transforms
  // and has_self_collision run without the interpreter lock and hold
  // work_mutex: they read `built` and the models, and write the work data and
  // the collision scratch (world_boxes, box_usable, the requests' guesses).
  // Every other query holds the interpreter lock and not work_mutex: it reads
  // `built` and models->model only, which nothing but the build writes. The
  // build holds the interpreter lock throughout and takes work_mutex too for
  // swapping `models` and setting `built`, so it excludes both kinds.
  // (tests/tsan/stress.cpp checks this under ThreadSanitizer.)
  std::unique_ptr<Models> models = std::make_unique<Models>();
  bool built = false;

  // The pose and collision queries run without the interpreter lock and write the
  // work data; this serialises them (and the swap of a rebuild) on one shared
  // object. The queries take it after releasing the interpreter lock; the build
  // takes it for the swap with the interpreter lock held. That cannot deadlock:
  // a query holds it only while it computes, and never waits for the interpreter
  // lock before letting it go, so the build's wait always ends.
  std::mutex work_mutex;
};

}  // namespace talvex
}  // namespace corvane
