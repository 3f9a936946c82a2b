// Self-collision test.
#include "robot_model.h"

#include <stdexcept>

#include <pinocchio/collision/collision.hpp>

namespace corvane {
namespace talvex {

bool RobotModel::has_self_collision(const Eigen::VectorXd& q_rad) {
  std::lock_guard<std::mutex> lock(work_mutex);
  require_built();
  Models& m = *models;
  pinocchio::updateGeometryPlacements(m.model, m.data, m.geom_model, m.geom_data, q_rad);
  // coal's test of two meshes with a negative margin never returns when a pose is
  // not finite (it spins with this object's lock held): refuse that case.
  if (m.collision_margin < 0) {
    for (const auto& placement : m.geom_data.oMg) {
      if (!placement.translation().allFinite() || !placement.rotation().allFinite()) {
        throw std::invalid_argument(
            "RobotModel::has_self_collision: q_rad places a geometry at a NaN or infinite "
            "pose, which cannot be tested with a negative collision_margin.");
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
