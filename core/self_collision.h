// Self-collision test of one built robot: what the build prepares for it
// (CollisionPlan, read-only afterwards and shared by every thread), what a
// query writes (CollisionScratch, one per workspace), and the per-call passes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include <Eigen/Core>

#include <coal/collision_data.h>
#include <coal/collision_func_matrix.h>
#include <coal/narrowphase/narrowphase.h>
#include <pinocchio/multibody/geometry.hpp>
#include <pinocchio/multibody/model.hpp>

#include "hulls.h"
#include "mesh_walk.h"

namespace corvane {
namespace talvex {

struct Prepared;
struct Workspace;

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
  const Mesh* first = nullptr;
  const Mesh* second = nullptr;
};

// The pre-tests past the box test, in the order they run: the mesh trees'
// root volumes, the hulls, the hulls' pieces.
enum PreTestStage : unsigned char {
  kRootStage = 1,
  kHullStage = 2,
  kPieceStage = 4,
  kAllStages = 7,
};

// One pair as a query walks it: its index and its two geometries, and the
// pre-tests it runs past the box test (none: straight to the exact test, as
// for links that touch at nearly every configuration).
struct Step {
  std::size_t pair;
  std::size_t first;
  std::size_t second;
  unsigned char stages = kAllStages;
};

struct CollisionPlan {
  double margin = 0.0;  // the one copy a workspace writes into its requests

  std::vector<Box> local_boxes;  // per geometry
  HullSet hulls;
  std::vector<HullPair> hull_pairs;  // per pair
  std::vector<MeshPair> mesh_pairs;  // per pair
  // The hull test's own request (margin plus slack).
  coal::CollisionRequest hull_request;

  // Each pair's GJK starting guesses as a fresh work data has them (coal
  // writes the last answer's guess back into the request after every test).
  std::vector<coal::Vec3s> fresh_gjk_guess;
  std::vector<coal::support_func_guess_t> fresh_support_guess;
  std::vector<coal::Vec3s> fresh_distance_gjk_guess;
  std::vector<coal::support_func_guess_t> fresh_distance_support_guess;

  // Per pair: whether a query tests it at all (active, neither geometry's
  // collisions disabled; nothing changes that after the build).
  std::vector<char> eligible;
  // Per pair: the pre-tests it runs past the box test (see Step), those
  // that cost least at the build samples.
  std::vector<unsigned char> stages;
  // Pair indices, the cheapest proofs of collision first: the pairs with the
  // most build-sample hits per unit of the work their test took (fixed at build).
  std::vector<std::size_t> likely_first;
  // The pairs a query tests, in list order and in likely_first's order.
  std::vector<Step> walk_listed;
  std::vector<Step> walk_likely_first;

  // Whether a query may tell from q_rad alone that every placement will be
  // rigid and bounded (see placements_vouched_for): the robot's joints are all
  // of kinds whose rotation is rigid for a normalized q_rad, and its extent is
  // far within the box test's bound. A query that can then places each
  // geometry and its world box only when a pair it tests needs them.
  bool vouch_from_q = false;
  // Whether some pair collides at every rigid placement (two primitives that
  // share a point of their joint's axis; see pair_order.cpp): a q_rad vouched
  // for is then in collision, whatever else it holds.
  bool always_colliding = false;
  // The head: the first pairs of walk_likely_first when they collided at most
  // build samples. A query that can vouch for q_rad tests them before it
  // places the whole robot, with only the joints and geometries they hang from
  // placed, and answers at once when one collides; the walk then starts after them.
  std::vector<Step> head;
  std::vector<int> head_joints;              // increasing, the world joint left out
  std::vector<std::size_t> head_geometries;
  std::vector<Eigen::Index> linear_coordinates;  // the coordinates that are travels
};

// The largest travel (metres) of a coordinate of q_rad for which the head is tested.
constexpr double kHeadTravel = 1e3;

// What a query writes besides the work data: world boxes, the hull solver and
// results. Sized from the plan once, so a query allocates nothing.
struct CollisionScratch {
  explicit CollisionScratch(const CollisionPlan& plan);

  std::vector<Box> world_boxes;  // per geometry
  // Per geometry, whether its world box may rule a pair out (see self_collision.cpp).
  std::vector<char> box_usable;
  std::vector<Box> piece_world_a, piece_world_b;
  // The hull test's result and solver; the solver's warm start is reset before
  // every test.
  coal::CollisionResult hull_result;
  coal::GJKSolver hull_solver;
  // Root-volume test of two meshes (it records a distance bound there, nothing else).
  coal::CollisionResult root_result;
  // Per geometry, the query that last placed it and its world box (a query
  // placing lazily takes a new number).
  std::vector<std::uint64_t> placed_in;
  std::uint64_t query = 0;
  // Mesh pairs whose short walk did not finish, walked whole at the end.
  std::vector<std::size_t> unfinished;
};

// Build steps, in this order: the tables (boxes, hulls, pair tables) from the
// finished models; then, once a workspace exists for the robot, the fresh
// guesses and the pair order (the workspace is used as scratch).
void prepare_collision_tables(Prepared& robot);
void prepare_collision_order(Prepared& robot, Workspace& workspace);

// Whether any pair is in collision at q_rad (the workspace is written).
bool collides(const Prepared& robot, Workspace& workspace, const Eigen::VectorXd& q_rad);

// Per pair of the pair list, whether it is in collision at q_rad, each tested
// from its fresh solver start as `collides` tests it (so any of them is true
// exactly when `collides` is). `hits` has one entry per pair; pairs a query
// never tests read false.
void pair_collisions(const Prepared& robot, Workspace& workspace, const Eigen::VectorXd& q_rad,
                     char* hits);

// The pairs whose distance at q_rad, by coal's distance with the pair's fresh
// start, is below `below` metres, with that distance, in list order.
void pair_distances(const Prepared& robot, Workspace& workspace, const Eigen::VectorXd& q_rad,
                    double below, std::vector<std::pair<std::size_t, double>>& found);

// Motion checks (motion.cpp) test a state pair by pair: place_state places
// every geometry and world box at q_rad (false when some placement is not
// rigid and bounded, as collides reads it), then pair_collides_with_clearance
// gives one pair's verdict, exactly as collides reaches it, and `clearance`:
// how far the pair's distance is proven to exceed what its verdict needs
// (metres, 0 when nothing more is proven; a state where the pair's distance
// exceeds it by less than `clearance` less its own motion is clear too). The
// hull tests may go on until they prove `wanted`; with `measure`, pairs the
// pre-tests leave open, or prove clear by less than 1e-5 m and far less than
// `wanted`, get coal's distance, so that their clearance is about their
// distance less margin and slack.
bool place_state(const Prepared& robot, Workspace& workspace, const Eigen::VectorXd& q_rad);
// place_state for some geometries only: `joints` (every joint above them, in
// increasing order) and `geometries`; the rest keep what they held.
bool place_state_of(const Prepared& robot, Workspace& workspace, const Eigen::VectorXd& q_rad,
                    const std::vector<int>& joints, const std::vector<std::size_t>& geometries);
// With `start`, the hull test of the pair starts where GJK left off on it at
// the last state that tested it (and leaves its own end there): neighbouring
// states of a motion are nearly alike, so GJK needs few steps from there. What
// it proves holds from any start; the verdict is the exact test's, from its
// fresh start, as before.
struct HullStart {
  coal::Vec3s ray = coal::Vec3s::Zero();  // zero: none yet
  coal::support_func_guess_t hint = coal::support_func_guess_t::Zero();
};
bool pair_collides_with_clearance(const Prepared& robot, Workspace& workspace, const Step& step,
                                  double wanted, bool measure, double& clearance,
                                  HullStart* start = nullptr);

// The pieces the pair order uses (pair_order.cpp): the world boxes at the
// placements now in the workspace, whether the pre-tests rule pair i out, and
// pair i's exact test from its fresh start.
bool place_boxes(const CollisionPlan& plan, const pinocchio::GeometryData& geom_data,
                 CollisionScratch& scratch);
bool ruled_out(const Prepared& robot, Workspace& workspace, std::size_t i);
// The two parts of ruled_out: the box test, then the others (root volumes, hulls, pieces).
bool boxes_rule_out(const Prepared& robot, const Workspace& workspace, std::size_t i);
bool ruled_out_past_boxes(const Prepared& robot, Workspace& workspace, std::size_t i,
                          unsigned stages);
bool exact_test_from_fresh_start(const Prepared& robot, Workspace& workspace, std::size_t i);

}  // namespace talvex
}  // namespace corvane
