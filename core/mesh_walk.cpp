// The exact mesh-mesh test with the nearest child first.
#include "mesh_walk.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <coal/internal/traversal_node_bvhs.h>
#include <coal/internal/traversal_node_setup.h>

namespace corvane {
namespace talvex {
namespace {

using MeshNode = coal::MeshCollisionTraversalNode<coal::OBBRSS, 0>;

// A triangle pair farther apart than the margin plus this is one coal's leaf
// test finds clear: it reports a collision only at a distance estimate within
// the margin (plus 1e-12), and its estimate is GJK's, off by GJK's tolerance
// (1e-6, relative to the distance) at most. Rounding in the gap below is of
// the order of 1e-16 m per metre of coordinates.
constexpr double kTriangleSlack = 1e-4;

// A lower bound of the distance between the two leaves' triangles: the
// largest gap between their projections on a separating axis, of the two
// normals, then the cross products of an edge of each (0 when none separates
// them), in the first mesh's frame. It stops once the gap exceeds `threshold`.
double triangle_gap(const MeshNode& node, unsigned int b1, unsigned int b2, double threshold) {
  const coal::Triangle& t1 = node.tri_indices1[node.model1->getBV(b1).primitiveId()];
  const coal::Triangle& t2 = node.tri_indices2[node.model2->getBV(b2).primitiveId()];
  const coal::Vec3s p[3] = {node.vertices1[t1[0]], node.vertices1[t1[1]], node.vertices1[t1[2]]};
  coal::Vec3s q[3];
  for (int k = 0; k < 3; ++k) q[k] = node.RT._R() * node.vertices2[t2[k]] + node.RT._T();
  double gap = 0;
  // The gap along `axis` (any length; none when it is 0).
  const auto along = [&p, &q, &gap](coal::Vec3s axis) {
    const double length = axis.norm();
    if (!(length > 0)) return;
    axis /= length;
    double lo_p = axis.dot(p[0]), hi_p = lo_p, lo_q = axis.dot(q[0]), hi_q = lo_q;
    for (int k = 1; k < 3; ++k) {
      const double dp = axis.dot(p[k]), dq = axis.dot(q[k]);
      lo_p = std::min(lo_p, dp);
      hi_p = std::max(hi_p, dp);
      lo_q = std::min(lo_q, dq);
      hi_q = std::max(hi_q, dq);
    }
    gap = std::max(gap, std::max(lo_q - hi_p, lo_p - hi_q));
  };
  const coal::Vec3s ep[3] = {p[1] - p[0], p[2] - p[1], p[0] - p[2]};
  const coal::Vec3s eq[3] = {q[1] - q[0], q[2] - q[1], q[0] - q[2]};
  along(ep[0].cross(ep[1]));
  along(eq[0].cross(eq[1]));
  if (gap > threshold) return gap;
  for (const coal::Vec3s& a : ep) {
    for (const coal::Vec3s& b : eq) {
      along(a.cross(b));
      if (gap > threshold) return gap;
    }
  }
  return gap;
}

// coal's own walk of two bounding-volume trees (collisionRecurse), with one
// change: of the two children of the volume it splits, the one whose centre is
// nearer the other volume's centre goes first. The volumes tested, the leaves
// reached and coal's leaf test are the same; a hit is only found sooner. The
// answer cannot change: it is whether some reachable leaf pair collides, and
// the walk stops at the first such pair in either order. (A leaf pair whose
// triangle_gap clears it by kTriangleSlack is one coal's leaf test finds clear:
// it is skipped.)
//
// `budget` counts the volume pairs it may still visit; once it runs out the
// walk stops where it is (budget then reads -1), unfinished.
void nearest_first(const MeshNode& node, unsigned int b1, unsigned int b2,
                   coal::CoalScalar& sqr_distance_lower_bound, long& budget) {
  if (budget <= 0) {
    budget = -1;
    return;
  }
  --budget;
  const bool leaf1 = node.isFirstNodeLeaf(b1);
  const bool leaf2 = node.isSecondNodeLeaf(b2);
  if (leaf1 && leaf2) {
    const double margin = node.request.security_margin;
    const double gap = triangle_gap(node, b1, b2, margin + kTriangleSlack) - margin;
    if (gap > kTriangleSlack) {
      sqr_distance_lower_bound = gap * gap;
      return;
    }
    node.leafCollides(b1, b2, sqr_distance_lower_bound);
    return;
  }
  if (node.BVDisjoints(b1, b2, sqr_distance_lower_bound)) return;
  // Centres in the first mesh's frame (RT takes the second's frame there).
  const auto centre1 = [&node](int b) -> const coal::Vec3s& {
    return node.model1->getBV(static_cast<unsigned int>(b)).bv.obb.To;
  };
  const auto centre2 = [&node](int b) -> coal::Vec3s {
    return node.RT._R() * node.model2->getBV(static_cast<unsigned int>(b)).bv.obb.To +
           node.RT._T();
  };
  coal::CoalScalar bound1 = 0, bound2 = 0;
  if (node.firstOverSecond(b1, b2)) {
    int near = node.getFirstLeftChild(b1);
    int far = node.getFirstRightChild(b1);
    const coal::Vec3s other = centre2(static_cast<int>(b2));
    if ((centre1(far) - other).squaredNorm() < (centre1(near) - other).squaredNorm()) {
      std::swap(near, far);
    }
    nearest_first(node, static_cast<unsigned int>(near), b2, bound1, budget);
    if (node.canStop() || budget < 0) return;
    nearest_first(node, static_cast<unsigned int>(far), b2, bound2, budget);
  } else {
    int near = node.getSecondLeftChild(b2);
    int far = node.getSecondRightChild(b2);
    const coal::Vec3s& other = centre1(static_cast<int>(b1));
    if ((centre2(far) - other).squaredNorm() < (centre2(near) - other).squaredNorm()) {
      std::swap(near, far);
    }
    nearest_first(node, b1, static_cast<unsigned int>(near), bound1, budget);
    if (node.canStop() || budget < 0) return;
    nearest_first(node, b1, static_cast<unsigned int>(far), bound2, budget);
  }
  sqr_distance_lower_bound = std::min(bound1, bound2);
}

}  // namespace

bool meshes_collide(const Mesh& a, const coal::Transform3s& tf_a, const Mesh& b,
                    const coal::Transform3s& tf_b, const coal::CollisionRequest& request,
                    coal::CollisionResult& result) {
  result.clear();
  MeshNode node(request);
  coal::initialize(node, a, tf_a, b, tf_b, result);
  coal::CoalScalar sqr_distance_lower_bound = 0;
  long budget = std::numeric_limits<long>::max();
  nearest_first(node, 0, 0, sqr_distance_lower_bound, budget);
  if (!std::isnan(sqr_distance_lower_bound) && sqr_distance_lower_bound > 0) {
    result.updateDistanceLowerBound(std::sqrt(sqr_distance_lower_bound));
  }
  return result.isCollision();
}

WalkEnd meshes_collide_within(const Mesh& a, const coal::Transform3s& tf_a, const Mesh& b,
                              const coal::Transform3s& tf_b, const coal::CollisionRequest& request,
                              coal::CollisionResult& result, long volume_pairs) {
  result.clear();
  MeshNode node(request);
  coal::initialize(node, a, tf_a, b, tf_b, result);
  coal::CoalScalar sqr_distance_lower_bound = 0;
  nearest_first(node, 0, 0, sqr_distance_lower_bound, volume_pairs);
  if (result.isCollision()) return WalkEnd::kHit;
  return volume_pairs < 0 ? WalkEnd::kUnfinished : WalkEnd::kClear;
}

bool mesh_roots_apart(const Mesh& a, const coal::Transform3s& tf_a, const Mesh& b,
                      const coal::Transform3s& tf_b, const coal::CollisionRequest& request,
                      coal::CollisionResult& scratch) {
  // Two leaves at the roots: coal goes to the triangles at once.
  if (a.getBV(0).isLeaf() && b.getBV(0).isLeaf()) return false;
  MeshNode node(request);
  coal::initialize(node, a, tf_a, b, tf_b, scratch);
  coal::CoalScalar sqr_distance_lower_bound = 0;
  return node.BVDisjoints(0, 0, sqr_distance_lower_bound);
}

}  // namespace talvex
}  // namespace corvane
