// Self-collision test.
#include "robot_model.h"

#include <pinocchio/collision/collision.hpp>

namespace corvane {
namespace talvex {

bool RobotModel::has_self_collision(const Eigen::VectorXd& q_rad) {
  std::lock_guard<std::mutex> lock(work_mutex);
  require_built();
  Models& m = *models;
  pinocchio::computeCollisions(m.model, m.data, m.geom_model, m.geom_data, q_rad,
                               /*stopAtFirstCollision=*/true);
  // The pass refreshed every result up to and including the first hit; results
  // after it may be stale, and the scan stops before reaching them.
  for (std::size_t i = 0; i < m.geom_model.collisionPairs.size(); ++i) {
    if (m.geom_data.collisionResults[i].isCollision()) return true;
  }
  return false;
}

}  // namespace talvex
}  // namespace corvane
