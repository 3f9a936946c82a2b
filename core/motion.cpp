// Straight motions checked state by state.
#include "motion.h"

#include <cmath>
#include <stdexcept>
#include <string>

#include <pinocchio/algorithm/joint-configuration.hpp>

#include "self_collision.h"

namespace corvane {
namespace talvex {
namespace {

// Far beyond any motion a planner checks (a million states of a 30 us test
// take half a minute), and far below where the state index loses precision in
// a double.
constexpr double kMostSteps = 1e12;

bool state_collides(const Prepared& robot, Workspace& workspace, const Eigen::VectorXd& q0,
                    const Eigen::VectorXd& q1, std::uint64_t k, std::uint64_t steps) {
  const double u = static_cast<double>(k) / static_cast<double>(steps);
  pinocchio::interpolate(robot.model, q0, q1, u, workspace.row);
  return collides(robot, workspace, workspace.row);
}

}  // namespace

std::uint64_t motion_steps(const Model& model, const Eigen::VectorXd& q0,
                           const Eigen::VectorXd& q1, double step) {
  for (const auto* q : {&q0, &q1}) {
    const char* name = q == &q0 ? "q0" : "q1";
    if (q->size() != model.nq) {
      throw std::invalid_argument(std::string(name) + " has length " +
                                  std::to_string(q->size()) + ", expected nq = " +
                                  std::to_string(model.nq) + ".");
    }
    if (!q->allFinite()) {
      throw std::invalid_argument(std::string(name) + " holds a value that is not finite.");
    }
  }
  if (!(std::isfinite(step) && step > 0)) {
    throw std::invalid_argument("step must be a finite distance above 0, not " +
                                std::to_string(step) + ".");
  }
  const double distance = pinocchio::distance(model, q0, q1);
  const double steps = std::max(1.0, std::ceil(distance / step));
  if (!(steps <= kMostSteps)) {
    throw std::invalid_argument("the motion would take more than 1e12 states at this step.");
  }
  return static_cast<std::uint64_t>(steps);
}

bool motion_free(const Prepared& robot, Workspace& workspace, const Eigen::VectorXd& q0,
                 const Eigen::VectorXd& q1, std::uint64_t steps) {
  if (state_collides(robot, workspace, q0, q1, 0, steps) ||
      state_collides(robot, workspace, q0, q1, steps, steps)) {
    return false;
  }
  // Odd multiples of each power of two below `steps`, the largest first: every
  // state between the ends exactly once, each level halving the gaps of the last.
  std::uint64_t stride = 1;
  while (stride * 2 < steps) stride *= 2;
  for (; stride >= 1; stride /= 2) {
    for (std::uint64_t k = stride; k < steps; k += 2 * stride) {
      if (state_collides(robot, workspace, q0, q1, k, steps)) return false;
    }
  }
  return true;
}

std::uint64_t first_colliding_state(const Prepared& robot, Workspace& workspace,
                                    const Eigen::VectorXd& q0, const Eigen::VectorXd& q1,
                                    std::uint64_t steps) {
  for (std::uint64_t k = 0; k <= steps; ++k) {
    if (state_collides(robot, workspace, q0, q1, k, steps)) return k;
  }
  return steps + 1;
}

}  // namespace talvex
}  // namespace corvane
