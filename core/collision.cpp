// Self-collision test.
#include "collision.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <random>
#include <stdexcept>

#include <coal/BVH/BVH_model.h>
#include <coal/internal/traversal_node_bvhs.h>
#include <coal/internal/traversal_node_setup.h>
#include <coal/shape/convex.h>
#include <pinocchio/algorithm/joint-configuration.hpp>
#include <pinocchio/collision/collision.hpp>

#include "robot_model.h"

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
// Where two hulls are that near, the meshes may still be well apart (finger
// phalanxes a few millimetres apart, whose exact test takes milliseconds):
// each mesh is then split the way its tree splits it, this many levels down,
// and every piece of one is tested against every piece of the other. The
// pieces' hulls together cover the mesh, so the same reasoning holds.
constexpr int kPieceDepth = 3;
// Only for meshes this detailed: a smaller one's exact test is cheap, and
// the pieces would only add tests where a pair does collide (and time to the
// build).
constexpr unsigned int kPieceTriangles = 1500;

// Pair order: configurations drawn at build, a fixed seed, so the order
// depends on the files alone. A coordinate without usable bounds is drawn in
// [-pi, pi].
constexpr int kOrderSamples = 64;
constexpr std::uint32_t kOrderSeed = 20261208;
constexpr double kStandInRange = 3.141592653589793;
constexpr double kAbsurdBound = 1e3;

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

// Whether the points span a solid well clear of rounding: qhull refuses a flat
// or near-flat set, and coal 3.0 does not survive that refusal (the process
// dies), so such a mesh gets no hull. Greedy: the point farthest from the
// first, then from the line, then from the plane; each distance must exceed
// this share of the set's size and distance from the origin.
constexpr double kSolidTolerance = 1e-6;

bool spans_a_solid(const std::vector<coal::Vec3s>& points) {
  if (points.size() < 4) return false;
  const coal::Vec3s& p0 = points.front();
  double scale = 0;
  const coal::Vec3s* p1 = &p0;
  for (const coal::Vec3s& p : points) {
    scale = std::max(scale, p.cwiseAbs().maxCoeff());
    if ((p - p0).squaredNorm() > (*p1 - p0).squaredNorm()) p1 = &p;
  }
  const coal::Vec3s axis = *p1 - p0;
  const double size = axis.norm();
  scale = std::max(scale, size);
  if (!(size > kSolidTolerance * scale)) return false;
  const coal::Vec3s* p2 = &p0;
  double off_line = 0;
  for (const coal::Vec3s& p : points) {
    const double d = (p - p0).cross(axis).norm() / size;
    if (d > off_line) off_line = d, p2 = &p;
  }
  if (!(off_line > kSolidTolerance * scale)) return false;
  const coal::Vec3s normal = axis.cross(*p2 - p0).normalized();
  double off_plane = 0;
  for (const coal::Vec3s& p : points) off_plane = std::max(off_plane, std::abs(normal.dot(p - p0)));
  return off_plane > kSolidTolerance * scale;
}

coal::CollisionFunctionMatrix::CollisionFunc collision_function(const coal::CollisionGeometry& a,
                                                                const coal::CollisionGeometry& b) {
  return collision_functions().collision_matrix[a.getNodeType()][b.getNodeType()];
}

// Which of 27 cells a direction falls in: per axis, below, about or above
// zero, "about" meaning within 22.5 degrees of the plane normal to that axis
// (scaled by the largest component). The middle cell, 13, is only that of a
// zero or NaN direction.
int direction_cell(const coal::Vec3s& d) {
  const double largest = d.cwiseAbs().maxCoeff();
  if (!(largest > 0)) return 13;
  const double about = 0.41421356 * largest;  // tan(22.5 degrees)
  int cell = 0;
  for (int k = 0; k < 3; ++k) cell = 3 * cell + (d[k] > about ? 2 : d[k] < -about ? 0 : 1);
  return cell;
}

using MeshNode = coal::MeshCollisionTraversalNode<coal::OBBRSS, 0>;

// coal's own walk of two bounding-volume trees (collisionRecurse), with one
// change: of the two children of the volume it splits, the one whose centre is
// nearer the other volume's centre goes first. The volumes tested, the leaves
// reached and coal's leaf test are the same; a hit is only found sooner. The
// answer cannot change: it is whether some reachable leaf pair collides, and
// the walk stops at the first such pair in either order.
void nearest_first(const MeshNode& node, unsigned int b1, unsigned int b2,
                   coal::CoalScalar& sqr_distance_lower_bound) {
  const bool leaf1 = node.isFirstNodeLeaf(b1);
  const bool leaf2 = node.isSecondNodeLeaf(b2);
  if (leaf1 && leaf2) {
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
    nearest_first(node, static_cast<unsigned int>(near), b2, bound1);
    if (node.canStop()) return;
    nearest_first(node, static_cast<unsigned int>(far), b2, bound2);
  } else {
    int near = node.getSecondLeftChild(b2);
    int far = node.getSecondRightChild(b2);
    const coal::Vec3s& other = centre1(static_cast<int>(b1));
    if ((centre2(far) - other).squaredNorm() < (centre2(near) - other).squaredNorm()) {
      std::swap(near, far);
    }
    nearest_first(node, b1, static_cast<unsigned int>(near), bound1);
    if (node.canStop()) return;
    nearest_first(node, b1, static_cast<unsigned int>(far), bound2);
  }
  sqr_distance_lower_bound = std::min(bound1, bound2);
}

}  // namespace

bool SelfCollision::exact_test(std::size_t i, const pinocchio::GeometryModel& geom_model,
                               pinocchio::GeometryData& geom_data) const {
  const MeshPair& meshes = mesh_pairs[i];
  if (!meshes.first) return pinocchio::computeCollision(geom_model, geom_data, i);
  // What coal's mesh-mesh test does behind Pinocchio's call, the walk aside.
  const pinocchio::CollisionPair& pair = geom_model.collisionPairs[i];
  const coal::CollisionRequest& request = geom_data.collisionRequests[i];
  coal::CollisionResult& result = geom_data.collisionResults[i];
  result.clear();
  const pinocchio::SE3& p1 = geom_data.oMg[pair.first];
  const pinocchio::SE3& p2 = geom_data.oMg[pair.second];
  const coal::Transform3s tf1(p1.rotation(), p1.translation());
  const coal::Transform3s tf2(p2.rotation(), p2.translation());
  MeshNode node(request);
  coal::initialize(node, *meshes.first, tf1, *meshes.second, tf2, result);
  coal::CoalScalar sqr_distance_lower_bound = 0;
  nearest_first(node, 0, 0, sqr_distance_lower_bound);
  if (!std::isnan(sqr_distance_lower_bound) && sqr_distance_lower_bound > 0) {
    result.updateDistanceLowerBound(std::sqrt(sqr_distance_lower_bound));
  }
  return result.isCollision();
}

void SelfCollision::build_pieces(std::size_t g, const coal::BVHModelBase& mesh,
                                 const coal::BVHModel<coal::OBBRSS>& tree) {
  std::vector<int> nodes{0};
  for (int level = 0; level < kPieceDepth; ++level) {
    std::vector<int> next;
    for (const int b : nodes) {
      const auto& node = tree.getBV(static_cast<unsigned int>(b));
      if (node.isLeaf()) {
        next.push_back(b);
      } else {
        next.push_back(node.leftChild());
        next.push_back(node.rightChild());
      }
    }
    nodes.swap(next);
  }
  if (nodes.size() < 2) return;
  std::vector<std::shared_ptr<coal::ConvexBase>> made;
  for (const int b : nodes) {
    std::vector<coal::Triangle::index_type> corners;
    std::vector<int> stack{b};
    while (!stack.empty()) {
      const auto& node = tree.getBV(static_cast<unsigned int>(stack.back()));
      stack.pop_back();
      if (node.isLeaf()) {
        const coal::Triangle& triangle =
            (*mesh.tri_indices)[static_cast<std::size_t>(node.primitiveId())];
        for (int k = 0; k < 3; ++k) corners.push_back(triangle[k]);
      } else {
        stack.push_back(node.leftChild());
        stack.push_back(node.rightChild());
      }
    }
    std::sort(corners.begin(), corners.end());
    corners.erase(std::unique(corners.begin(), corners.end()), corners.end());
    auto points = std::make_shared<std::vector<coal::Vec3s>>();
    points->reserve(corners.size());
    for (const auto corner : corners) points->push_back((*mesh.vertices)[corner]);
    if (!spans_a_solid(*points)) return;
    try {
      std::shared_ptr<coal::ConvexBase> hull(coal::ConvexBase::convexHull(
          points, static_cast<unsigned int>(points->size()), /*keepTriangles=*/false));
      if (!hull) return;
      hull->computeLocalAABB();
      made.push_back(std::move(hull));
    } catch (const std::exception&) {
      return;
    }
  }
  piece_hulls[g] = std::move(made);
  for (const auto& hull : piece_hulls[g]) pieces[g].push_back(hull.get());
}

namespace {

// A mesh before g whose vertices are g's up to a sign per axis (the same file
// on the left and, mirrored by a negative scale, on the right), vertex for
// vertex: mirroring by -1 is exact, so the signs match every coordinate to the
// bit. `twin` is g itself when there is none.
struct Twin {
  std::size_t twin;
  coal::Vec3s signs;    // g's vertex = signs * twin's vertex, coordinate-wise
  bool same_triangles;  // and the two meshes list the same triangles
};

Twin twin_before(const pinocchio::GeometryModel& geom_model, std::size_t g) {
  const auto* mesh =
      dynamic_cast<const coal::BVHModelBase*>(geom_model.geometryObjects[g].geometry.get());
  for (std::size_t h = 0; h < g; ++h) {
    const auto* other =
        dynamic_cast<const coal::BVHModelBase*>(geom_model.geometryObjects[h].geometry.get());
    if (!other || !other->vertices || other->getModelType() != mesh->getModelType() ||
        other->num_vertices != mesh->num_vertices || other->num_tris != mesh->num_tris) {
      continue;
    }
    const std::vector<coal::Vec3s>& mine = *mesh->vertices;
    const std::vector<coal::Vec3s>& theirs = *other->vertices;
    if (mine.size() != theirs.size()) continue;
    coal::Vec3s signs = coal::Vec3s::Ones();
    for (int k = 0; k < 3; ++k) {
      for (std::size_t v = 0; v < mine.size(); ++v) {
        if (theirs[v][k] != 0) {
          signs[k] = mine[v][k] == -theirs[v][k] ? -1.0 : 1.0;
          break;
        }
      }
    }
    bool mirrored = true;
    for (std::size_t v = 0; mirrored && v < mine.size(); ++v) {
      mirrored = mine[v] == theirs[v].cwiseProduct(signs);
    }
    if (!mirrored) continue;
    const bool same_triangles =
        (mesh->tri_indices == nullptr) == (other->tri_indices == nullptr) &&
        (!mesh->tri_indices || *other->tri_indices == *mesh->tri_indices);
    return Twin{h, signs, same_triangles};
  }
  return Twin{g, coal::Vec3s::Ones(), true};
}

// The hull of a mirrored twin's mesh: the twin's hull mirrored (a triangle
// flipped so that it still faces out). Null when the twin has no hull of
// triangles.
std::shared_ptr<coal::ConvexBase> mirrored_hull(const coal::ConvexBase* twin_hull,
                                                const coal::Vec3s& signs) {
  const auto* twin = dynamic_cast<const coal::Convex<coal::Triangle>*>(twin_hull);
  if (!twin || !twin->points || !twin->polygons) return nullptr;
  auto points = std::make_shared<std::vector<coal::Vec3s>>();
  points->reserve(twin->num_points);
  for (unsigned int v = 0; v < twin->num_points; ++v) {
    points->push_back((*twin->points)[v].cwiseProduct(signs));
  }
  auto triangles = std::make_shared<std::vector<coal::Triangle>>(*twin->polygons);
  if (signs.prod() < 0) {
    for (coal::Triangle& t : *triangles) t.set(t[0], t[2], t[1]);
  }
  return std::make_shared<coal::Convex<coal::Triangle>>(points, twin->num_points, triangles,
                                                        twin->num_polygons);
}

}  // namespace

void SelfCollision::build_hulls(pinocchio::GeometryModel& geom_model) {
  const std::size_t geometries = geom_model.geometryObjects.size();
  hulls.assign(geometries, nullptr);
  piece_hulls.assign(geometries, {});
  pieces.assign(geometries, {});
  for (std::size_t g = 0; g < geometries; ++g) {
    const pinocchio::GeometryObject& object = geom_model.geometryObjects[g];
    auto* mesh = dynamic_cast<coal::BVHModelBase*>(object.geometry.get());
    if (!mesh || !mesh->vertices) continue;
    // A mesh loaded twice (the same file on the left and on the right) shares
    // the first one's hulls: they would come out the same. A mirrored copy
    // gets the first one's hull mirrored, which is its hull, without qhull.
    const Twin twin = twin_before(geom_model, g);
    if (twin.twin < g && twin.signs == coal::Vec3s::Ones() && twin.same_triangles) {
      hulls[g] = hulls[twin.twin];
      piece_hulls[g] = piece_hulls[twin.twin];
      pieces[g] = pieces[twin.twin];
      continue;
    }
    if (twin.twin < g) {
      try {
        hulls[g] = mirrored_hull(hulls[twin.twin].get(), twin.signs);
      } catch (const std::exception&) {
        hulls[g] = nullptr;
      }
    }
    // Every vertex is finite: the build's mesh loader refuses any other mesh.
    if (!hulls[g] && !spans_a_solid(*mesh->vertices)) continue;
    if (!hulls[g]) {
      // buildConvexHull stores the hull in the mesh's own `convex`, which the
      // exact test would then carry around: keep it aside and put back what
      // was there. Its triangles are kept for a mirrored twin.
      const std::shared_ptr<coal::ConvexBase> before = mesh->convex;
      try {
        mesh->buildConvexHull(/*keepTriangle=*/true);
        hulls[g] = mesh->convex;
      } catch (const std::exception&) {
        // Without a hull, the mesh's pairs go straight to the exact test.
        hulls[g] = nullptr;
      }
      mesh->convex = before;
    }
    if (!hulls[g]) continue;
    hulls[g]->computeLocalAABB();
    const auto* tree = dynamic_cast<const coal::BVHModel<coal::OBBRSS>*>(mesh);
    if (tree && mesh->getModelType() == coal::BVH_MODEL_TRIANGLES && mesh->tri_indices &&
        mesh->num_tris >= kPieceTriangles) {
      build_pieces(g, *mesh, *tree);
    }
  }
  start_tables.clear();
  for (std::size_t g = 0; g < geometries; ++g) {
    if (hulls[g]) add_start_table(*hulls[g]);
    for (const auto& hull : piece_hulls[g]) add_start_table(*hull);
  }
  std::size_t most = 1;
  piece_boxes.assign(geometries, {});
  for (std::size_t g = 0; g < geometries; ++g) {
    const coal::CollisionGeometry* geometry = geom_model.geometryObjects[g].geometry.get();
    if (!dynamic_cast<const coal::BVHModelBase*>(geometry)) {
      pieces[g].push_back(geometry);
      piece_boxes[g].push_back(local_boxes[g]);
    }
    for (const auto& hull : piece_hulls[g]) {
      const coal::AABB& box = hull->aabb_local;
      piece_boxes[g].push_back(Box{(box.min_ + box.max_) / 2, (box.max_ - box.min_) / 2});
    }
    most = std::max(most, pieces[g].size());
  }
  piece_world_a.resize(most);
  piece_world_b.resize(most);
}

void SelfCollision::add_start_table(const coal::ConvexBase& hull) {
  // coal searches a small hull's vertices one by one, ignoring the start.
  if (hull.num_points <= coal::ConvexBase::num_vertices_large_convex_threshold) return;
  if (start_tables.count(&hull)) return;
  StartTable table{};
  const auto& points = *hull.points;
  for (int cell = 0; cell < 27; ++cell) {
    const coal::Vec3s d(cell / 9 - 1, (cell / 3) % 3 - 1, cell % 3 - 1);
    unsigned int best = 0;
    double farthest = points[0].dot(d);
    for (unsigned int v = 1; v < hull.num_points; ++v) {
      const double along = points[v].dot(d);
      if (along > farthest) best = v, farthest = along;
    }
    table[static_cast<std::size_t>(cell)] = static_cast<int>(best);
  }
  start_tables.emplace(&hull, table);
}

void SelfCollision::prepare(const pinocchio::Model& model, pinocchio::Data& data,
                            pinocchio::GeometryModel& geom_model,
                            pinocchio::GeometryData& geom_data, double collision_margin) {
  margin = collision_margin;
  const std::size_t geometries = geom_model.geometryObjects.size();
  local_boxes.resize(geometries);
  world_boxes.resize(geometries);
  box_usable.assign(geometries, 0);
  for (std::size_t g = 0; g < geometries; ++g) {
    coal::CollisionGeometry& geometry = *geom_model.geometryObjects[g].geometry;
    // Covers a mesh's vertices as loaded (scale applied) and a primitive whole.
    geometry.computeLocalAABB();
    const coal::AABB& box = geometry.aabb_local;
    Box& local = local_boxes[g];
    local.centre = (box.min_ + box.max_) / 2;
    local.half = (box.max_ - box.min_) / 2;
    // A swept-sphere radius inflates the shape coal tests beyond its own box.
    if (const auto* shape = dynamic_cast<const coal::ShapeBase*>(&geometry)) {
      local.half.array() += shape->getSweptSphereRadius();
    }
  }
  build_hulls(geom_model);

  const std::size_t pairs = geom_model.collisionPairs.size();
  hull_pairs.assign(pairs, HullPair{});
  mesh_pairs.assign(pairs, MeshPair{});
  fresh_gjk_guess.resize(pairs);
  fresh_support_guess.resize(pairs);
  for (std::size_t i = 0; i < pairs; ++i) {
    const pinocchio::CollisionPair& pair = geom_model.collisionPairs[i];
    const coal::CollisionGeometry& a = *geom_model.geometryObjects[pair.first].geometry;
    const coal::CollisionGeometry& b = *geom_model.geometryObjects[pair.second].geometry;
    // Pinocchio's work data made a collision functor for every pair already;
    // this says so here too, since the free pair order below rests on it.
    if (!collision_function(a, b) && !collision_function(b, a)) {
      throw std::invalid_argument("RobotModel::build_from_urdf: coal has no collision test for "
                                  "geometries " + geom_model.geometryObjects[pair.first].name +
                                  " and " + geom_model.geometryObjects[pair.second].name + ".");
    }
    fresh_gjk_guess[i] = geom_data.collisionRequests[i].cached_gjk_guess;
    fresh_support_guess[i] = geom_data.collisionRequests[i].cached_support_func_guess;

    using Mesh = coal::BVHModel<coal::OBBRSS>;
    const auto* tree_a = dynamic_cast<const Mesh*>(&a);
    const auto* tree_b = dynamic_cast<const Mesh*>(&b);
    if (tree_a && tree_b && tree_a->getModelType() == coal::BVH_MODEL_TRIANGLES &&
        tree_b->getModelType() == coal::BVH_MODEL_TRIANGLES &&
        collision_function(a, b)) {
      mesh_pairs[i] = MeshPair{tree_a, tree_b};
    }
    const bool mesh_a = dynamic_cast<const coal::BVHModelBase*>(&a) != nullptr;
    const bool mesh_b = dynamic_cast<const coal::BVHModelBase*>(&b) != nullptr;
    if (!mesh_a && !mesh_b) continue;
    if ((mesh_a && !hulls[pair.first]) || (mesh_b && !hulls[pair.second])) continue;
    HullPair& hull = hull_pairs[i];
    hull.first = mesh_a ? hulls[pair.first].get() : &a;
    hull.second = mesh_b ? hulls[pair.second].get() : &b;
    hull.test = collision_function(*hull.first, *hull.second);
  }
  hull_request.security_margin = margin + kHullSlack;
  // GJK may stop as soon as it proves the hulls that far apart: a proof, not
  // an estimate, and all the test needs.
  hull_request.distance_upper_bound = margin + kHullSlack;
  // Overlapping hulls only send the pair on; how deep they overlap (coal's
  // EPA) is not needed.
  hull_request.enable_contact = false;
  hull_request.gjk_initial_guess = coal::GJKInitialGuess::BoundingVolumeGuess;
  // Nesterov-accelerated GJK takes fewer steps on these hulls. Its early stop
  // is a separating plane, a proof whatever the steps before it, and its
  // estimate is as precise as plain GJK's (gjk_tolerance, far below the
  // slack); a run out of iterations proves nothing (see apart).
  hull_request.gjk_variant = coal::GJKVariant::NesterovAcceleration;
  // One contact's room, kept by clear(): a hull test that finds the hulls
  // near each other then allocates nothing.
  hull_result.addContact(coal::Contact());
  hull_result.clear();

  order_pairs(model, data, geom_model, geom_data);

  // The pairs a query tests, in list order and most-likely-first: a pair that
  // is not active, or has a geometry whose collisions are disabled, is never
  // tested (nothing changes either after the build).
  walk_listed.clear();
  walk_likely_first.clear();
  const auto eligible = [&geom_model, &geom_data](std::size_t i) {
    const pinocchio::CollisionPair& pair = geom_model.collisionPairs[i];
    return geom_data.activeCollisionPairs[i] &&
           !geom_model.geometryObjects[pair.first].disableCollision &&
           !geom_model.geometryObjects[pair.second].disableCollision;
  };
  const auto step = [&geom_model](std::size_t i) {
    const pinocchio::CollisionPair& pair = geom_model.collisionPairs[i];
    return Step{i, pair.first, pair.second};
  };
  for (std::size_t i = 0; i < pairs; ++i) {
    if (eligible(i)) walk_listed.push_back(step(i));
  }
  for (const std::size_t i : likely_first) {
    if (eligible(i)) walk_likely_first.push_back(step(i));
  }
}

void SelfCollision::order_pairs(const pinocchio::Model& model, pinocchio::Data& data,
                                const pinocchio::GeometryModel& geom_model,
                                pinocchio::GeometryData& geom_data) {
  // The answer is whether any pair collides, so the order of the pairs cannot
  // change it as long as no pair test throws: every pair has a collision
  // function (checked above), every mesh is finite (the build's loader) as is every
  // primitive (checked when the URDF was read), and a query walks this order
  // only when every placement is rigid and bounded (collides).
  const std::size_t pairs = geom_model.collisionPairs.size();
  likely_first.resize(pairs);
  std::iota(likely_first.begin(), likely_first.end(), std::size_t{0});
  if (pairs < 2 || model.nq == 0 || margin < 0) return;

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
    pinocchio::updateGeometryPlacements(model, data, geom_model, geom_data, q);
    place_boxes(geom_data);
    for (std::size_t i = 0; i < pairs; ++i) {
      if (ruled_out(i, geom_model, geom_data)) continue;
      ++kept[i];
      restart_guess(i, geom_data);
      if (exact_test(i, geom_model, geom_data)) ++hits[i];
    }
  }
  std::stable_sort(likely_first.begin(), likely_first.end(),
                   [&hits, &kept](std::size_t a, std::size_t b) {
                     return hits[a] != hits[b] ? hits[a] > hits[b] : kept[a] > kept[b];
                   });
}

bool SelfCollision::place_boxes(const pinocchio::GeometryData& geom_data) {
  bool all_usable = true;
  for (std::size_t g = 0; g < local_boxes.size(); ++g) {
    const pinocchio::SE3& placement = geom_data.oMg[g];
    const Box& local = local_boxes[g];
    Box& world = world_boxes[g];
    world.centre.noalias() = placement.rotation() * local.centre;
    world.centre += placement.translation();
    world.half.noalias() = placement.rotation().cwiseAbs() * local.half;
    box_usable[g] = box_is_usable(world.centre, world.half, placement.rotation());
    all_usable = all_usable && box_usable[g];
  }
  return all_usable;
}

bool SelfCollision::ruled_out(std::size_t i, const pinocchio::GeometryModel& geom_model,
                              const pinocchio::GeometryData& geom_data) {
  const pinocchio::CollisionPair& pair = geom_model.collisionPairs[i];
  // Both tests rest on rigid, bounded placements (see box_is_usable).
  if (!box_usable[pair.first] || !box_usable[pair.second]) return false;
  return boxes_apart(world_boxes[pair.first], world_boxes[pair.second]) ||
         ruled_out_past_boxes(i, geom_model, geom_data);
}

bool SelfCollision::boxes_apart(const Box& a, const Box& b) const {
  const Eigen::Vector3d gap = ((a.centre - b.centre).cwiseAbs() - a.half - b.half).cwiseMax(0.0);
  const double reach = margin + kBoxSlack;
  return gap.squaredNorm() > reach * reach;
}

bool SelfCollision::ruled_out_past_boxes(std::size_t i, const pinocchio::GeometryModel& geom_model,
                                         const pinocchio::GeometryData& geom_data) {
  const pinocchio::CollisionPair& pair = geom_model.collisionPairs[i];
  const pinocchio::SE3& pa = geom_data.oMg[pair.first];
  const pinocchio::SE3& pb = geom_data.oMg[pair.second];
  const coal::Transform3s tf_a(pa.rotation(), pa.translation());
  const coal::Transform3s tf_b(pb.rotation(), pb.translation());

  // Two meshes: the test of their trees' root volumes with the pair's own
  // request is the first step of coal's exact test (unless both roots are
  // leaves, when coal goes to the triangles at once), and far cheaper than
  // the hulls.
  const MeshPair& meshes = mesh_pairs[i];
  if (meshes.first && !(meshes.first->getBV(0).isLeaf() && meshes.second->getBV(0).isLeaf())) {
    MeshNode node(geom_data.collisionRequests[i]);
    coal::initialize(node, *meshes.first, tf_a, *meshes.second, tf_b, root_result);
    coal::CoalScalar sqr_distance_lower_bound = 0;
    if (node.BVDisjoints(0, 0, sqr_distance_lower_bound)) return true;
  }

  const HullPair& hull = hull_pairs[i];
  if (!hull.test) return false;
  if (apart(*hull.first, tf_a, *hull.second, tf_b, hull.test)) return true;

  const auto& pieces_a = pieces[pair.first];
  const auto& pieces_b = pieces[pair.second];
  if (pieces_a.empty() || pieces_b.empty() || pieces_a.size() * pieces_b.size() < 2) return false;
  // Piece pairs whose boxes are apart need no GJK (the box pre-test's reasoning).
  const auto place = [](const std::vector<Box>& local, const pinocchio::SE3& placement,
                        std::vector<Box>& world) {
    for (std::size_t k = 0; k < local.size(); ++k) {
      world[k].centre.noalias() = placement.rotation() * local[k].centre;
      world[k].centre += placement.translation();
      world[k].half.noalias() = placement.rotation().cwiseAbs() * local[k].half;
    }
  };
  place(piece_boxes[pair.first], pa, piece_world_a);
  place(piece_boxes[pair.second], pb, piece_world_b);
  for (std::size_t ka = 0; ka < pieces_a.size(); ++ka) {
    for (std::size_t kb = 0; kb < pieces_b.size(); ++kb) {
      const Box& box_a = piece_world_a[ka];
      const Box& box_b = piece_world_b[kb];
      if (boxes_apart(box_a, box_b)) continue;
      const coal::CollisionGeometry& a = *pieces_a[ka];
      const coal::CollisionGeometry& b = *pieces_b[kb];
      if (!apart(a, tf_a, b, tf_b, collision_function(a, b))) return false;
    }
  }
  return true;
}

bool SelfCollision::apart(const coal::CollisionGeometry& a, const coal::Transform3s& tf_a,
                          const coal::CollisionGeometry& b, const coal::Transform3s& tf_b,
                          coal::CollisionFunctionMatrix::CollisionFunc test) {
  if (!test) return false;
  // A fresh start every time, as a new solver would take: the answer must
  // depend on q_rad alone. (A solver made here would allocate.)
  hull_solver.set(hull_request);
  hull_solver.cached_guess = coal::Vec3s(1, 0, 0);
  hull_solver.support_func_cached_guess.setZero();
  // GJK's first direction joins the two boxes' centres (BoundingVolumeGuess);
  // each large hull's support search starts at its vertex farthest that way,
  // from a table made at build, instead of climbing from vertex 0.
  const auto table_a = start_tables.find(&a);
  const auto table_b = start_tables.find(&b);
  if (table_a != start_tables.end() || table_b != start_tables.end()) {
    const coal::Vec3s towards_b =
        tf_b.transform(b.aabb_local.center()) - tf_a.transform(a.aabb_local.center());
    if (table_a != start_tables.end()) {
      hull_solver.support_func_cached_guess[0] =
          table_a->second[direction_cell(tf_a.getRotation().transpose() * towards_b)];
    }
    if (table_b != start_tables.end()) {
      hull_solver.support_func_cached_guess[1] =
          table_b->second[direction_cell(-(tf_b.getRotation().transpose() * towards_b))];
    }
  }
  hull_result.clear();
  hull_solver.gjk.status = coal::details::GJK::DidNotRun;
  test(&a, tf_a, &b, tf_b, &hull_solver, hull_request, hull_result);
  // DidNotRun: coal answered without GJK, in closed form.
  return !hull_result.isCollision() && hull_solver.gjk.status != coal::details::GJK::Failed;
}

void SelfCollision::restart_guess(std::size_t i, pinocchio::GeometryData& geom_data) const {
  // Near contact, coal's answer depends on where its solver starts, and the
  // answer must depend on q_rad alone. The reset reaches coal's solver because
  // Pinocchio's work data turns on `enable_cached_gjk_guess` in every request;
  // were that off, coal would keep its support hint from the last call.
  coal::CollisionRequest& request = geom_data.collisionRequests[i];
  request.cached_gjk_guess = fresh_gjk_guess[i];
  request.cached_support_func_guess = fresh_support_guess[i];
}

bool SelfCollision::collides(const pinocchio::Model& model, pinocchio::Data& data,
                             const pinocchio::GeometryModel& geom_model,
                             pinocchio::GeometryData& geom_data, const Eigen::VectorXd& q_rad) {
  pinocchio::updateGeometryPlacements(model, data, geom_model, geom_data, q_rad);
  const std::size_t pairs = geom_model.collisionPairs.size();

  if (margin < 0) {
    // coal's test of two meshes with a negative margin never returns when a
    // geometry is not at a rigid pose (it spins with this object's lock held).
    for (const auto& placement : geom_data.oMg) {
      if (!is_rigid_pose(placement)) {
        throw std::invalid_argument(
            "RobotModel::has_self_collision: q_rad places a geometry at a pose that is not a "
            "rigid motion (a NaN, infinite or huge coordinate, or a continuous joint's "
            "(cos, sin) pair off the unit circle), which cannot be tested with a negative "
            "collision_margin.");
      }
    }
    for (std::size_t i = 0; i < pairs; ++i) restart_guess(i, geom_data);
    pinocchio::computeCollisions(geom_model, geom_data, /*stopAtFirstCollision=*/true);
    // The pass refreshed every result up to and including the first hit; results
    // after it may be stale, and the scan stops before reaching them.
    for (std::size_t i = 0; i < pairs; ++i) {
      if (geom_data.collisionResults[i].isCollision()) return true;
    }
    return false;
  }

  // Each geometry's world box, once. Off a rigid, bounded placement the pairs
  // go in list order, as the full pass takes them (see order_pairs).
  const bool reorder = place_boxes(geom_data);
  // The box test inline, over a compact list: most pairs end there. The
  // pre-tests rest on rigid, bounded placements (see box_is_usable).
  for (const Step& step : reorder ? walk_likely_first : walk_listed) {
    if (box_usable[step.first] && box_usable[step.second] &&
        (boxes_apart(world_boxes[step.first], world_boxes[step.second]) ||
         ruled_out_past_boxes(step.pair, geom_model, geom_data))) {
      continue;
    }
    restart_guess(step.pair, geom_data);
    if (exact_test(step.pair, geom_model, geom_data)) return true;
  }
  return false;
}

bool RobotModel::has_self_collision(const Eigen::VectorXd& q_rad) {
  std::lock_guard<std::mutex> lock(work_mutex);
  require_built();
  Models& m = *models;
  return m.self_collision.collides(m.model, m.data, m.geom_model, m.geom_data, q_rad);
}

}  // namespace talvex
}  // namespace corvane
