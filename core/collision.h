// Self-collision test of one built robot: what the build prepares for it and
// the per-call pass. RobotModel owns one beside its models.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <Eigen/Core>

#include <coal/BVH/BVH_model.h>
#include <coal/collision_data.h>
#include <coal/collision_func_matrix.h>
#include <coal/narrowphase/narrowphase.h>
#include <coal/shape/geometric_shapes.h>
#include <pinocchio/geometry.hpp>
#include <pinocchio/multibody.hpp>

namespace corvane {
namespace talvex {

class SelfCollision {
 public:
  // Called once the geometry work data exists and every request holds
  // `margin`. Fills everything a query needs, so that a query allocates
  // nothing. `data` and the placements in `geom_data` are used as scratch.
  void prepare(const pinocchio::Model& model, pinocchio::Data& data,
               pinocchio::GeometryModel& geom_model, pinocchio::GeometryData& geom_data,
               double margin);

  // Whether any pair is in collision at q_rad (the work data are written).
  bool collides(const pinocchio::Model& model, pinocchio::Data& data,
                const pinocchio::GeometryModel& geom_model, pinocchio::GeometryData& geom_data,
                const Eigen::VectorXd& q_rad);

 private:
  // A box as centre and half extents: in the geometry's own frame (local) and,
  // per query, around the placed geometry (world).
  struct Box {
    Eigen::Vector3d centre;
    Eigen::Vector3d half;
  };

  // The second pre-test of one pair: its two shapes as the hull test sees them
  // (a mesh's convex hull, a primitive itself) and coal's collision function
  // for them; no function when the pair has no mesh or a hull could not be made.
  struct HullPair {
    const coal::CollisionGeometry* first = nullptr;
    const coal::CollisionGeometry* second = nullptr;
    coal::CollisionFunctionMatrix::CollisionFunc test = nullptr;
  };

  // The two triangle meshes of a pair whose exact test walks their trees
  // nearest child first (null for other pairs).
  struct MeshPair {
    const coal::BVHModel<coal::OBBRSS>* first = nullptr;
    const coal::BVHModel<coal::OBBRSS>* second = nullptr;
  };

  // One pair as a query walks it: its index and its two geometries.
  struct Step {
    std::size_t pair;
    std::size_t first;
    std::size_t second;
  };

  // Places each geometry's box; true when every box may rule pairs out.
  bool place_boxes(const pinocchio::GeometryData& geom_data);
  // Whether GJK proves the two shapes farther apart than margin + slack.
  bool apart(const coal::CollisionGeometry& a, const coal::Transform3s& tf_a,
             const coal::CollisionGeometry& b, const coal::Transform3s& tf_b,
             coal::CollisionFunctionMatrix::CollisionFunc test);
  // Whether the pre-tests prove pair i farther apart than the margin.
  bool ruled_out(std::size_t i, const pinocchio::GeometryModel& geom_model,
                 const pinocchio::GeometryData& geom_data);
  // Puts pair i's GJK starting guess back to its fresh request's.
  void restart_guess(std::size_t i, pinocchio::GeometryData& geom_data) const;
  // Whether two world boxes are farther apart than the margin plus the box slack.
  bool boxes_apart(const Box& a, const Box& b) const;
  // The pre-tests after the box test (placements rigid and bounded).
  bool ruled_out_past_boxes(std::size_t i, const pinocchio::GeometryModel& geom_model,
                            const pinocchio::GeometryData& geom_data);
  // coal's exact test of pair i, as Pinocchio runs it.
  bool exact_test(std::size_t i, const pinocchio::GeometryModel& geom_model,
                  pinocchio::GeometryData& geom_data) const;
  void build_pieces(std::size_t g, const coal::BVHModelBase& mesh,
                    const coal::BVHModel<coal::OBBRSS>& tree);
  void build_hulls(pinocchio::GeometryModel& geom_model);
  void order_pairs(const pinocchio::Model& model, pinocchio::Data& data,
                   const pinocchio::GeometryModel& geom_model,
                   pinocchio::GeometryData& geom_data);

  double margin = 0.0;  // as written into every pair's request

  std::vector<Box> local_boxes;  // per geometry
  std::vector<Box> world_boxes;  // per geometry; scratch of the query
  // Per geometry, whether its world box may rule a pair out (see collision.cpp).
  std::vector<char> box_usable;

  // Per geometry, a mesh's convex hull (null for a primitive, or when the hull
  // could not be made).
  std::vector<std::shared_ptr<coal::ConvexBase>> hulls;
  std::vector<HullPair> hull_pairs;  // per pair
  // Per geometry, the shapes the piecewise hull test uses: a mesh's pieces (the
  // hulls of the triangles under each node a few levels down its tree; empty
  // when one could not be made), a primitive itself.
  std::vector<std::vector<std::shared_ptr<coal::ConvexBase>>> piece_hulls;
  std::vector<std::vector<const coal::CollisionGeometry*>> pieces;
  std::vector<std::vector<Box>> piece_boxes;  // local box of each piece
  std::vector<Box> piece_world_a, piece_world_b;  // scratch of the query
  std::vector<MeshPair> mesh_pairs;  // per pair
  // The hull test's own request (margin plus slack), result and solver; the
  // solver's warm start is reset before every test.
  coal::CollisionRequest hull_request;
  coal::CollisionResult hull_result;
  coal::GJKSolver hull_solver;
  // Scratch result of the root-volume test of two meshes (it records a distance
  // bound there, nothing else).
  coal::CollisionResult root_result;

  // Each pair's GJK starting guess as its fresh request had it (coal writes
  // the last answer's guess back into the request after every test).
  std::vector<coal::Vec3s> fresh_gjk_guess;
  std::vector<coal::support_func_guess_t> fresh_support_guess;

  // Per large hull (coal climbs its vertices), the vertex farthest along each
  // of 27 directions: where its support search starts (see apart).
  using StartTable = std::array<int, 27>;
  void add_start_table(const coal::ConvexBase& hull);
  std::unordered_map<const coal::CollisionGeometry*, StartTable> start_tables;
  // Pair indices, the pairs most often in collision first (fixed at build).
  std::vector<std::size_t> likely_first;
  // The pairs a query tests, in list order and in likely_first's order.
  std::vector<Step> walk_listed;
  std::vector<Step> walk_likely_first;
};

}  // namespace talvex
}  // namespace corvane
