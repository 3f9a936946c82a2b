// How far the two geometries of each pair can move relative to each other
// along a straight motion: the bound by which a motion check carries what one
// state proved about a pair over to its neighbours.
//
// Along interpolate(q0, q1, u) every joint moves at a constant rate v_j (the
// tangent of difference(q0, q1)). Seen from the deepest joint both geometries
// of a pair hang from, only the joints below it move them, and a point p of a
// geometry moves at most at
//     sum over those joints j of  lin_j + rot_j * R_j
// metres per unit of u, where rot_j and lin_j bound the joint's angular and
// linear rate (a revolute joint: rot = |v_j|, a prismatic one: lin = |v_j|)
// and R_j bounds |p - c_j|, c_j the point the joint turns about: the lengths
// of the joint placements between j and the geometry, the travel of the
// prismatic joints among them (their larger end value), and the geometry's
// farthest point from its own joint. The distance of the two geometries then
// changes by at most the sum of both rates times the change in u.
#pragma once

#include <cstddef>
#include <vector>

#include <Eigen/Core>

#include <pinocchio/multibody/data.hpp>
#include <pinocchio/multibody/geometry.hpp>
#include <pinocchio/multibody/model.hpp>

namespace corvane {
namespace talvex {

struct Prepared;

struct MotionReach {
  enum class Kind : unsigned char {
    kRevolute,   // one angle, about a fixed axis through the joint origin
    kPrismatic,  // one travel along a fixed axis
    kSpherical,  // a rotation about the joint origin (quaternion or ZYX angles)
    kFloating,   // translation and rotation (free flyer, planar, translation)
    kOther,      // not covered: pairs it moves are never carried over
  };
  std::vector<Kind> kinds;           // per joint
  std::vector<double> axis_scale;    // per joint: its axis' length (1 but for unaligned axes)
  std::vector<double> offset;        // per joint: length of its placement in its parent
  // Per geometry, its joint's chain from the top (the world joint left out):
  // chain[chain_start[g] .. chain_start[g + 1]).
  std::vector<std::size_t> chain_start;
  std::vector<int> chain;
  std::vector<double> radius;        // per geometry: farthest point from its joint's origin
  std::vector<std::size_t> shared;   // per pair: joints its two chains share
  std::vector<Eigen::Vector3d> axes; // per revolute joint: its unit axis, in its frame
  bool covered = true;               // whether every joint's kind is covered
};

// Filled from the finished models (the collision tables must exist: it reads
// the geometries' local boxes).
void prepare_motion_reach(Prepared& robot);

// Per pair, the rate (metres per unit of u) at which its two geometries can
// approach along the motion from q0 to q1; +infinity for pairs it cannot
// bound. `speeds` is scratch (one entry per chain link).
//
// With `at_0` and `at_1` (from reach_now at the two ends), a joint's reach
// R_j is also bounded by where the geometry actually is: its farthest from
// the joint's axis (a revolute joint) or centre (a spherical one) changes
// along the motion only by the motion of the joints below j (the joint's own
// turn keeps it), at most S_j per unit of u, so over u in [0, 1] it stays
// below (d_0 + d_1 + S_j) / 2.
void pair_rates(const Prepared& robot, const Eigen::VectorXd& q0, const Eigen::VectorXd& q1,
                Eigen::VectorXd& tangent, std::vector<double>& speeds, std::vector<double>& rates,
                const double* at_0 = nullptr, const double* at_1 = nullptr);

// Per chain link (the layout of MotionReach::chain), the farthest the link's
// geometry is from the joint's axis or centre at the placements now in
// `data` and `geom_data` (+infinity for other kinds of joint).
void reach_now(const Prepared& robot, const pinocchio::DataTpl<double>& data,
               const pinocchio::GeometryData& geom_data, std::vector<double>& out);

}  // namespace talvex
}  // namespace corvane
