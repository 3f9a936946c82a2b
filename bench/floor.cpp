// The floor: the library calls each talvex query makes, with nothing around
// them (no Python, no conversion, no lock), timed on the configurations the
// Python side uses. What talvex adds on top of these figures is its own cost.
//
// usage: talvex_floor URDF PACKAGE_DIR SRDF FRAME MARGIN CONFIGS [ROUNDS]
// CONFIGS is a text file: "count nq" on the first line, then one configuration
// per line. Prints one line per query: "name ns_per_call" (median of ROUNDS).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <pinocchio/algorithm/frames.hpp>
#include <pinocchio/collision/collision.hpp>
#include <pinocchio/multibody/geometry.hpp>
#include <pinocchio/parsers/srdf.hpp>
#include <pinocchio/parsers/urdf.hpp>

namespace {

using Model = pinocchio::Model;
using Data = pinocchio::Data;

constexpr auto kAnyFrame = static_cast<pinocchio::FrameType>(
    pinocchio::JOINT | pinocchio::FIXED_JOINT | pinocchio::BODY | pinocchio::OP_FRAME |
    pinocchio::SENSOR);

std::vector<Eigen::VectorXd> read_configs(const std::string& path, int nq) {
  std::ifstream in(path);
  std::size_t count = 0;
  int file_nq = 0;
  if (!(in >> count >> file_nq) || file_nq != nq) {
    throw std::runtime_error("configs file " + path + " does not match nq = " +
                             std::to_string(nq));
  }
  std::vector<Eigen::VectorXd> configs(count, Eigen::VectorXd(nq));
  for (auto& q : configs) {
    for (int i = 0; i < nq; ++i) {
      if (!(in >> q[i])) throw std::runtime_error("configs file " + path + " is short");
    }
  }
  return configs;
}

// Keeps a result alive so the optimiser cannot drop the work that made it.
template <class T>
void keep(const T& value) {
  asm volatile("" : : "g"(&value) : "memory");
}

// Median over rounds of the mean cost of one call across all configurations.
template <class F>
double time_ns(const std::vector<Eigen::VectorXd>& configs, int rounds, F&& call) {
  using clock = std::chrono::steady_clock;
  // One sweep warms caches and branch predictors and tells how many sweeps make
  // a round of about 20 ms, long enough for the clock and short on slow queries.
  const auto warm_start = clock::now();
  for (const auto& q : configs) call(q);
  const double sweep_ns =
      std::chrono::duration<double, std::nano>(clock::now() - warm_start).count();
  const int sweeps = std::max(1, static_cast<int>(20e6 / std::max(sweep_ns, 1.0)));
  std::vector<double> per_call;
  per_call.reserve(static_cast<std::size_t>(rounds));
  for (int r = 0; r < rounds; ++r) {
    const auto start = clock::now();
    for (int s = 0; s < sweeps; ++s) {
      for (const auto& q : configs) call(q);
    }
    const auto stop = clock::now();
    per_call.push_back(std::chrono::duration<double, std::nano>(stop - start).count() /
                       (static_cast<double>(sweeps) * static_cast<double>(configs.size())));
  }
  std::nth_element(per_call.begin(), per_call.begin() + rounds / 2, per_call.end());
  return per_call[static_cast<std::size_t>(rounds / 2)];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 7) {
    std::fprintf(stderr,
                 "usage: %s URDF PACKAGE_DIR SRDF FRAME MARGIN CONFIGS [ROUNDS]\n", argv[0]);
    return 2;
  }
  const std::string urdf = argv[1], package_dir = argv[2], srdf = argv[3], frame = argv[4];
  const double margin = std::atof(argv[5]);
  const int rounds = argc > 7 ? std::max(1, std::atoi(argv[7])) : 15;

  // The same building steps as RobotModel::build_from_urdf.
  Model model;
  pinocchio::urdf::buildModel(urdf, model, false, false);
  Data data(model);
  pinocchio::GeometryModel geom_model;
  pinocchio::urdf::buildGeom(model, urdf, pinocchio::COLLISION, geom_model,
                             std::vector<std::string>{package_dir});
  geom_model.addAllCollisionPairs();
  if (!srdf.empty()) pinocchio::srdf::removeCollisionPairs(model, geom_model, srdf, false);
  pinocchio::GeometryData geom_data(geom_model);
  for (auto& request : geom_data.collisionRequests) request.security_margin = margin;

  const auto configs = read_configs(argv[6], model.nq);

  // The name lookup as forward_kinematics makes it: the library's frame filter,
  // one scan to the first match and one over the rest for a second one.
  const double fk = time_ns(configs, rounds, [&](const Eigen::VectorXd& q) {
    const pinocchio::details::FilterFrame bears_name(frame, kAnyFrame);
    const auto first = std::find_if(model.frames.begin(), model.frames.end(), bears_name);
    if (first == model.frames.end()) std::abort();
    pinocchio::forwardKinematics(model, data, q);
    const auto id = static_cast<pinocchio::FrameIndex>(first - model.frames.begin());
    const pinocchio::SE3& placement = pinocchio::updateFramePlacement(model, data, id);
    if (std::find_if(std::next(first), model.frames.end(), bears_name) != model.frames.end()) {
      std::abort();
    }
    const Eigen::Matrix4d pose = placement.toHomogeneousMatrix();
    keep(pose);
  });

  // The same through existFrame and getFrameId, which formats its several-frames
  // message on every call: what the lookup costs when left to those two.
  const double fk_get_frame_id = time_ns(configs, rounds, [&](const Eigen::VectorXd& q) {
    if (!model.existFrame(frame, kAnyFrame)) std::abort();
    pinocchio::framesForwardKinematics(model, data, q);
    const auto id = model.getFrameId(frame, kAnyFrame);
    const Eigen::Matrix4d pose = data.oMf[id].toHomogeneousMatrix();
    keep(pose);
  });

  const double all = time_ns(configs, rounds, [&](const Eigen::VectorXd& q) {
    pinocchio::framesForwardKinematics(model, data, q);
    std::map<std::string, Eigen::Matrix4d> poses;
    for (std::size_t i = 0; i < model.frames.size(); ++i) {
      const std::string& name = model.frames[i].name;
      if (name == "universe") continue;
      poses.insert_or_assign(name, data.oMf[i].toHomogeneousMatrix());
    }
    keep(poses);
  });

  // For has_self_collision the floor is the full pass over every pair, which the
  // query's box pre-test cuts short: talvex can come in under it. The placement
  // alone (joints and geometries) is what no pre-test saves.
  const double placement = time_ns(configs, rounds, [&](const Eigen::VectorXd& q) {
    pinocchio::updateGeometryPlacements(model, data, geom_model, geom_data, q);
    keep(geom_data.oMg.back());
  });

  const double collision = time_ns(configs, rounds, [&](const Eigen::VectorXd& q) {
    pinocchio::computeCollisions(model, data, geom_model, geom_data, q, true);
    bool hit = false;
    for (std::size_t i = 0; i < geom_model.collisionPairs.size(); ++i) {
      if (geom_data.collisionResults[i].isCollision()) {
        hit = true;
        break;
      }
    }
    keep(hit);
  });

  const double limits = time_ns(configs, rounds, [&](const Eigen::VectorXd& q) {
    bool inside = true;
    for (Eigen::Index i = 0; i < model.nq && inside; ++i) inside = q[i] > model.lowerPositionLimit[i];
    for (Eigen::Index i = 0; i < model.nq && inside; ++i) inside = q[i] < model.upperPositionLimit[i];
    keep(inside);
  });

  std::printf("forward_kinematics %.1f\n", fk);
  std::printf("forward_kinematics_getFrameId %.1f\n", fk_get_frame_id);
  std::printf("all_frame_transforms %.1f\n", all);
  std::printf("has_self_collision %.1f\n", collision);
  std::printf("has_self_collision_placement %.1f\n", placement);
  std::printf("in_joint_limits %.1f\n", limits);
  return 0;
}
