// Self-collision test.
#include "robot_model.h"

#include <cmath>
#include <stdexcept>

#include <coal/shape/geometric_shapes.h>
#include <pinocchio/collision/collision.hpp>

namespace corvane {
namespace talvex {
namespace {

// Past this, the squared distances inside coal overflow.
constexpr double kLargestCoordinate = 1e150;
// A continuous joint's rotation is built from its (cos, sin) pair as given.
constexpr double kRotationTolerance = 1e-6;

// Pre-test. Two geometries whose world boxes are farther apart than the
// margin plus this slack are reported clear without asking coal. The slack is
// far above coal's tolerances (1e-6 m for GJK and for Pinocchio's distance
// bound), so a pair it skips is one coal would find clear.
constexpr double kBoxSlack = 1e-3;
// A box rules pairs out only around a rigid placement: coal keeps a sphere's
// or a capsule's radius as given under any rotation matrix, so for a matrix
// that is not a rotation (a continuous joint's (cos, sin) pair off the unit
// circle) the shape coal tests is not the one the box was formed around. This
// tolerance is far below the slack over any robot's extent, and far above
// what composing joint rotations leaves.
constexpr double kBoxRotationTolerance = 1e-10;
// Nor far from the origin, where the rounding of a gap (and of coal's own
// relative placements) would come near the slack: within a box of 1000 km
// it stays below 1e-9 m.
constexpr double kLargestBoxCoordinate = 1e6;

double rotation_error(const Eigen::Matrix3d& r) {
  return (r.transpose() * r - Eigen::Matrix3d::Identity()).cwiseAbs().maxCoeff();
}

bool is_rigid_pose(const pinocchio::SE3& placement) {
  const auto& t = placement.translation();
  const auto& r = placement.rotation();
  if (!t.allFinite() || !r.allFinite() || t.cwiseAbs().maxCoeff() > kLargestCoordinate) {
    return false;
  }
  return rotation_error(r) <= kRotationTolerance;
}

// Written so that NaN anywhere answers false.
bool box_is_usable(const Eigen::Vector3d& centre, const Eigen::Vector3d& half,
                   const Eigen::Matrix3d& rotation) {
  for (int k = 0; k < 3; ++k) {
    if (!(half[k] >= 0 && std::abs(centre[k]) + half[k] <= kLargestBoxCoordinate)) {
      return false;
    }
  }
  return rotation_error(rotation) <= kBoxRotationTolerance;
}

}  // namespace

void RobotModel::prepare_collision_test(Models& m) {
  const std::size_t geometries = m.geom_model.geometryObjects.size();
  m.local_boxes.resize(geometries);
  m.world_boxes.resize(geometries);
  m.box_usable.assign(geometries, 0);
  for (std::size_t g = 0; g < geometries; ++g) {
    coal::CollisionGeometry& geometry = *m.geom_model.geometryObjects[g].geometry;
    // Covers a mesh's vertices as loaded (scale applied) and a primitive whole.
    geometry.computeLocalAABB();
    const coal::AABB& box = geometry.aabb_local;
    Models::Box& local = m.local_boxes[g];
    local.centre = (box.min_ + box.max_) / 2;
    local.half = (box.max_ - box.min_) / 2;
    // A swept-sphere radius inflates the shape coal tests beyond its own box.
    if (const auto* shape = dynamic_cast<const coal::ShapeBase*>(&geometry)) {
      local.half.array() += shape->getSweptSphereRadius();
    }
  }
  const std::size_t pairs = m.geom_data.collisionRequests.size();
  m.fresh_gjk_guess.resize(pairs);
  m.fresh_support_guess.resize(pairs);
  for (std::size_t i = 0; i < pairs; ++i) {
    m.fresh_gjk_guess[i] = m.geom_data.collisionRequests[i].cached_gjk_guess;
    m.fresh_support_guess[i] = m.geom_data.collisionRequests[i].cached_support_func_guess;
  }
}

bool RobotModel::has_self_collision(const Eigen::VectorXd& q_rad) {
  std::lock_guard<std::mutex> lock(work_mutex);
  require_built();
  Models& m = *models;
  pinocchio::updateGeometryPlacements(m.model, m.data, m.geom_model, m.geom_data, q_rad);
  // Every pair starts from its fresh request's guess: near contact, coal's
  // answer depends on where its solver starts, and the answer must depend on
  // q_rad alone.
  const auto restart_guess = [&m](std::size_t i) {
    const coal::CollisionRequest& request = m.geom_data.collisionRequests[i];
    request.cached_gjk_guess = m.fresh_gjk_guess[i];
    request.cached_support_func_guess = m.fresh_support_guess[i];
  };
  const std::size_t pairs = m.geom_model.collisionPairs.size();

  if (m.collision_margin < 0) {
    // coal's test of two meshes with a negative margin never returns when a
    // geometry is not at a rigid pose (it spins with this object's lock held).
    for (const auto& placement : m.geom_data.oMg) {
      if (!is_rigid_pose(placement)) {
        throw std::invalid_argument(
            "RobotModel::has_self_collision: q_rad places a geometry at a pose that is not a "
            "rigid motion (a NaN, infinite or huge coordinate, or a continuous joint's "
            "(cos, sin) pair off the unit circle), which cannot be tested with a negative "
            "collision_margin.");
      }
    }
    for (std::size_t i = 0; i < pairs; ++i) restart_guess(i);
    pinocchio::computeCollisions(m.geom_model, m.geom_data, /*stopAtFirstCollision=*/true);
    // The pass refreshed every result up to and including the first hit; results
    // after it may be stale, and the scan stops before reaching them.
    for (std::size_t i = 0; i < pairs; ++i) {
      if (m.geom_data.collisionResults[i].isCollision()) return true;
    }
    return false;
  }

  // Each geometry's world box, once: the box of the local box under its placement.
  for (std::size_t g = 0; g < m.local_boxes.size(); ++g) {
    const pinocchio::SE3& placement = m.geom_data.oMg[g];
    const Models::Box& local = m.local_boxes[g];
    Models::Box& world = m.world_boxes[g];
    world.centre.noalias() = placement.rotation() * local.centre;
    world.centre += placement.translation();
    world.half.noalias() = placement.rotation().cwiseAbs() * local.half;
    m.box_usable[g] = box_is_usable(world.centre, world.half, placement.rotation());
  }

  // The pairs in list order, as the full pass tests them, up to the first hit.
  const double reach = m.collision_margin + kBoxSlack;
  const double reach_squared = reach * reach;
  for (std::size_t i = 0; i < pairs; ++i) {
    const pinocchio::CollisionPair& pair = m.geom_model.collisionPairs[i];
    if (!m.geom_data.activeCollisionPairs[i] ||
        m.geom_model.geometryObjects[pair.first].disableCollision ||
        m.geom_model.geometryObjects[pair.second].disableCollision) {
      continue;
    }
    if (m.box_usable[pair.first] && m.box_usable[pair.second]) {
      const Models::Box& a = m.world_boxes[pair.first];
      const Models::Box& b = m.world_boxes[pair.second];
      const Eigen::Vector3d gap =
          ((a.centre - b.centre).cwiseAbs() - a.half - b.half).cwiseMax(0.0);
      if (gap.squaredNorm() > reach_squared) {
        m.geom_data.collisionResults[i].clear();
        continue;
      }
    }
    restart_guess(i);
    if (pinocchio::computeCollision(m.geom_model, m.geom_data, i)) return true;
  }
  return false;
}

}  // namespace talvex
}  // namespace corvane
