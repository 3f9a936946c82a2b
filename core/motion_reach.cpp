// The motion bound of each pair along a straight motion (see motion_reach.h).
#include "motion_reach.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include <boost/variant/get.hpp>
#include <pinocchio/algorithm/joint-configuration.hpp>
#include <pinocchio/multibody/joint/joints.hpp>

#include "prepared.h"

namespace corvane {
namespace talvex {
namespace {

using Kind = MotionReach::Kind;
constexpr double kInfinity = std::numeric_limits<double>::infinity();

template <class Unaligned>
double axis_length(const pinocchio::JointModel& joint) {
  const auto* unaligned = boost::get<Unaligned>(&joint.toVariant());
  return unaligned ? unaligned->axis.norm() : 1.0;
}

template <class Unaligned>
Eigen::Vector3d axis_of(const pinocchio::JointModel& joint) {
  const auto* unaligned = boost::get<Unaligned>(&joint.toVariant());
  return unaligned ? Eigen::Vector3d(unaligned->axis.normalized()) : Eigen::Vector3d::Zero();
}

Kind kind_of(const pinocchio::JointModel& joint, double& axis_scale, Eigen::Vector3d& axis) {
  const std::string name = joint.shortname();
  axis_scale = 1.0;
  axis.setZero();
  const auto is = [&name](const char* other) { return name == other; };
  for (int k = 0; k < 3; ++k) {
    const std::string letter(1, static_cast<char>('X' + k));
    if (is(("JointModelR" + letter).c_str()) || is(("JointModelRUB" + letter).c_str())) {
      axis = Eigen::Vector3d::Unit(k);
      return Kind::kRevolute;
    }
  }
  if (is("JointModelRevoluteUnaligned")) {
    axis_scale = axis_length<pinocchio::JointModelRevoluteUnaligned>(joint);
    axis = axis_of<pinocchio::JointModelRevoluteUnaligned>(joint);
    return Kind::kRevolute;
  }
  if (is("JointModelRevoluteUnboundedUnaligned")) {
    axis_scale = axis_length<pinocchio::JointModelRevoluteUnboundedUnaligned>(joint);
    axis = axis_of<pinocchio::JointModelRevoluteUnboundedUnaligned>(joint);
    return Kind::kRevolute;
  }
  if (is("JointModelPX") || is("JointModelPY") || is("JointModelPZ")) return Kind::kPrismatic;
  if (is("JointModelPrismaticUnaligned")) {
    axis_scale = axis_length<pinocchio::JointModelPrismaticUnaligned>(joint);
    return Kind::kPrismatic;
  }
  if (is("JointModelSpherical") || is("JointModelSphericalZYX")) return Kind::kSpherical;
  if (is("JointModelFreeFlyer") || is("JointModelPlanar") || is("JointModelTranslation")) {
    return Kind::kFloating;
  }
  return Kind::kOther;
}

}  // namespace

void prepare_motion_reach(Prepared& robot) {
  MotionReach& reach = robot.reach;
  const Model& model = robot.model;
  const auto joints = static_cast<std::size_t>(model.njoints);
  reach.kinds.assign(joints, Kind::kOther);
  reach.axis_scale.assign(joints, 1.0);
  reach.offset.assign(joints, 0.0);
  reach.axes.assign(joints, Eigen::Vector3d::Zero());
  reach.covered = true;
  for (std::size_t j = 1; j < joints; ++j) {
    reach.kinds[j] = kind_of(model.joints[j], reach.axis_scale[j], reach.axes[j]);
    reach.offset[j] = model.jointPlacements[j].translation().norm();
    reach.covered = reach.covered && reach.kinds[j] != Kind::kOther;
  }

  const auto& objects = robot.geom_model.geometryObjects;
  reach.chain_start.assign(1, 0);
  reach.chain.clear();
  reach.radius.assign(objects.size(), 0.0);
  std::vector<int> up;
  for (std::size_t g = 0; g < objects.size(); ++g) {
    up.clear();
    for (auto j = objects[g].parentJoint; j != 0; j = model.parents[j]) {
      up.push_back(static_cast<int>(j));
    }
    reach.chain.insert(reach.chain.end(), up.rbegin(), up.rend());
    reach.chain_start.push_back(reach.chain.size());
    // The local box holds the geometry (a swept radius included), so its
    // corners' farthest from the joint's origin bounds every point's.
    const Box& box = robot.collision.local_boxes[g];
    double farthest = 0;
    for (int corner = 0; corner < 8; ++corner) {
      Eigen::Vector3d point = box.centre;
      for (int k = 0; k < 3; ++k) point[k] += (corner >> k & 1) ? box.half[k] : -box.half[k];
      farthest = std::max(farthest, objects[g].placement.act(point).norm());
    }
    reach.radius[g] = std::isfinite(farthest) ? farthest : kInfinity;
  }

  const auto& pairs = robot.geom_model.collisionPairs;
  reach.shared.assign(pairs.size(), 0);
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    const std::size_t a = pairs[i].first, b = pairs[i].second;
    const std::size_t length_a = reach.chain_start[a + 1] - reach.chain_start[a];
    const std::size_t length_b = reach.chain_start[b + 1] - reach.chain_start[b];
    std::size_t common = 0;
    while (common < length_a && common < length_b &&
           reach.chain[reach.chain_start[a] + common] ==
               reach.chain[reach.chain_start[b] + common]) {
      ++common;
    }
    reach.shared[i] = common;
  }
}

void reach_now(const Prepared& robot, const pinocchio::DataTpl<double>& data,
               const pinocchio::GeometryData& geom_data, std::vector<double>& out) {
  const MotionReach& reach = robot.reach;
  out.resize(reach.chain.size());
  for (std::size_t g = 0; g < reach.radius.size(); ++g) {
    // The geometry within a ball around its box's centre.
    const Box& box = robot.collision.local_boxes[g];
    const Eigen::Vector3d centre = geom_data.oMg[g].act(box.centre);
    const double ball = box.half.norm();
    for (std::size_t k = reach.chain_start[g]; k < reach.chain_start[g + 1]; ++k) {
      const auto j = static_cast<std::size_t>(reach.chain[k]);
      const pinocchio::SE3& joint = data.oMi[j];
      const Eigen::Vector3d offset = centre - joint.translation();
      double far = kInfinity;
      if (reach.kinds[j] == Kind::kRevolute) {
        const Eigen::Vector3d axis = joint.rotation() * reach.axes[j];
        far = (offset - offset.dot(axis) * axis).norm() + ball;
      } else if (reach.kinds[j] == Kind::kSpherical) {
        far = offset.norm() + ball;
      }
      // Rounding aside (placements far from the origin): a bound, so never
      // trusted below what it could be off by.
      out[k] = std::isfinite(far) ? far * (1 + 1e-9) + 1e-9 : kInfinity;
    }
  }
}

void pair_rates(const Prepared& robot, const Eigen::VectorXd& q0, const Eigen::VectorXd& q1,
                Eigen::VectorXd& tangent, std::vector<double>& speeds, std::vector<double>& rates,
                const double* at_0, const double* at_1) {
  const MotionReach& reach = robot.reach;
  const Model& model = robot.model;
  tangent.resize(model.nv);
  pinocchio::difference(model, q0, q1, tangent);

  // Per geometry, one entry per link of its chain and one more: entry k sums
  // the rates of the joints at link k and below (the last entry, none: 0).
  speeds.assign(reach.chain.size() + reach.radius.size(), 0.0);
  for (std::size_t g = 0; g < reach.radius.size(); ++g) {
    const std::size_t begin = reach.chain_start[g], end = reach.chain_start[g + 1];
    double* sums = speeds.data() + begin + g;
    double reach_below = reach.radius[g];  // bound on |p - c_j| for the joint now visited
    double below = 0;
    for (std::size_t k = end; k-- > begin;) {
      const auto j = static_cast<std::size_t>(reach.chain[k]);
      const int iv = model.idx_vs[j], nv = model.nvs[j];
      const double scale = reach.axis_scale[j];
      double rot = 0, lin = 0, travel = 0;
      switch (reach.kinds[j]) {
        case Kind::kRevolute:
          rot = std::abs(tangent[iv]) * scale;
          break;
        case Kind::kPrismatic: {
          const int iq = model.idx_qs[j];
          lin = std::abs(tangent[iv]) * scale;
          travel = std::max(std::abs(q0[iq]), std::abs(q1[iq])) * scale;
          break;
        }
        case Kind::kSpherical:
          // ZYX angles' rates map to the angular rate through unit columns.
          rot = tangent.segment(iv, nv).lpNorm<1>();
          break;
        case Kind::kFloating:
          // A constant body twist: a point at p moves at |v + w x p|. Its own
          // translation has no bound, so nothing above it is bounded.
          if (nv == 6) {
            lin = tangent.segment(iv, 3).norm();
            rot = tangent.segment(iv + 3, 3).norm();
          } else if (nv == 3 && model.nqs[j] == 4) {  // planar: x, y, angle
            lin = tangent.segment(iv, 2).norm();
            rot = std::abs(tangent[iv + 2]);
          } else {
            lin = tangent.segment(iv, nv).norm();
          }
          travel = kInfinity;
          break;
        case Kind::kOther:
          lin = kInfinity;
          travel = kInfinity;
          break;
      }
      double arm = reach_below;
      if (at_0 && rot > 0) arm = std::min(arm, (at_0[k] + at_1[k] + below) / 2);
      below += lin + (rot > 0 ? rot * arm : 0.0);
      sums[k - begin] = below;
      reach_below += travel + reach.offset[j];
    }
    sums[end - begin] = 0;
  }

  const auto& pairs = robot.geom_model.collisionPairs;
  rates.resize(pairs.size());
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    const std::size_t a = pairs[i].first, b = pairs[i].second;
    const std::size_t s = reach.shared[i];
    const double rate = speeds[reach.chain_start[a] + a + s] + speeds[reach.chain_start[b] + b + s];
    rates[i] = std::isnan(rate) ? kInfinity : rate;
  }
}

}  // namespace talvex
}  // namespace corvane
