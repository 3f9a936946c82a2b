// Straight motions: the states pinocchio::interpolate gives between two
// configurations, at a resolution in Pinocchio's configuration distance, each
// tested as has_self_collision tests it; and the certified check of the whole
// motion (every configuration on it, not samples).
#pragma once

#include <cstddef>
#include <cstdint>

#include <Eigen/Core>

#include "prepared.h"

namespace corvane {
namespace talvex {

// The number n of steps of the motion from q0 to q1: the states are
// interpolate(q0, q1, k / n) for k = 0..n, n = max(1, ceil(distance / step)).
// Throws std::invalid_argument for endpoints of the wrong length or not finite,
// a step that is not finite and above 0, or a motion of more states than can be tested.
std::uint64_t motion_steps(const Model& model, const Eigen::VectorXd& q0,
                           const Eigen::VectorXd& q1, double step);
// The endpoint checks of motion_steps alone.
void check_motion_ends(const Model& model, const Eigen::VectorXd& q0, const Eigen::VectorXd& q1);

// Whether no state of the motion collides. The ends go first (q1, then q0), then the state
// halfway between two tested ones, depth first; the test stops at the first
// state in collision. What a state proves about a pair serves its neighbours
// (see motion.cpp), so most states need no test of their own; every state's
// verdict is still exactly has_self_collision's.
bool motion_free(const Prepared& robot, Workspace& workspace, const Eigen::VectorXd& q0,
                 const Eigen::VectorXd& q1, std::uint64_t steps);

// The index of the first state in collision, in order from q0; `steps` + 1
// when none is.
std::uint64_t first_colliding_state(const Prepared& robot, Workspace& workspace,
                                    const Eigen::VectorXd& q0, const Eigen::VectorXd& q1,
                                    std::uint64_t steps);

// The certified check's three answers.
struct MotionProof {
  enum class Status { kFree, kCollides, kUnproven };
  Status status = Status::kUnproven;
  double at = 0;  // kCollides: the u of a state in collision (interpolate(q0, q1, u))
};

// Free only when every configuration interpolate(q0, q1, u), u in [0, 1], is
// proven to keep every tested pair farther apart than the margin (by more than
// the slack of the hull test, so that has_self_collision is false there).
// Collides with the u of a state found in collision. Unproven when a pair
// stays within kProofTolerance of that bound over a stretch on which it moves
// less than kProofTolerance, when a joint between a pair's links is of a kind
// the motion bound does not cover, when the ends are not normalised, or when
// the proof would take more than kMostProofStates states.
MotionProof certify_motion(const Prepared& robot, Workspace& workspace,
                           const Eigen::VectorXd& q0, const Eigen::VectorXd& q1);
constexpr double kProofTolerance = 1e-6;        // metres
constexpr std::uint64_t kMostProofStates = 200000;

}  // namespace talvex
}  // namespace corvane
