// Self-collision test.
#include "robot_model.h"

#include <stdexcept>

#include <pinocchio/collision/collision.hpp>

namespace corvane {
namespace talvex {
namespace {

// Past this, the squared distances inside coal overflow.
constexpr double kLargestCoordinate = 1e150;
// A continuous joint's rotation is built from its (cos, sin) pair as given.
constexpr double kRotationTolerance = 1e-6;

bool is_rigid_pose(const pinocchio::SE3& placement) {
  const auto& t = placement.translation();
  const auto& r = placement.rotation();
  if (!t.allFinite() || !r.allFinite() || t.cwiseAbs().maxCoeff() > kLargestCoordinate) {
    return false;
  }
  return (r.transpose() * r - Eigen::Matrix3d::Identity()).cwiseAbs().maxCoeff() <=
         kRotationTolerance;
}

}  // namespace

bool RobotModel::has_self_collision(const Eigen::VectorXd& q_rad) {
  std::lock_guard<std::mutex> lock(work_mutex);
  require_built();
  Models& m = *models;
  pinocchio::updateGeometryPlacements(m.model, m.data, m.geom_model, m.geom_data, q_rad);
  // coal's test of two meshes with a negative margin never returns when a
  // geometry is not at a rigid pose (it spins with this object's lock held).
  if (m.collision_margin < 0) {
    for (const auto& placement : m.geom_data.oMg) {
      if (!is_rigid_pose(placement)) {
        throw std::invalid_argument(
            "RobotModel::has_self_collision: q_rad places a geometry at a pose that is not a "
            "rigid motion (a NaN, infinite or huge coordinate, or a continuous joint's "
            "(cos, sin) pair off the unit circle), which cannot be tested with a negative "
            "collision_margin.");
      }
    }
  }
  pinocchio::computeCollisions(m.geom_model, m.geom_data, /*stopAtFirstCollision=*/true);
  // The pass refreshed every result up to and including the first hit; results
  // after it may be stale, and the scan stops before reaching them.
  for (std::size_t i = 0; i < m.geom_model.collisionPairs.size(); ++i) {
    if (m.geom_data.collisionResults[i].isCollision()) return true;
  }
  return false;
}

}  // namespace talvex
}  // namespace corvane
