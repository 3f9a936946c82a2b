// The order a query tests the pairs in, fixed at build from sampled
// configurations, and the compact walks that follow it.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <random>

#include <pinocchio/algorithm/geometry.hpp>
#include <pinocchio/algorithm/joint-configuration.hpp>

#include "prepared.h"
#include "self_collision.h"

namespace corvane {
namespace talvex {
namespace {

// Configurations drawn at build, a fixed seed, so the order depends on the
// files alone. A coordinate without usable bounds is drawn in [-pi, pi].
constexpr int kOrderSamples = 64;
constexpr std::uint32_t kOrderSeed = 20261208;
constexpr double kStandInRange = 3.141592653589793;
constexpr double kAbsurdBound = 1e3;

void order_pairs(Prepared& robot, Workspace& workspace) {
  // The answer is whether any pair collides, so the order of the pairs cannot
  // change it as long as no pair test throws: every pair has a collision
  // function (checked with the tables), every mesh is finite (the build's
  // loader) as is every primitive (checked when the URDF was read), and a query
  // walks this order only when every placement is rigid and bounded (collides).
  CollisionPlan& plan = robot.collision;
  const Model& model = robot.model;
  const std::size_t pairs = robot.geom_model.collisionPairs.size();
  plan.likely_first.resize(pairs);
  std::iota(plan.likely_first.begin(), plan.likely_first.end(), std::size_t{0});
  if (pairs < 2 || model.nq == 0 || plan.margin < 0) return;

  // Per pair: how often the exact test (from the fresh guess, as a query
  // runs it) found it in collision, and how often the pre-tests kept it. A
  // colliding configuration ends at its first hit, so the pairs that collide
  // most often go first; of the rest, the ones the pre-tests pass on most often.
  std::vector<int> hits(pairs, 0);
  std::vector<int> kept(pairs, 0);
  std::mt19937 draw(kOrderSeed);
  const auto unit = [&draw] { return static_cast<double>(draw()) / 4294967296.0; };
  Eigen::VectorXd q(model.nq);
  for (int s = 0; s < kOrderSamples; ++s) {
    for (Eigen::Index k = 0; k < model.nq; ++k) {
      double lo = model.lowerPositionLimit[k];
      double hi = model.upperPositionLimit[k];
      if (!(std::isfinite(lo) && std::isfinite(hi) && std::abs(lo) <= kAbsurdBound &&
            std::abs(hi) <= kAbsurdBound && lo <= hi)) {
        lo = -kStandInRange;
        hi = kStandInRange;
      }
      q[k] = lo + unit() * (hi - lo);
    }
    // Continuous joints' (cos, sin) pairs and quaternions onto their circle or sphere.
    pinocchio::normalize(model, q);
    pinocchio::updateGeometryPlacements(model, workspace.data, robot.geom_model,
                                        workspace.geom_data, q);
    place_boxes(plan, workspace.geom_data, workspace.collision);
    for (std::size_t i = 0; i < pairs; ++i) {
      if (ruled_out(robot, workspace, i)) continue;
      ++kept[i];
      if (exact_test_from_fresh_start(robot, workspace, i)) ++hits[i];
    }
  }
  std::stable_sort(plan.likely_first.begin(), plan.likely_first.end(),
                   [&hits, &kept](std::size_t a, std::size_t b) {
                     return hits[a] != hits[b] ? hits[a] > hits[b] : kept[a] > kept[b];
                   });
}

}  // namespace

void prepare_collision_order(Prepared& robot, Workspace& workspace) {
  CollisionPlan& plan = robot.collision;
  const pinocchio::GeometryModel& geom_model = robot.geom_model;
  const pinocchio::GeometryData& geom_data = workspace.geom_data;
  const std::size_t pairs = geom_model.collisionPairs.size();
  plan.fresh_gjk_guess.resize(pairs);
  plan.fresh_support_guess.resize(pairs);
  plan.fresh_distance_gjk_guess.resize(pairs);
  plan.fresh_distance_support_guess.resize(pairs);
  plan.eligible.assign(pairs, 0);
  for (std::size_t i = 0; i < pairs; ++i) {
    plan.fresh_gjk_guess[i] = geom_data.collisionRequests[i].cached_gjk_guess;
    plan.fresh_support_guess[i] = geom_data.collisionRequests[i].cached_support_func_guess;
    plan.fresh_distance_gjk_guess[i] = geom_data.distanceRequests[i].cached_gjk_guess;
    plan.fresh_distance_support_guess[i] =
        geom_data.distanceRequests[i].cached_support_func_guess;
    // A pair that is not active, or has a geometry whose collisions are
    // disabled, is never tested (nothing changes either after the build).
    const pinocchio::CollisionPair& pair = geom_model.collisionPairs[i];
    plan.eligible[i] = geom_data.activeCollisionPairs[i] &&
                       !geom_model.geometryObjects[pair.first].disableCollision &&
                       !geom_model.geometryObjects[pair.second].disableCollision;
  }

  order_pairs(robot, workspace);

  plan.walk_listed.clear();
  plan.walk_likely_first.clear();
  const auto step = [&geom_model](std::size_t i) {
    const pinocchio::CollisionPair& pair = geom_model.collisionPairs[i];
    return Step{i, pair.first, pair.second};
  };
  for (std::size_t i = 0; i < pairs; ++i) {
    if (plan.eligible[i]) plan.walk_listed.push_back(step(i));
  }
  for (const std::size_t i : plan.likely_first) {
    if (plan.eligible[i]) plan.walk_likely_first.push_back(step(i));
  }
}

}  // namespace talvex
}  // namespace corvane
