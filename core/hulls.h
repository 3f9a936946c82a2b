// Convex hulls of a robot's meshes, made once at build: the shapes the hull
// pre-test of the self-collision pass tests instead of the meshes.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <unordered_map>
#include <vector>

#include <Eigen/Core>

#include <coal/BVH/BVH_model.h>
#include <coal/collision_object.h>
#include <coal/shape/convex.h>
#include <pinocchio/multibody/geometry.hpp>

namespace corvane {
namespace talvex {

// A box as centre and half extents: in a geometry's own frame (local) or
// around a placed geometry (world).
struct Box {
  Eigen::Vector3d centre;
  Eigen::Vector3d half;
};

// Per large hull (coal climbs its vertices), the vertex farthest along each of
// 27 directions: where its support search starts.
using StartTable = std::array<int, 27>;

// Which of the 27 cells of a start table a direction falls in.
int direction_cell(const coal::Vec3s& d);

struct HullSet {
  // Per geometry, a mesh's convex hull (null for a primitive, or when the hull
  // could not be made).
  std::vector<std::shared_ptr<coal::ConvexBase>> hulls;
  // Per geometry, the shapes the piecewise hull test uses: a mesh's pieces (the
  // hulls of the triangles under each node a few levels down its tree; empty
  // when one could not be made), a primitive itself.
  std::vector<std::vector<std::shared_ptr<coal::ConvexBase>>> piece_hulls;
  std::vector<std::vector<const coal::CollisionGeometry*>> pieces;
  std::vector<std::vector<Box>> piece_boxes;  // local box of each piece
  std::size_t most_pieces = 1;                // of any geometry
  std::unordered_map<const coal::CollisionGeometry*, StartTable> start_tables;

  // `local_boxes` are the geometries' own boxes (for a primitive's one piece).
  // A mesh's own `convex` is left as it was.
  void build(pinocchio::GeometryModel& geom_model, const std::vector<Box>& local_boxes);

 private:
  void build_pieces(std::size_t g, const coal::BVHModelBase& mesh,
                    const coal::BVHModel<coal::OBBRSS>& tree);
  void add_start_table(const coal::ConvexBase& hull);
};

}  // namespace talvex
}  // namespace corvane
