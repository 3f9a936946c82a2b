// Straight motions: the states pinocchio::interpolate gives between two
// configurations, at a resolution in Pinocchio's configuration distance, each
// tested as has_self_collision tests it.
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

// Whether no state of the motion collides. The ends go first, then the
// states halfway between states already tested (a collision is found early),
// and the test stops at the first state in collision.
bool motion_free(const Prepared& robot, Workspace& workspace, const Eigen::VectorXd& q0,
                 const Eigen::VectorXd& q1, std::uint64_t steps);

// The index of the first state in collision, in order from q0; `steps` + 1
// when none is. States are tested in that order, as none after the first
// colliding one matters.
std::uint64_t first_colliding_state(const Prepared& robot, Workspace& workspace,
                                    const Eigen::VectorXd& q0, const Eigen::VectorXd& q1,
                                    std::uint64_t steps);

}  // namespace talvex
}  // namespace corvane
