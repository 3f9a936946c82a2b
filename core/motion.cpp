// Straight motions, checked state by state with what each tested state proves
// carried to its neighbours, and certified whole.
//
// A tested state proves, per pair, a clearance c: the pair's distance exceeds
// what a clear verdict needs by at least c (self_collision.h). Along the motion
// the pair's distance changes at most at its rate r (motion_reach.h) per unit
// of u, so the pair stays clear while |u' - u| * r < c, and any state within
// that stretch needs no test of that pair. The search below keeps, for the
// stretch between two tested states, the pairs whose two stretches do not meet
// ("open"), tests only those at the midpoint, and splits. A state whose every
// pair is carried needs no test at all.
#include "motion.h"

#include <algorithm>
#include <cmath>
#include <limits>
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
constexpr double kInfinity = std::numeric_limits<double>::infinity();
// Ends normalised to this, so that every state between them is a rigid
// placement (the motion bound is a bound on rigid motions).
constexpr double kNormalised = 1e-10;
// Deeper than any search goes: the discrete one halves at most 40 times (1e12
// states), the certified one stops splitting here.
constexpr std::size_t kDeepest = 96;

bool state_collides(const Prepared& robot, Workspace& workspace, const Eigen::VectorXd& q0,
                    const Eigen::VectorXd& q1, std::uint64_t k, std::uint64_t steps) {
  const double u = static_cast<double>(k) / static_cast<double>(steps);
  pinocchio::interpolate(robot.model, q0, q1, u, workspace.row);
  return collides(robot, workspace, workspace.row);
}

// Whether what states prove may be carried along this motion at all: a margin
// of 0 or more (a negative one has its own pass) and ends whose rotations are
// rigid.
bool can_carry(const Prepared& robot, const Eigen::VectorXd& q0, const Eigen::VectorXd& q1) {
  return robot.collision.margin >= 0 && pinocchio::isNormalized(robot.model, q0, kNormalised) &&
         pinocchio::isNormalized(robot.model, q1, kNormalised);
}

// The outer lists are sized once (kDeepest), so references into them hold.
std::vector<double>& buffer(std::vector<std::vector<double>>& list, std::size_t k,
                            std::size_t size) {
  list[k].resize(size);
  return list[k];
}

// One search over a motion: the discrete check (states k / n) or the
// certified one (any u, split until proven).
class Search {
 public:
  Search(const Prepared& robot, Workspace& workspace, const Eigen::VectorXd& q0,
         const Eigen::VectorXd& q1, bool certify)
      : robot(robot), workspace(workspace), q0(q0), q1(q1), certify(certify),
        walk(robot.collision.walk_likely_first), scratch(workspace.motion) {
    pair_rates(robot, q0, q1, scratch.tangent, scratch.speeds, scratch.rates);
    if (scratch.open.size() < kDeepest + 2) scratch.open.resize(kDeepest + 2);
    if (scratch.clearances.size() < kDeepest + 2) scratch.clearances.resize(kDeepest + 2);
    // Each motion's GJK starts afresh, so that its cost does not hang on the last.
    scratch.hull_starts.assign(robot.geom_model.collisionPairs.size(), HullStart{});
    auto& all = scratch.open[0];
    all.resize(walk.size());
    for (std::size_t k = 0; k < walk.size(); ++k) all[k] = static_cast<std::uint32_t>(k);
  }

  // Tests the state at u for the open pairs of depth `depth`, writing their
  // clearances into `clearance` (by walk position). `span`: the length in u
  // of the stretch the state should cover. True when the state collides.
  bool test(double u, std::size_t depth, double span, std::vector<double>& clearance) {
    ++states;
    pinocchio::interpolate(robot.model, q0, q1, u, workspace.row);
    const auto& open = scratch.open[depth];
    if (!place(open)) {
      // Off a rigid, bounded placement the pass of has_self_collision itself
      // decides, in its own order; nothing is proven beyond its verdict.
      for (const std::uint32_t k : open) clearance[k] = 0;
      return collides(robot, workspace, workspace.row);
    }
    for (std::size_t n = 0; n < open.size(); ++n) {
      const std::uint32_t k = open[n];
      const Step& step = walk[k];
      const double rate = scratch.rates[step.pair];
      const double wanted = std::isfinite(rate) ? rate * span : 0.0;
      if (pair_collides_with_clearance(robot, workspace, step, wanted, certify, clearance[k],
                                       &scratch.hull_starts[step.pair])) {
        // What the pairs not reached prove is unknown: nothing.
        for (std::size_t rest = n; rest < open.size(); ++rest) clearance[open[rest]] = 0;
        return true;
      }
    }
    return false;
  }

  // Places what the open pairs need at the state in workspace.row: every
  // geometry when most pairs are open, else theirs alone (and the joints
  // above them). False when a placement is not rigid and bounded.
  bool place(const std::vector<std::uint32_t>& open) {
    if (2 * open.size() >= walk.size()) return place_state(robot, workspace, workspace.row);
    const MotionReach& reach = robot.reach;
    scratch.joint_marks.assign(static_cast<std::size_t>(robot.model.njoints), 0);
    scratch.geometry_marks.assign(reach.radius.size(), 0);
    scratch.geometries.clear();
    for (const std::uint32_t k : open) {
      for (const std::size_t g : {walk[k].first, walk[k].second}) {
        if (scratch.geometry_marks[g]) continue;
        scratch.geometry_marks[g] = 1;
        scratch.geometries.push_back(g);
        for (std::size_t c = reach.chain_start[g]; c < reach.chain_start[g + 1]; ++c) {
          scratch.joint_marks[static_cast<std::size_t>(reach.chain[c])] = 1;
        }
      }
    }
    scratch.joints.clear();
    for (std::size_t j = 1; j < scratch.joint_marks.size(); ++j) {
      if (scratch.joint_marks[j]) scratch.joints.push_back(static_cast<int>(j));
    }
    return place_state_of(robot, workspace, workspace.row, scratch.joints, scratch.geometries);
  }

  // Fills the open pairs of depth + 1: those of `depth` whose clearances at
  // the two ends of the stretch do not reach each other over its `length` in
  // u. For the discrete search, `step` is one state's length: the states
  // between a and b are a + 1 .. b - 1, and each end reaches at least the
  // state next to it only if its clearance does; the union then covers them
  // when max(c_a, r step) + max(c_b, r step) > r (b - a) step.
  std::size_t narrow(std::size_t depth, const std::vector<double>& at_a,
                     const std::vector<double>& at_b, double length, double step) {
    const auto& open = scratch.open[depth];
    auto& next = scratch.open[depth + 1];
    next.clear();
    reach_a = reach_b = kInfinity;
    for (const std::uint32_t k : open) {
      const double rate = scratch.rates[walk[k].pair];
      const double least = rate * step;
      // Both clearances 0: nothing is carried, whatever the rate.
      const double reach = std::max(at_a[k], least) + std::max(at_b[k], least);
      const bool carried = (at_a[k] > 0 || at_b[k] > 0) && reach > rate * length * (1 + 1e-9);
      if (!carried) {
        next.push_back(k);
        reach_a = std::min(reach_a, rate > 0 ? at_a[k] / rate : 0.0);
        reach_b = std::min(reach_b, rate > 0 ? at_b[k] / rate : 0.0);
      }
    }
    return next.size();
  }

  // Where to test next in the stretch [a, b] (in u) narrow just looked at: the
  // middle of what neither end covers for every open pair, rather than the
  // middle of the stretch, so that a state is not spent where one end's
  // clearance already reaches.
  double split(double a, double b) const {
    const double from = std::min(a + reach_a, b), to = std::max(b - reach_b, a);
    return from < to ? from + (to - from) / 2 : a + (b - a) / 2;
  }

  // After the ends' tests (each followed by note_end): the rates again, with
  // the reach each geometry has at the ends.
  void note_end(bool last) {
    reach_now(robot, workspace.data, workspace.geom_data, last ? scratch.near_1 : scratch.near_0);
  }
  void refine_rates() {
    pair_rates(robot, q0, q1, scratch.tangent, scratch.speeds, scratch.rates,
               scratch.near_0.data(), scratch.near_1.data());
  }

  double most_rate(std::size_t depth) const {
    double most = 0;
    for (const std::uint32_t k : scratch.open[depth]) {
      most = std::max(most, scratch.rates[walk[k].pair]);
    }
    return most;
  }

  const Prepared& robot;
  Workspace& workspace;
  const Eigen::VectorXd& q0;
  const Eigen::VectorXd& q1;
  const bool certify;
  const std::vector<Step>& walk;
  Workspace::Motion& scratch;
  std::uint64_t states = 0;
  // From narrow: how far in u each end carries every pair left open.
  double reach_a = 0, reach_b = 0;
};

// The discrete search over states a < k < b (a and b tested, their
// clearances in buffers `ia` and `ib`), at depth `depth`. Keeps `first`, the
// lowest colliding state found; with `stop`, returns at the first found.
// Stretches are visited left half first, so `first` only needs the left of
// what it has.
void search_steps(Search& search, std::uint64_t steps, std::uint64_t a, std::uint64_t b,
                  std::size_t ia, std::size_t ib, std::size_t depth, bool stop,
                  std::uint64_t& first) {
  if (b - a < 2 || a >= first) return;
  auto& clearances = search.scratch.clearances;
  const double per_step = 1.0 / static_cast<double>(steps);
  // State a covers state k of a pair when (k - a) * per_step * rate < c.
  if (search.narrow(depth, clearances[ia], clearances[ib],
                    static_cast<double>(b - a) * per_step, per_step) == 0) {
    return;
  }
  const double at = search.split(static_cast<double>(a) * per_step,
                                 static_cast<double>(b) * per_step) / per_step;
  const std::uint64_t m = std::clamp<std::uint64_t>(
      static_cast<std::uint64_t>(std::llround(at)), a + 1, b - 1);
  if (m >= first) return;
  const std::size_t im = depth + 2;
  std::vector<double>& at_m = buffer(clearances, im, search.walk.size());
  const double span = static_cast<double>(b - a) / 2 * per_step;
  if (search.test(static_cast<double>(m) * per_step, depth + 1, span, at_m)) {
    first = m;
    if (stop) return;
  }
  search_steps(search, steps, a, m, ia, im, depth + 1, stop, first);
  if (stop && first <= steps) return;
  search_steps(search, steps, m, b, im, ib, depth + 1, stop, first);
}

// The lowest colliding state, `steps` + 1 when none; with `stop`, any
// colliding state (the answer is then only whether one is).
std::uint64_t search_motion(const Prepared& robot, Workspace& workspace,
                            const Eigen::VectorXd& q0, const Eigen::VectorXd& q1,
                            std::uint64_t steps, bool stop) {
  Search search(robot, workspace, q0, q1, /*certify=*/false);
  auto& clearances = workspace.motion.clearances;
  const std::size_t pairs = search.walk.size();
  std::vector<double>& at_0 = buffer(clearances, 0, pairs);
  std::vector<double>& at_n = buffer(clearances, 1, pairs);
  std::uint64_t first = steps + 1;
  if (stop) {
    // The far end first: a planner's motion starts from a state it holds
    // valid, and most of those that collide do so at the state it extends to.
    if (search.test(1.0, 0, 0.5, at_n)) return steps;
    search.note_end(true);
    if (search.test(0.0, 0, 0.5, at_0)) return 0;
    search.note_end(false);
  } else {
    if (search.test(0.0, 0, 0.5, at_0)) return 0;
    search.note_end(false);
    if (search.test(1.0, 0, 0.5, at_n)) first = steps;
    search.note_end(true);
  }
  search.refine_rates();
  search_steps(search, steps, 0, steps, 0, 1, 0, stop, first);
  return first;
}

}  // namespace

void check_motion_ends(const Model& model, const Eigen::VectorXd& q0, const Eigen::VectorXd& q1) {
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
}

std::uint64_t motion_steps(const Model& model, const Eigen::VectorXd& q0,
                           const Eigen::VectorXd& q1, double step) {
  check_motion_ends(model, q0, q1);
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
  require_workspace_of(robot, workspace);
  if (can_carry(robot, q0, q1)) {
    return search_motion(robot, workspace, q0, q1, steps, /*stop=*/true) > steps;
  }
  if (state_collides(robot, workspace, q0, q1, steps, steps) ||
      state_collides(robot, workspace, q0, q1, 0, steps)) {
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
  require_workspace_of(robot, workspace);
  if (can_carry(robot, q0, q1)) {
    return search_motion(robot, workspace, q0, q1, steps, /*stop=*/false);
  }
  for (std::uint64_t k = 0; k <= steps; ++k) {
    if (state_collides(robot, workspace, q0, q1, k, steps)) return k;
  }
  return steps + 1;
}

namespace {

// The certified search over the stretch (ua, ub), both ends tested.
MotionProof::Status certify_stretch(Search& search, double ua, double ub, std::size_t ia,
                                    std::size_t ib, std::size_t depth, double& at) {
  auto& clearances = search.scratch.clearances;
  if (search.narrow(depth, clearances[ia], clearances[ib], ub - ua, 0.0) == 0) {
    return MotionProof::Status::kFree;
  }
  // Too short to split: the open pairs move less than the tolerance over it,
  // yet neither end proves them clear by that much. A pair the bound does not
  // cover (infinite rate) can never be carried.
  const double rate = search.most_rate(depth + 1);
  if (!std::isfinite(rate) || rate * (ub - ua) < kProofTolerance ||
      search.states >= kMostProofStates || depth + 3 >= kDeepest) {
    return MotionProof::Status::kUnproven;
  }
  const double um = search.split(ua, ub);
  const std::size_t im = depth + 2;
  std::vector<double>& at_m = buffer(clearances, im, search.walk.size());
  if (search.test(um, depth + 1, (ub - ua) / 2, at_m)) {
    at = um;
    return MotionProof::Status::kCollides;
  }
  const MotionProof::Status left = certify_stretch(search, ua, um, ia, im, depth + 1, at);
  if (left != MotionProof::Status::kFree) return left;
  return certify_stretch(search, um, ub, im, ib, depth + 1, at);
}

}  // namespace

MotionProof certify_motion(const Prepared& robot, Workspace& workspace,
                           const Eigen::VectorXd& q0, const Eigen::VectorXd& q1) {
  require_workspace_of(robot, workspace);
  check_motion_ends(robot.model, q0, q1);
  if (robot.collision.margin < 0) {
    throw std::invalid_argument(
        "a motion is certified only at a collision margin of 0 or more.");
  }
  MotionProof proof;
  if (!can_carry(robot, q0, q1)) return proof;  // unproven
  Search search(robot, workspace, q0, q1, /*certify=*/true);
  auto& clearances = workspace.motion.clearances;
  const std::size_t pairs = search.walk.size();
  std::vector<double>& at_0 = buffer(clearances, 0, pairs);
  std::vector<double>& at_1 = buffer(clearances, 1, pairs);
  for (const double u : {1.0, 0.0}) {  // the far end first, as motion_free takes them
    if (search.test(u, 0, 0.5, u == 0.0 ? at_0 : at_1)) {
      proof.status = MotionProof::Status::kCollides;
      proof.at = u;
      return proof;
    }
    search.note_end(u == 1.0);
  }
  search.refine_rates();
  proof.status = certify_stretch(search, 0.0, 1.0, 0, 1, 0, proof.at);
  return proof;
}

}  // namespace talvex
}  // namespace corvane
