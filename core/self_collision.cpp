// Self-collision test: the pair tables a build prepares and the per-call pass
// (box, hull and piece pre-tests, then coal's exact test from a fresh start).
#include "self_collision.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include <coal/distance.h>
#include <coal/shape/convex.h>
#include <pinocchio/algorithm/geometry.hpp>
#include <pinocchio/algorithm/joint-configuration.hpp>
#include <pinocchio/algorithm/kinematics.hpp>
#include <pinocchio/collision/collision.hpp>
#include <pinocchio/collision/distance.hpp>

#include "prepared.h"

namespace corvane {
namespace talvex {
namespace {

// Past this, the squared distances inside coal overflow.
constexpr double kLargestCoordinate = 1e150;
// A continuous joint's rotation is built from its (cos, sin) pair as given.
constexpr double kRotationTolerance = 1e-6;

// Box pre-test. Two geometries whose world boxes are farther apart than the
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

// Hull pre-test. A mesh lies inside its convex hull, so the meshes of a pair
// are at least as far apart as their hulls (a primitive stands for itself).
// When GJK proves the hulls apart by more than margin + slack, the exact test
// would find the meshes clear: its verdict can only be "collision" at an
// estimated distance within the margin, and its estimate and the hulls' are
// each off by GJK's tolerance at most (1e-6 m, relative to the distance by
// default: below 1e-6 m for parts of a robot). The most the mesh distance was
// seen below the hull distance (Talos, GJK's own error) is 4e-7 m; 0.1 mm is
// 250 times that. qhull keeps input vertices as the
// hull's, so the hull itself is not rounded. A wider slack costs speed where
// finger meshes sit a few millimetres apart (Romeo), not correctness.
constexpr double kHullSlack = 1e-4;

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

const coal::CollisionFunctionMatrix& collision_functions() {
  static const coal::CollisionFunctionMatrix matrix;
  return matrix;
}

coal::CollisionFunctionMatrix::CollisionFunc collision_function(const coal::CollisionGeometry& a,
                                                                const coal::CollisionGeometry& b) {
  return collision_functions().collision_matrix[a.getNodeType()][b.getNodeType()];
}

// The squared gap between two world boxes (0 when they overlap).
double squared_gap(const Box& a, const Box& b) {
  return ((a.centre - b.centre).cwiseAbs() - a.half - b.half).cwiseMax(0.0).squaredNorm();
}

bool boxes_apart(const Box& a, const Box& b, double margin) {
  const double reach = margin + kBoxSlack;
  return squared_gap(a, b) > reach * reach;
}

void place_box(const Box& local, const pinocchio::SE3& placement, Box& world) {
  world.centre.noalias() = placement.rotation() * local.centre;
  world.centre += placement.translation();
  world.half.noalias() = placement.rotation().cwiseAbs() * local.half;
}

coal::Transform3s transform_of(const pinocchio::SE3& placement) {
  return coal::Transform3s(placement.rotation(), placement.translation());
}

// apart's test, its solver set up; with `start`, where GJK ended is kept there.
bool finish_apart(const CollisionPlan& plan, CollisionScratch& scratch,
                  const coal::CollisionGeometry& a, const coal::Transform3s& tf_a,
                  const coal::CollisionGeometry& b, const coal::Transform3s& tf_b,
                  coal::CollisionFunctionMatrix::CollisionFunc test, HullStart* start) {
  coal::GJKSolver& solver = scratch.hull_solver;
  scratch.hull_result.clear();
  solver.gjk.status = coal::details::GJK::DidNotRun;
  test(&a, tf_a, &b, tf_b, &solver, plan.hull_request, scratch.hull_result);
  // DidNotRun: coal answered without GJK, in closed form.
  const bool ran = solver.gjk.status != coal::details::GJK::DidNotRun &&
                   solver.gjk.status != coal::details::GJK::Failed;
  if (start) {
    start->ray = ran && solver.cached_guess.allFinite() ? solver.cached_guess : coal::Vec3s::Zero();
    start->hint = solver.support_func_cached_guess;
  }
  return !scratch.hull_result.isCollision() && solver.gjk.status != coal::details::GJK::Failed;
}

// Whether GJK proves the two shapes farther apart than margin + slack. GJK
// may stop once it proves them `reach` apart (a larger reach lets it go on,
// for a larger lower bound in hull_result; the verdict's meaning is the same).
// With a `start` from an earlier call GJK begins there (what it proves holds
// from any start).
bool apart(const CollisionPlan& plan, CollisionScratch& scratch, const coal::CollisionGeometry& a,
           const coal::Transform3s& tf_a, const coal::CollisionGeometry& b,
           const coal::Transform3s& tf_b, coal::CollisionFunctionMatrix::CollisionFunc test,
           double reach = 0, HullStart* start = nullptr) {
  if (!test) return false;
  coal::GJKSolver& solver = scratch.hull_solver;
  // A fresh start every time, as a new solver would take: the answer must
  // depend on q_rad alone. (A solver made here would allocate.)
  solver.set(plan.hull_request);
  solver.distance_upper_bound = std::max(solver.distance_upper_bound, reach);
  solver.cached_guess = coal::Vec3s(1, 0, 0);
  solver.support_func_cached_guess.setZero();
  if (start && start->ray.squaredNorm() > 0) {
    solver.gjk_initial_guess = coal::GJKInitialGuess::CachedGuess;
    solver.cached_guess = start->ray;
    solver.support_func_cached_guess = start->hint;
    return finish_apart(plan, scratch, a, tf_a, b, tf_b, test, start);
  }
  // GJK's first direction joins the two boxes' centres (BoundingVolumeGuess);
  // each large hull's support search starts at its vertex farthest that way,
  // from a table made at build, instead of climbing from vertex 0.
  const auto& tables = plan.hulls.start_tables;
  const auto table_a = tables.find(&a);
  const auto table_b = tables.find(&b);
  if (table_a != tables.end() || table_b != tables.end()) {
    const coal::Vec3s towards_b =
        tf_b.transform(b.aabb_local.center()) - tf_a.transform(a.aabb_local.center());
    if (table_a != tables.end()) {
      solver.support_func_cached_guess[0] =
          table_a->second[direction_cell(tf_a.getRotation().transpose() * towards_b)];
    }
    if (table_b != tables.end()) {
      solver.support_func_cached_guess[1] =
          table_b->second[direction_cell(-(tf_b.getRotation().transpose() * towards_b))];
    }
  }
  return finish_apart(plan, scratch, a, tf_a, b, tf_b, test, start);
}

}  // namespace

// The pre-tests after the box test (placements rigid and bounded), those in `stages`.
bool ruled_out_past_boxes(const Prepared& robot, Workspace& workspace, std::size_t i,
                          unsigned stages) {
  const CollisionPlan& plan = robot.collision;
  CollisionScratch& scratch = workspace.collision;
  const pinocchio::GeometryData& geom_data = workspace.geom_data;
  const pinocchio::CollisionPair& pair = robot.geom_model.collisionPairs[i];
  const pinocchio::SE3& pa = geom_data.oMg[pair.first];
  const pinocchio::SE3& pb = geom_data.oMg[pair.second];
  const coal::Transform3s tf_a = transform_of(pa);
  const coal::Transform3s tf_b = transform_of(pb);

  // Two meshes: the test of their trees' root volumes with the pair's own
  // request is the first step of coal's exact test, and far cheaper than the hulls.
  const MeshPair& meshes = plan.mesh_pairs[i];
  if ((stages & kRootStage) && meshes.first &&
      mesh_roots_apart(*meshes.first, tf_a, *meshes.second, tf_b, geom_data.collisionRequests[i],
                       scratch.root_result)) {
    return true;
  }

  const HullPair& hull = plan.hull_pairs[i];
  if (!hull.test) return false;
  if ((stages & kHullStage) &&
      apart(plan, scratch, *hull.first, tf_a, *hull.second, tf_b, hull.test)) {
    return true;
  }
  if (!(stages & kPieceStage)) return false;

  const auto& pieces_a = plan.hulls.pieces[pair.first];
  const auto& pieces_b = plan.hulls.pieces[pair.second];
  if (pieces_a.empty() || pieces_b.empty() || pieces_a.size() * pieces_b.size() < 2) return false;
  // Piece pairs whose boxes are apart need no GJK (the box pre-test's reasoning).
  const auto place = [](const std::vector<Box>& local, const pinocchio::SE3& placement,
                        std::vector<Box>& world) {
    for (std::size_t k = 0; k < local.size(); ++k) place_box(local[k], placement, world[k]);
  };
  place(plan.hulls.piece_boxes[pair.first], pa, scratch.piece_world_a);
  place(plan.hulls.piece_boxes[pair.second], pb, scratch.piece_world_b);
  for (std::size_t ka = 0; ka < pieces_a.size(); ++ka) {
    for (std::size_t kb = 0; kb < pieces_b.size(); ++kb) {
      if (boxes_apart(scratch.piece_world_a[ka], scratch.piece_world_b[kb], plan.margin)) continue;
      const coal::CollisionGeometry& a = *pieces_a[ka];
      const coal::CollisionGeometry& b = *pieces_b[kb];
      if (!apart(plan, scratch, a, tf_a, b, tf_b, collision_function(a, b))) return false;
    }
  }
  return true;
}

namespace {

// Puts pair i's GJK starting guess back to its fresh request's.
void restart_guess(const CollisionPlan& plan, pinocchio::GeometryData& geom_data, std::size_t i) {
  // Near contact, coal's answer depends on where its solver starts, and the
  // answer must depend on q_rad alone. The reset reaches coal's solver because
  // Pinocchio's work data turns on `enable_cached_gjk_guess` in every request;
  // were that off, coal would keep its support hint from the last call.
  coal::CollisionRequest& request = geom_data.collisionRequests[i];
  request.cached_gjk_guess = plan.fresh_gjk_guess[i];
  request.cached_support_func_guess = plan.fresh_support_guess[i];
}

// coal's exact test of pair i, as Pinocchio runs it.
bool exact_test(const Prepared& robot, pinocchio::GeometryData& geom_data, std::size_t i) {
  const MeshPair& meshes = robot.collision.mesh_pairs[i];
  if (!meshes.first) return pinocchio::computeCollision(robot.geom_model, geom_data, i);
  // What coal's mesh-mesh test does behind Pinocchio's call, the walk aside.
  const pinocchio::CollisionPair& pair = robot.geom_model.collisionPairs[i];
  return meshes_collide(*meshes.first, transform_of(geom_data.oMg[pair.first]), *meshes.second,
                        transform_of(geom_data.oMg[pair.second]),
                        geom_data.collisionRequests[i], geom_data.collisionResults[i]);
}

// With a negative margin every pair goes to Pinocchio's own test in list order.
// coal's test of two meshes with a negative margin never returns when a
// geometry is not at a rigid pose (it would spin with the caller's lock held).
void refuse_non_rigid(const pinocchio::GeometryData& geom_data) {
  for (const auto& placement : geom_data.oMg) {
    if (!is_rigid_pose(placement)) {
      throw std::invalid_argument(
          "RobotModel::has_self_collision: q_rad places a geometry at a pose that is not a "
          "rigid motion (a NaN, infinite or huge coordinate, or a continuous joint's "
          "(cos, sin) pair off the unit circle), which cannot be tested with a negative "
          "collision_margin.");
    }
  }
}

// Every joint and geometry placed at q_rad in the workspace made for robot.
pinocchio::GeometryData& place_geometries(const Prepared& robot, Workspace& workspace,
                                          const Eigen::VectorXd& q_rad) {
  require_workspace_of(robot, workspace);
  pinocchio::updateGeometryPlacements(robot.model, workspace.data, robot.geom_model,
                                      workspace.geom_data, q_rad);
  return workspace.geom_data;
}

}  // namespace

CollisionScratch::CollisionScratch(const CollisionPlan& plan)
    : world_boxes(plan.local_boxes.size()),
      box_usable(plan.local_boxes.size(), 0),
      piece_world_a(plan.hulls.most_pieces),
      piece_world_b(plan.hulls.most_pieces),
      placed_in(plan.local_boxes.size(), 0),
      unfinished(plan.mesh_pairs.size(), 0) {
  // One contact's room, kept by clear(): a hull test that finds the hulls near
  // each other then allocates nothing.
  hull_result.addContact(coal::Contact());
  hull_result.clear();
}

void prepare_collision_tables(Prepared& robot) {
  CollisionPlan& plan = robot.collision;
  pinocchio::GeometryModel& geom_model = robot.geom_model;
  const std::size_t geometries = geom_model.geometryObjects.size();
  plan.local_boxes.resize(geometries);
  for (std::size_t g = 0; g < geometries; ++g) {
    coal::CollisionGeometry& geometry = *geom_model.geometryObjects[g].geometry;
    // Covers a mesh's vertices as loaded (scale applied) and a primitive whole.
    geometry.computeLocalAABB();
    const coal::AABB& box = geometry.aabb_local;
    Box& local = plan.local_boxes[g];
    local.centre = (box.min_ + box.max_) / 2;
    local.half = (box.max_ - box.min_) / 2;
    // A swept-sphere radius inflates the shape coal tests beyond its own box.
    if (const auto* shape = dynamic_cast<const coal::ShapeBase*>(&geometry)) {
      local.half.array() += shape->getSweptSphereRadius();
    }
  }
  plan.hulls.build(geom_model, plan.local_boxes);

  const std::size_t pairs = geom_model.collisionPairs.size();
  plan.hull_pairs.assign(pairs, HullPair{});
  plan.mesh_pairs.assign(pairs, MeshPair{});
  const auto& hulls = plan.hulls.hulls;
  for (std::size_t i = 0; i < pairs; ++i) {
    const pinocchio::CollisionPair& pair = geom_model.collisionPairs[i];
    const coal::CollisionGeometry& a = *geom_model.geometryObjects[pair.first].geometry;
    const coal::CollisionGeometry& b = *geom_model.geometryObjects[pair.second].geometry;
    // Pinocchio's work data made a collision functor for every pair already;
    // this says so here too, since the free pair order rests on it.
    if (!collision_function(a, b) && !collision_function(b, a)) {
      throw std::invalid_argument("RobotModel::build_from_urdf: coal has no collision test for "
                                  "geometries " + geom_model.geometryObjects[pair.first].name +
                                  " and " + geom_model.geometryObjects[pair.second].name + ".");
    }
    const auto* tree_a = dynamic_cast<const Mesh*>(&a);
    const auto* tree_b = dynamic_cast<const Mesh*>(&b);
    if (tree_a && tree_b && tree_a->getModelType() == coal::BVH_MODEL_TRIANGLES &&
        tree_b->getModelType() == coal::BVH_MODEL_TRIANGLES && collision_function(a, b)) {
      plan.mesh_pairs[i] = MeshPair{tree_a, tree_b};
    }
    const bool mesh_a = dynamic_cast<const coal::BVHModelBase*>(&a) != nullptr;
    const bool mesh_b = dynamic_cast<const coal::BVHModelBase*>(&b) != nullptr;
    if (!mesh_a && !mesh_b) continue;
    if ((mesh_a && !hulls[pair.first]) || (mesh_b && !hulls[pair.second])) continue;
    HullPair& hull = plan.hull_pairs[i];
    hull.first = mesh_a ? hulls[pair.first].get() : &a;
    hull.second = mesh_b ? hulls[pair.second].get() : &b;
    hull.test = collision_function(*hull.first, *hull.second);
  }
  coal::CollisionRequest& request = plan.hull_request;
  request.security_margin = plan.margin + kHullSlack;
  // GJK may stop as soon as it proves the hulls that far apart: a proof, not
  // an estimate, and all the test needs.
  request.distance_upper_bound = plan.margin + kHullSlack;
  // Overlapping hulls only send the pair on; how deep they overlap (coal's
  // EPA) is not needed.
  request.enable_contact = false;
  request.gjk_initial_guess = coal::GJKInitialGuess::BoundingVolumeGuess;
  // Nesterov-accelerated GJK takes fewer steps on these hulls. Its early stop
  // is a separating plane, a proof whatever the steps before it, and its
  // estimate is as precise as plain GJK's (gjk_tolerance, far below the
  // slack); a run out of iterations proves nothing (see apart).
  request.gjk_variant = coal::GJKVariant::NesterovAcceleration;
}

bool place_boxes(const CollisionPlan& plan, const pinocchio::GeometryData& geom_data,
                 CollisionScratch& scratch) {
  bool all_usable = true;
  for (std::size_t g = 0; g < plan.local_boxes.size(); ++g) {
    const pinocchio::SE3& placement = geom_data.oMg[g];
    Box& world = scratch.world_boxes[g];
    place_box(plan.local_boxes[g], placement, world);
    scratch.box_usable[g] = box_is_usable(world.centre, world.half, placement.rotation());
    all_usable = all_usable && scratch.box_usable[g];
  }
  return all_usable;
}

bool boxes_rule_out(const Prepared& robot, const Workspace& workspace, std::size_t i) {
  const pinocchio::CollisionPair& pair = robot.geom_model.collisionPairs[i];
  const CollisionScratch& scratch = workspace.collision;
  return scratch.box_usable[pair.first] && scratch.box_usable[pair.second] &&
         boxes_apart(scratch.world_boxes[pair.first], scratch.world_boxes[pair.second],
                     robot.collision.margin);
}

bool ruled_out(const Prepared& robot, Workspace& workspace, std::size_t i) {
  const pinocchio::CollisionPair& pair = robot.geom_model.collisionPairs[i];
  const CollisionScratch& scratch = workspace.collision;
  // Both tests rest on rigid, bounded placements (see box_is_usable).
  if (!scratch.box_usable[pair.first] || !scratch.box_usable[pair.second]) return false;
  return boxes_rule_out(robot, workspace, i) ||
         ruled_out_past_boxes(robot, workspace, i, robot.collision.stages[i]);
}

bool exact_test_from_fresh_start(const Prepared& robot, Workspace& workspace, std::size_t i) {
  restart_guess(robot.collision, workspace.geom_data, i);
  return exact_test(robot, workspace.geom_data, i);
}

namespace {

// Geometry g and its world box at the joint placements in `data`, as
// Pinocchio's pass places it.
const pinocchio::SE3& place_geometry(const Prepared& robot, Workspace& workspace, std::size_t g) {
  const auto& object = robot.geom_model.geometryObjects[g];
  pinocchio::SE3& placement = workspace.geom_data.oMg[g];
  if (object.parentJoint > 0) {
    placement = workspace.data.oMi[object.parentJoint] * object.placement;
  } else {
    placement = object.placement;
  }
  place_box(robot.collision.local_boxes[g], placement, workspace.collision.world_boxes[g]);
  return placement;
}

}  // namespace

bool place_state(const Prepared& robot, Workspace& workspace, const Eigen::VectorXd& q_rad) {
  const pinocchio::GeometryData& geom_data = place_geometries(robot, workspace, q_rad);
  return place_boxes(robot.collision, geom_data, workspace.collision);
}

bool place_state_of(const Prepared& robot, Workspace& workspace, const Eigen::VectorXd& q_rad,
                    const std::vector<int>& joints, const std::vector<std::size_t>& geometries) {
  require_workspace_of(robot, workspace);
  // Pinocchio's own step per joint, in its order (parents first): the same
  // placements, bit for bit, as its pass over every joint gives.
  using Step = pinocchio::impl::ForwardKinematicZeroStep<double, 0,
                                                         pinocchio::JointCollectionDefaultTpl,
                                                         Eigen::VectorXd>;
  Data& data = workspace.data;
  for (const int j : joints) {
    Step::run(robot.model.joints[j], data.joints[j], Step::ArgsType(robot.model, data, q_rad));
  }
  CollisionScratch& scratch = workspace.collision;
  bool all_usable = true;
  for (const std::size_t g : geometries) {
    const pinocchio::SE3& placement = place_geometry(robot, workspace, g);
    const Box& world = scratch.world_boxes[g];
    scratch.box_usable[g] = box_is_usable(world.centre, world.half, placement.rotation());
    all_usable = all_usable && scratch.box_usable[g];
  }
  return all_usable;
}

namespace {

// A hull's or pieces' bound below this (and short of what is wanted) is
// replaced by coal's distance.
constexpr double kMeasuredBelow = 1e-5;

// GJK's distance is an estimate from above, within its tolerance (1e-6,
// relative to the distance): taken off before it serves as a lower bound.
double lower_bound_of(double estimate) {
  return estimate - 1e-6 * std::max(1.0, std::abs(estimate));
}

}  // namespace

bool pair_collides_with_clearance(const Prepared& robot, Workspace& workspace, const Step& step,
                                  double wanted, bool measure, double& clearance,
                                  HullStart* start) {
  const CollisionPlan& plan = robot.collision;
  CollisionScratch& scratch = workspace.collision;
  pinocchio::GeometryData& geom_data = workspace.geom_data;
  clearance = 0;
  bool proven_apart = false;
  if (scratch.box_usable[step.first] && scratch.box_usable[step.second]) {
    const Box& box_a = scratch.world_boxes[step.first];
    const Box& box_b = scratch.world_boxes[step.second];
    if (boxes_apart(box_a, box_b, plan.margin)) {
      clearance = std::sqrt(squared_gap(box_a, box_b)) - (plan.margin + kBoxSlack);
      return false;
    }
    // The hull test proves the pair apart by margin + kHullSlack; past that,
    // what it proves is clearance. (The tree roots' test, cheaper, proves no
    // distance, so it is left out here.)
    const double threshold = plan.margin + kHullSlack;
    const pinocchio::SE3& pa = geom_data.oMg[step.first];
    const pinocchio::SE3& pb = geom_data.oMg[step.second];
    const coal::Transform3s tf_a = transform_of(pa);
    const coal::Transform3s tf_b = transform_of(pb);
    const HullPair& hull = plan.hull_pairs[step.pair];
    // GJK goes on past the margin for a quarter of what is wanted, no more:
    // far pairs would otherwise run it to convergence for a bound the
    // search gets more cheaply by testing one more state.
    if (hull.test && apart(plan, scratch, *hull.first, tf_a, *hull.second, tf_b, hull.test,
                           threshold + wanted / 4, start)) {
      proven_apart = true;
      clearance = std::max(0.0, lower_bound_of(scratch.hull_result.distance_lower_bound +
                                               plan.hull_request.security_margin) -
                                    threshold);
      // Pieces cost more than the hulls: worth it only for a bound far short
      // of what is wanted (the search splits a stretch for the rest).
      if (!measure || clearance >= wanted / 16) return false;
    }
    // The pieces: the least of their pairs' clearances.
    const auto& pieces_a = plan.hulls.pieces[step.first];
    const auto& pieces_b = plan.hulls.pieces[step.second];
    if (hull.test && !pieces_a.empty() && !pieces_b.empty() &&
        pieces_a.size() * pieces_b.size() >= 2) {
      for (std::size_t k = 0; k < pieces_a.size(); ++k) {
        place_box(plan.hulls.piece_boxes[step.first][k], pa, scratch.piece_world_a[k]);
      }
      for (std::size_t k = 0; k < pieces_b.size(); ++k) {
        place_box(plan.hulls.piece_boxes[step.second][k], pb, scratch.piece_world_b[k]);
      }
      double least = std::numeric_limits<double>::infinity();
      bool all_apart = true;
      for (std::size_t ka = 0; ka < pieces_a.size() && all_apart; ++ka) {
        for (std::size_t kb = 0; kb < pieces_b.size(); ++kb) {
          const Box& a = scratch.piece_world_a[ka];
          const Box& b = scratch.piece_world_b[kb];
          if (boxes_apart(a, b, plan.margin)) {
            least = std::min(least, std::sqrt(squared_gap(a, b)) - (plan.margin + kBoxSlack));
            continue;
          }
          const coal::CollisionGeometry& piece_a = *pieces_a[ka];
          const coal::CollisionGeometry& piece_b = *pieces_b[kb];
          if (!apart(plan, scratch, piece_a, tf_a, piece_b, tf_b,
                     collision_function(piece_a, piece_b), threshold + wanted / 4)) {
            all_apart = false;
            break;
          }
          least = std::min(least, lower_bound_of(scratch.hull_result.distance_lower_bound +
                                                 plan.hull_request.security_margin) -
                                      threshold);
        }
      }
      if (all_apart) {
        proven_apart = true;
        clearance = std::max(clearance, least);
      }
    }
    // Near a place where two hulls (or pieces) touch while the meshes stay
    // apart, their bound shrinks with the stretch around it, and the search
    // would split towards that place without end: a bound that small and far
    // short of what is wanted is measured instead.
    if (proven_apart &&
        (!measure || clearance >= std::min(wanted / 16, kMeasuredBelow))) {
      return false;
    }
  }
  if (!proven_apart) {
    restart_guess(plan, geom_data, step.pair);
    if (exact_test(robot, geom_data, step.pair)) return true;
  }
  if (measure && scratch.box_usable[step.first] && scratch.box_usable[step.second]) {
    // coal's distance with an error allowed: its walk then skips every volume
    // pair that could not bring the distance below d - error, so d - error is
    // a lower bound, found in fewer steps than d itself. The error is a share
    // of what is wanted; a pair that turns out nearer than that gets coal's
    // exact distance. (GJK's estimate on a primitive or a triangle: its
    // tolerance off, by lower_bound_of.)
    coal::DistanceRequest& request = geom_data.distanceRequests[step.pair];
    const double threshold = plan.margin + kHullSlack;
    const double allowed = std::isfinite(wanted) ? wanted / 8 : 0.0;
    for (const double error : {allowed, 0.0}) {
      request.cached_gjk_guess = plan.fresh_distance_gjk_guess[step.pair];
      request.cached_support_func_guess = plan.fresh_distance_support_guess[step.pair];
      // (coal prunes a volume pair only past both errors: the relative one
      // is set out of the way.)
      request.abs_err = error;
      request.rel_err = error > 0 ? std::numeric_limits<double>::max() : 0.0;
      const double distance =
          pinocchio::computeDistance(robot.geom_model, geom_data, step.pair).min_distance;
      const double found = lower_bound_of(distance) - error - threshold;
      clearance = std::max(clearance, found);
      if (error == 0.0 || found >= allowed) break;
    }
    request.rel_err = request.abs_err = 0;  // pair_distances wants coal's exact distance
  }
  return false;
}

namespace {

// A query that vouches for q_rad places geometries out of Pinocchio's whole
// pass (the head before the rest of the robot, the others when a pair needs
// them), so it must know without placing them that every placement is rigid
// and bounded, which the free pair order rests on (see pair_order.cpp). This
// says it from q_rad itself: finite; every (cos, sin) pair and quaternion
// within kNormTolerance of unit length, so that each joint's rotation is a
// rotation to within a few 1e-13 and their composition far within the box
// test's tolerance (the build allows it only for a robot with few such
// joints); and every travel within kHeadTravel, which keeps every placement
// within the box test's bound (the build checks the robot's own extent).
constexpr double kNormTolerance = 1e-13;
// The volume pairs a mesh pair's short walk may visit (see collides_vouched).
constexpr long kShortWalk = 64;

bool placements_vouched_for(const Prepared& robot, const Eigen::VectorXd& q_rad) {
  if (!robot.collision.vouch_from_q || q_rad.size() != robot.model.nq || !q_rad.allFinite()) {
    return false;
  }
  for (const Eigen::Index k : robot.collision.linear_coordinates) {
    if (std::abs(q_rad[k]) > kHeadTravel) return false;
  }
  return pinocchio::isNormalized(robot.model, q_rad, kNormTolerance);
}

// place_geometry, unless this query placed geometry g already.
void place_lazily(const Prepared& robot, Workspace& workspace, std::size_t g) {
  CollisionScratch& scratch = workspace.collision;
  if (scratch.placed_in[g] == scratch.query) return;
  scratch.placed_in[g] = scratch.query;
  place_geometry(robot, workspace, g);
}

// The pass for a q_rad vouched for: the head, then the walk in the free order.
bool collides_vouched(const Prepared& robot, Workspace& workspace, const Eigen::VectorXd& q_rad) {
  const CollisionPlan& plan = robot.collision;
  pinocchio::GeometryData& geom_data = workspace.geom_data;
  if (!plan.head.empty()) {
    place_state_of(robot, workspace, q_rad, plan.head_joints, plan.head_geometries);
    for (const Step& step : plan.head) {
      restart_guess(plan, geom_data, step.pair);
      if (exact_test(robot, geom_data, step.pair)) return true;
    }
  }
  pinocchio::forwardKinematics(robot.model, workspace.data, q_rad);
  CollisionScratch& scratch = workspace.collision;
  ++scratch.query;
  const std::vector<Step>& walk = plan.walk_likely_first;
  std::size_t unfinished = 0;
  for (std::size_t k = plan.head.size(); k < walk.size(); ++k) {
    const Step& step = walk[k];
    place_lazily(robot, workspace, step.first);
    place_lazily(robot, workspace, step.second);
    if (boxes_apart(scratch.world_boxes[step.first], scratch.world_boxes[step.second],
                    plan.margin) ||
        (step.stages && ruled_out_past_boxes(robot, workspace, step.pair, step.stages))) {
      continue;
    }
    restart_guess(plan, geom_data, step.pair);
    const MeshPair& meshes = plan.mesh_pairs[step.pair];
    if (!meshes.first) {
      if (exact_test(robot, geom_data, step.pair)) return true;
      continue;
    }
    // Two meshes: a short walk first. Where some pair collides, a short walk
    // of another often proves it sooner than the whole walk of the first, which
    // may have to visit much of both trees before it meets a triangle pair
    // within the margin; the pairs it leaves unfinished are walked whole after.
    const WalkEnd end = meshes_collide_within(
        *meshes.first, transform_of(geom_data.oMg[step.first]), *meshes.second,
        transform_of(geom_data.oMg[step.second]), geom_data.collisionRequests[step.pair],
        geom_data.collisionResults[step.pair], kShortWalk);
    if (end == WalkEnd::kHit) return true;
    if (end == WalkEnd::kUnfinished) scratch.unfinished[unfinished++] = step.pair;
  }
  for (std::size_t k = 0; k < unfinished; ++k) {
    const std::size_t pair = scratch.unfinished[k];
    restart_guess(plan, geom_data, pair);
    if (exact_test(robot, geom_data, pair)) return true;
  }
  return false;
}

}  // namespace

bool collides(const Prepared& robot, Workspace& workspace, const Eigen::VectorXd& q_rad) {
  const CollisionPlan& plan = robot.collision;
  const std::size_t pairs = robot.geom_model.collisionPairs.size();

  if (plan.margin >= 0) {
    // No pair to test: nothing to place either (a q_rad of the wrong length
    // still meets the placement's own check).
    if (plan.walk_listed.empty() && q_rad.size() == robot.model.nq) {
      require_workspace_of(robot, workspace);
      return false;
    }
    if (placements_vouched_for(robot, q_rad)) {
      require_workspace_of(robot, workspace);
      return plan.always_colliding || collides_vouched(robot, workspace, q_rad);
    }
    pinocchio::GeometryData& geom_data = place_geometries(robot, workspace, q_rad);
    // Each geometry's world box, once. Off a rigid, bounded placement the pairs
    // go in list order, as the full pass takes them (see pair_order.cpp).
    CollisionScratch& scratch = workspace.collision;
    const bool reorder = place_boxes(plan, geom_data, scratch);
    const std::vector<Step>& walk = reorder ? plan.walk_likely_first : plan.walk_listed;
    // The box test inline, over a compact list: most pairs end there. The
    // pre-tests rest on rigid, bounded placements (see box_is_usable).
    for (const Step& step : walk) {
      if (scratch.box_usable[step.first] && scratch.box_usable[step.second] &&
          (boxes_apart(scratch.world_boxes[step.first], scratch.world_boxes[step.second],
                       plan.margin) ||
           (step.stages && ruled_out_past_boxes(robot, workspace, step.pair, step.stages)))) {
        continue;
      }
      restart_guess(plan, geom_data, step.pair);
      if (exact_test(robot, geom_data, step.pair)) return true;
    }
    return false;
  }

  pinocchio::GeometryData& geom_data = place_geometries(robot, workspace, q_rad);
  refuse_non_rigid(geom_data);
  for (std::size_t i = 0; i < pairs; ++i) restart_guess(plan, geom_data, i);
  pinocchio::computeCollisions(robot.geom_model, geom_data, /*stopAtFirstCollision=*/true);
  // The pass refreshed every result up to and including the first hit; results
  // after it may be stale, and the scan stops before reaching them.
  for (std::size_t i = 0; i < pairs; ++i) {
    if (geom_data.collisionResults[i].isCollision()) return true;
  }
  return false;
}

void pair_collisions(const Prepared& robot, Workspace& workspace, const Eigen::VectorXd& q_rad,
                     char* hits) {
  const CollisionPlan& plan = robot.collision;
  pinocchio::GeometryData& geom_data = place_geometries(robot, workspace, q_rad);
  const std::size_t pairs = robot.geom_model.collisionPairs.size();
  std::fill(hits, hits + pairs, 0);
  if (plan.margin < 0) {
    refuse_non_rigid(geom_data);
    for (const Step& step : plan.walk_listed) {
      restart_guess(plan, geom_data, step.pair);
      hits[step.pair] = pinocchio::computeCollision(robot.geom_model, geom_data, step.pair);
    }
    return;
  }
  place_boxes(plan, geom_data, workspace.collision);
  for (const Step& step : plan.walk_listed) {
    if (ruled_out(robot, workspace, step.pair)) continue;
    restart_guess(plan, geom_data, step.pair);
    hits[step.pair] = exact_test(robot, geom_data, step.pair);
  }
}

void pair_distances(const Prepared& robot, Workspace& workspace, const Eigen::VectorXd& q_rad,
                    double below, std::vector<std::pair<std::size_t, double>>& found) {
  const CollisionPlan& plan = robot.collision;
  pinocchio::GeometryData& geom_data = place_geometries(robot, workspace, q_rad);
  found.clear();
  CollisionScratch& scratch = workspace.collision;
  place_boxes(plan, geom_data, scratch);
  for (const Step& step : plan.walk_listed) {
    // Two boxes' gap is at most the distance of what they hold; the slack
    // covers coal's error on the distance it would give.
    if (scratch.box_usable[step.first] && scratch.box_usable[step.second] &&
        squared_gap(scratch.world_boxes[step.first], scratch.world_boxes[step.second]) >
            (below + kBoxSlack) * (below + kBoxSlack)) {
      continue;
    }
    coal::DistanceRequest& request = geom_data.distanceRequests[step.pair];
    request.cached_gjk_guess = plan.fresh_distance_gjk_guess[step.pair];
    request.cached_support_func_guess = plan.fresh_distance_support_guess[step.pair];
    const double distance =
        pinocchio::computeDistance(robot.geom_model, geom_data, step.pair).min_distance;
    if (distance < below) found.emplace_back(step.pair, distance);
  }
}

}  // namespace talvex
}  // namespace corvane
