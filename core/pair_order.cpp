// The order a query tests the pairs in, fixed at build from sampled
// configurations, and the compact walks that follow it.
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <numeric>
#include <random>

#include <coal/shape/geometric_shapes.h>
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

// The head: at most this many pairs, each in collision at half the samples or
// more. The robot's extent plus the travels allowed (kHeadTravel each) must
// stay far within the box test's coordinate bound (see self_collision.cpp),
// and few joints may take their rotation from a (cos, sin) pair or a quaternion.
constexpr std::size_t kHeadMost = 4;
constexpr double kHeadExtentBound = 1e5;
constexpr int kHeadMostNormalized = 100;
// A witness of a pair always in collision: how deep inside both shapes, and
// the points tried on each side of the joint's origin along its axis.
constexpr double kWitnessDepth = 1e-4;
constexpr int kWitnessSteps = 16;
// What testing a pair costs a query before its own test: the box test and a
// share of placing its geometries.
constexpr double kBoxSeconds = 2e-8;
// A pair stops being tested once in collision at this many samples and no
// fewer; the exact test is timed at this many samples a pre-test ruled out.
constexpr int kSettled = 8;
constexpr int kClearMeasured = 4;

// What the build samples tell of one pair.
struct PairRecord {
  int passed = 0;  // samples the box test let through
  int tested = 0;  // of those, the samples the pair was tested at
  int kept = 0;    // of those, the samples every pre-test kept too
  int hits = 0;    // samples in collision, of the tested ones
  std::array<int, 3> stage_outs{};  // per stage, the tested samples it ruled out
  // The exact test timed where a pre-test stage ruled the pair out.
  int clear_measured = 0;
  double clear_seconds = 0;
  // Per set of pre-test stages (a PreTestStage mask), what the pair's test
  // past the box test would have cost over the passed samples, the exact test included.
  std::array<double, kAllStages + 1> seconds{};
};

double seconds_since(std::chrono::steady_clock::time_point start, double overhead) {
  const std::chrono::duration<double> taken = std::chrono::steady_clock::now() - start;
  return std::max(0.0, taken.count() - overhead);
}

// The clock's own cost, taken off every interval measured.
double clock_overhead() {
  double least = std::numeric_limits<double>::infinity();
  for (int k = 0; k < 16; ++k) {
    const auto start = std::chrono::steady_clock::now();
    least = std::min(least, seconds_since(start, 0.0));
  }
  return least;
}

// One build sample: uniform inside the limits; a coordinate without usable
// bounds is drawn in [-pi, pi].
void draw_sample(const Model& model, std::mt19937& draw, Eigen::VectorXd& q) {
  for (Eigen::Index k = 0; k < model.nq; ++k) {
    double lo = model.lowerPositionLimit[k];
    double hi = model.upperPositionLimit[k];
    if (!(std::isfinite(lo) && std::isfinite(hi) && std::abs(lo) <= kAbsurdBound &&
          std::abs(hi) <= kAbsurdBound && lo <= hi)) {
      lo = -kStandInRange;
      hi = kStandInRange;
    }
    q[k] = lo + static_cast<double>(draw()) / 4294967296.0 * (hi - lo);
  }
  // Continuous joints' (cos, sin) pairs and quaternions onto their circle or sphere.
  pinocchio::normalize(model, q);
}

// The build samples answered by queries as the plan now stands: the seconds
// taken, the lesser of two passes for each.
double sampled_seconds(const Prepared& robot, Workspace& workspace) {
  std::mt19937 draw(kOrderSeed);
  Eigen::VectorXd q(robot.model.nq);
  double total = 0;
  for (int s = 0; s < kOrderSamples; ++s) {
    draw_sample(robot.model, draw, q);
    double least = std::numeric_limits<double>::infinity();
    for (int pass = 0; pass < 2; ++pass) {
      const auto start = std::chrono::steady_clock::now();
      collides(robot, workspace, q);
      least = std::min(least, seconds_since(start, 0.0));
    }
    total += least;
  }
  return total;
}

void order_pairs(Prepared& robot, Workspace& workspace, std::vector<PairRecord>& records) {
  // The answer is whether any pair collides, so the order of the pairs cannot
  // change it as long as no pair test throws: every pair has a collision
  // function (checked with the tables), every mesh is finite (the build's
  // loader) as is every primitive (checked when the URDF was read), and a query
  // walks this order only when every placement is rigid and bounded (collides).
  // Nor can skipping a pre-test: a pre-test only ever spares an exact test
  // whose verdict would have been "clear".
  CollisionPlan& plan = robot.collision;
  const Model& model = robot.model;
  const std::size_t pairs = robot.geom_model.collisionPairs.size();
  plan.likely_first.resize(pairs);
  std::iota(plan.likely_first.begin(), plan.likely_first.end(), std::size_t{0});
  records.assign(pairs, PairRecord{});
  if (pairs == 0 || model.nq == 0 || plan.margin < 0) return;

  // Per pair, over sampled configurations: how often each test decided and
  // what it cost. Times are the only record that is not the files' alone; they
  // choose the order and which pre-tests run, never an answer.
  const double overhead = clock_overhead();
  std::mt19937 draw(kOrderSeed);
  Eigen::VectorXd q(model.nq);
  for (int s = 0; s < kOrderSamples; ++s) {
    draw_sample(model, draw, q);
    pinocchio::updateGeometryPlacements(model, workspace.data, robot.geom_model,
                                        workspace.geom_data, q);
    place_boxes(plan, workspace.geom_data, workspace.collision);
    for (std::size_t i = 0; i < pairs; ++i) {
      const pinocchio::CollisionPair& pair = robot.geom_model.collisionPairs[i];
      if (!plan.eligible[i] || !workspace.collision.box_usable[pair.first] ||
          !workspace.collision.box_usable[pair.second] || boxes_rule_out(robot, workspace, i)) {
        continue;
      }
      PairRecord& record = records[i];
      ++record.passed;
      // A pair in collision at every one of its first samples has told what
      // it can; its exact test may be long (touching detailed meshes).
      if (record.tested >= kSettled && record.hits == record.tested) continue;
      ++record.tested;
      // Each stage alone, then the exact test, so that every set of stages
      // can be costed from one run.
      std::array<double, 3> stage_seconds{};
      std::array<bool, 3> stage_out{};
      for (int k = 0; k < 3; ++k) {
        const auto start = std::chrono::steady_clock::now();
        stage_out[k] = ruled_out_past_boxes(robot, workspace, i, 1u << k);
        stage_seconds[k] = seconds_since(start, overhead);
      }
      // Where a stage rules the pair out, the exact test's verdict is known
      // ("clear") and its cost only matters for the sets without that stage:
      // measured at a few such samples, their mean stands for it at the others.
      const bool any_out = stage_out[0] || stage_out[1] || stage_out[2];
      bool hit = false;
      double exact = 0;
      if (!any_out || record.clear_measured < kClearMeasured) {
        const auto start = std::chrono::steady_clock::now();
        hit = exact_test_from_fresh_start(robot, workspace, i);
        exact = seconds_since(start, overhead);
        if (any_out) {
          ++record.clear_measured;
          record.clear_seconds += exact;
        }
      } else {
        exact = record.clear_seconds / record.clear_measured;
      }
      for (unsigned stages = 0; stages <= kAllStages; ++stages) {
        double taken = 0;
        bool out = false;
        for (int k = 0; k < 3 && !out; ++k) {
          if (!(stages & (1u << k))) continue;
          taken += stage_seconds[k];
          out = stage_out[k];
        }
        record.seconds[stages] += out ? taken : taken + exact;
      }
      if (!stage_out[0] && !stage_out[1] && !stage_out[2]) ++record.kept;
      for (int k = 0; k < 3; ++k) record.stage_outs[k] += stage_out[k];
      if (hit) ++record.hits;
    }
  }

  // A pair leaves out a pre-test stage only where the stage never ruled it
  // out over kSettled samples or more (links that touch at nearly every
  // configuration leave out all of them): a stage's worth lies in the
  // configurations where it spares a long exact walk, which a few samples
  // weigh poorly, while one that never rules the pair out only costs.
  for (std::size_t i = 0; i < pairs; ++i) {
    const PairRecord& record = records[i];
    unsigned stages = kAllStages;
    if (record.tested >= kSettled) {
      stages = 0;
      for (int k = 0; k < 3; ++k) {
        if (record.stage_outs[k] > 0) stages |= 1u << k;
      }
    }
    plan.stages[i] = static_cast<unsigned char>(stages);
  }
  // Per configuration: the chance of a hit (the share of samples the box test
  // let through, times the share of those in collision, one more tested sample
  // counted clear so that a single sample does not count as certainty), and
  // the cost of the test, the box test and the pair's placements included.
  std::vector<double> worth(pairs, 0.0);
  for (std::size_t i = 0; i < pairs; ++i) {
    const PairRecord& record = records[i];
    if (record.hits == 0) continue;
    const double passed = static_cast<double>(record.passed) / kOrderSamples;
    const double chance = passed * record.hits / (record.tested + 1);
    const double cost = passed * record.seconds[plan.stages[i]] / record.tested + kBoxSeconds;
    worth[i] = chance / cost;
  }
  // A colliding configuration ends at its first hit: the pairs that collided
  // go first, most hits per second of testing first (the order that spends
  // least on average before the first hit, were the pairs independent); of the
  // rest, the ones the pre-tests pass on most often.
  std::stable_sort(plan.likely_first.begin(), plan.likely_first.end(),
                   [&records, &worth](std::size_t a, std::size_t b) {
                     const PairRecord& ra = records[a];
                     const PairRecord& rb = records[b];
                     if ((ra.hits > 0) != (rb.hits > 0)) return ra.hits > 0;
                     if (ra.hits > 0) return worth[a] > worth[b];
                     return ra.kept > rb.kept;
                   });
}

// How far geometry g reaches from its joint's origin, at most.
double geometry_reach(const Prepared& robot, std::size_t g) {
  const Box& box = robot.collision.local_boxes[g];
  return robot.geom_model.geometryObjects[g].placement.translation().norm() + box.centre.norm() +
         box.half.norm();
}

// The signed distance of the point p (in the shape's frame) to a primitive:
// the distance to its surface, negative inside; +infinity for other shapes.
// (A swept-sphere radius only enlarges the shape coal tests.)
double signed_distance(const coal::CollisionGeometry& geometry, const Eigen::Vector3d& p) {
  // Inside: the least of the depths; outside: the length of the excesses.
  const auto combine = [](const auto& excess) {
    const double largest = excess.maxCoeff();
    return largest <= 0 ? largest : excess.cwiseMax(0.0).norm();
  };
  switch (geometry.getNodeType()) {
    case coal::GEOM_BOX:
      return combine(Eigen::Vector3d(p.cwiseAbs() - static_cast<const coal::Box&>(geometry).halfSide));
    case coal::GEOM_SPHERE:
      return p.norm() - static_cast<const coal::Sphere&>(geometry).radius;
    case coal::GEOM_CYLINDER: {
      const auto& cylinder = static_cast<const coal::Cylinder&>(geometry);
      return combine(Eigen::Vector2d(p.head<2>().norm() - cylinder.radius,
                                     std::abs(p.z()) - cylinder.halfLength));
    }
    case coal::GEOM_CAPSULE: {
      const auto& capsule = static_cast<const coal::Capsule&>(geometry);
      const double z = std::clamp(p.z(), -capsule.halfLength, capsule.halfLength);
      return (p - Eigen::Vector3d(0, 0, z)).norm() - capsule.radius;
    }
    default:
      return std::numeric_limits<double>::infinity();
  }
}

// A pair that collides at every configuration: two solid primitives, one on a
// joint that turns about an axis (or a centre) of the other's joint, and a
// point of that axis either at least kWitnessDepth deep in both, or within
// distances of them that add up to the margin less kWitnessDepth. Such a point
// stays where it is in both links whatever the joint's angle, so the two
// solids always share a ball around it, or lie closer than the margin by that
// much, and coal, which tests primitives as solids, finds them in collision at
// every rigid placement. (Meshes are tested as
// surfaces: a mesh inside another does not collide.)
bool always_collides(const Prepared& robot, std::size_t i) {
  const Model& model = robot.model;
  const auto& objects = robot.geom_model.geometryObjects;
  const pinocchio::CollisionPair& pair = robot.geom_model.collisionPairs[i];
  for (const auto& [outer, inner] : {std::pair{pair.first, pair.second},
                                     std::pair{pair.second, pair.first}}) {
    const auto& parent_object = objects[outer];
    const auto& child_object = objects[inner];
    const auto j = child_object.parentJoint;
    if (j == 0 || model.parents[j] != parent_object.parentJoint) continue;
    const MotionReach::Kind kind = robot.reach.kinds[j];
    const bool revolute = kind == MotionReach::Kind::kRevolute &&
                          std::abs(robot.reach.axis_scale[j] - 1.0) <= 1e-12;
    if (!revolute && kind != MotionReach::Kind::kSpherical) continue;
    const Eigen::Vector3d axis = revolute ? robot.reach.axes[j] : Eigen::Vector3d::Zero();
    const double length = std::max(geometry_reach(robot, outer), geometry_reach(robot, inner));
    for (int k = -kWitnessSteps; k <= kWitnessSteps; ++k) {
      const Eigen::Vector3d on_axis = axis * (length * k / kWitnessSteps);
      const Eigen::Vector3d in_parent = model.jointPlacements[j].act(on_axis);
      const double to_a =
          signed_distance(*parent_object.geometry, parent_object.placement.actInv(in_parent));
      const double to_b =
          signed_distance(*child_object.geometry, child_object.placement.actInv(on_axis));
      // Deep inside both; or near enough both that the two lie closer than
      // the margin by kWitnessDepth (each is within its distance of p).
      if ((to_a <= -kWitnessDepth && to_b <= -kWitnessDepth) ||
          std::max(0.0, to_a) + std::max(0.0, to_b) <= robot.collision.margin - kWitnessDepth) {
        return true;
      }
    }
  }
  return false;
}

// The head (see CollisionPlan): only for a robot whose every placement the
// query can vouch for from q_rad alone.
void choose_head(Prepared& robot, const std::vector<PairRecord>& records) {
  CollisionPlan& plan = robot.collision;
  const Model& model = robot.model;
  plan.head.clear();
  plan.head_joints.clear();
  plan.head_geometries.clear();
  plan.linear_coordinates.clear();
  plan.vouch_from_q = false;
  plan.always_colliding = false;
  if (plan.margin < 0 || model.nq == 0) return;
  int normalized = 0;
  // By the kinds the motion bound sorts joints into: a revolute joint's angle
  // from a (cos, sin) pair when it takes two coordinates, a spherical joint's
  // quaternion when four; the floating kinds' travels first (free flyer,
  // planar, translation), then a free flyer's or planar joint's rotation.
  using Kind = MotionReach::Kind;
  for (int j = 1; j < model.njoints; ++j) {
    const auto& joint = model.joints[static_cast<std::size_t>(j)];
    const Kind kind = robot.reach.kinds[static_cast<std::size_t>(j)];
    const int nq = joint.nq();
    int travels = 0;
    if (kind == Kind::kRevolute) {
      normalized += nq == 2;
    } else if (kind == Kind::kSpherical) {
      normalized += nq == 4;
    } else if (kind == Kind::kPrismatic) {
      travels = 1;
    } else if (kind == Kind::kFloating) {
      travels = nq == 7 ? 3 : nq == 4 ? 2 : 3;
      normalized += nq != 3;
    } else {
      return;  // a helical joint's travel follows its angle; others are not covered
    }
    for (int k = 0; k < travels; ++k) plan.linear_coordinates.push_back(joint.idx_q() + k);
  }
  // The robot's extent: every joint placement's offset, then the farthest
  // geometry box from its joint.
  double extent = 0;
  for (std::size_t j = 1; j < model.jointPlacements.size(); ++j) {
    extent += model.jointPlacements[j].translation().norm();
  }
  double farthest = 0;
  for (std::size_t g = 0; g < plan.local_boxes.size(); ++g) {
    farthest = std::max(farthest, geometry_reach(robot, g));
  }
  extent += farthest;
  if (normalized > kHeadMostNormalized ||
      !(extent + static_cast<double>(plan.linear_coordinates.size()) * kHeadTravel <=
        kHeadExtentBound)) {
    plan.linear_coordinates.clear();
    return;
  }
  plan.vouch_from_q = true;
  plan.always_colliding = false;
  for (std::size_t i = 0; i < plan.eligible.size(); ++i) {
    if (plan.eligible[i] && always_collides(robot, i)) {
      plan.always_colliding = true;
      break;
    }
  }

  for (const std::size_t i : plan.likely_first) {
    const PairRecord& record = records[i];
    // In collision at half the samples or more (the share of its tested
    // samples, over those the box test let through).
    if (plan.head.size() == kHeadMost || !plan.eligible[i] || plan.stages[i] != 0 ||
        record.tested == 0 || 2 * record.hits * record.passed < kOrderSamples * record.tested) {
      break;
    }
    const pinocchio::CollisionPair& pair = robot.geom_model.collisionPairs[i];
    plan.head.push_back(Step{i, pair.first, pair.second, 0});
  }
  if (plan.head.empty()) return;
  std::vector<char> joint_marks(static_cast<std::size_t>(model.njoints), 0);
  std::vector<char> geometry_marks(plan.local_boxes.size(), 0);
  for (const Step& step : plan.head) {
    for (const std::size_t g : {step.first, step.second}) {
      geometry_marks[g] = 1;
      for (auto j = robot.geom_model.geometryObjects[g].parentJoint; j != 0; j = model.parents[j]) {
        joint_marks[j] = 1;
      }
    }
  }
  for (int j = 1; j < model.njoints; ++j) {
    if (joint_marks[static_cast<std::size_t>(j)]) plan.head_joints.push_back(j);
  }
  for (std::size_t g = 0; g < geometry_marks.size(); ++g) {
    if (geometry_marks[g]) plan.head_geometries.push_back(g);
  }
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

  plan.stages.assign(pairs, kAllStages);
  std::vector<PairRecord> records;
  order_pairs(robot, workspace, records);
  choose_head(robot, records);

  plan.walk_listed.clear();
  plan.walk_likely_first.clear();
  const auto step = [&geom_model, &plan](std::size_t i) {
    const pinocchio::CollisionPair& pair = geom_model.collisionPairs[i];
    return Step{i, pair.first, pair.second, plan.stages[i]};
  };
  for (std::size_t i = 0; i < pairs; ++i) {
    if (plan.eligible[i]) plan.walk_listed.push_back(step(i));
  }
  for (const std::size_t i : plan.likely_first) {
    if (plan.eligible[i]) plan.walk_likely_first.push_back(step(i));
  }

  // The order rests on mean costs over a few samples, and a colliding
  // configuration's cost on which pairs come before its first hit: the build
  // answers its samples with it, with the list's own order and with the pairs
  // most often in collision first (the head only with the first), and keeps
  // the order that answered them soonest.
  if (pairs < 2 || robot.model.nq == 0 || plan.margin < 0) return;
  std::vector<std::size_t> most_hits;
  for (std::size_t i = 0; i < pairs; ++i) {
    if (plan.eligible[i]) most_hits.push_back(i);
  }
  std::stable_sort(most_hits.begin(), most_hits.end(), [&records](std::size_t a, std::size_t b) {
    return records[a].hits != records[b].hits ? records[a].hits > records[b].hits
                                              : records[a].kept > records[b].kept;
  });
  std::vector<std::vector<Step>> walks{plan.walk_likely_first, plan.walk_listed, {}};
  for (const std::size_t i : most_hits) walks[2].push_back(step(i));
  const std::vector<Step> head = plan.head;
  double least = std::numeric_limits<double>::infinity();
  std::size_t chosen = 0;
  for (std::size_t k = 0; k < walks.size(); ++k) {
    plan.walk_likely_first = walks[k];
    if (k > 0) plan.head.clear();
    const double taken = sampled_seconds(robot, workspace);
    if (taken < least) {
      least = taken;
      chosen = k;
    }
  }
  plan.walk_likely_first = walks[chosen];
  if (chosen == 0) {
    plan.head = head;
  } else {
    plan.head_joints.clear();
    plan.head_geometries.clear();
  }
}

}  // namespace talvex
}  // namespace corvane
