// Thread stress of the core, built with ThreadSanitizer by tools/tsan.sh.
//
// It uses RobotModel exactly as the Python module lets threads use it: one
// process-wide mutex stands for the interpreter lock and is held wherever a
// call from Python holds that lock (argument and result conversion, the
// build, the queries that keep the lock), and released for the body of the
// three queries whose bindings release it (module/talvex_module.cpp).
//
//   talvex_stress DATA_DIR [--seconds S] [--foreign-writer] [--break-contract]
//
// Three phases of S seconds each (default 20):
//   shared    3 threads query one object (every query kind) and a 4th makes
//             batch calls on its prepared robot (two engine threads each)
//             while a 5th rebuilds it from two files in turn, and now and then
//             from a missing file (a failed build must leave it as it was);
//   own       4 threads, each with an object of its own, query and rebuild it;
//   builds    4 threads build fresh objects of different robots at once (one
//             of them a mesh so large that coal's fit of its bounding volumes
//             fails and writes to std::cerr) and query each once.
// Every answer is compared with what one thread got before the phases began.
// With --foreign-writer a thread that stands for the application's own C++
// code writes numbered lines to std::cerr and through console_bridge, without
// the interpreter lock, during the builds phase; the last line of stdout says
// how many it wrote, so that the caller can count what reached stderr.
// Exit status 1 on a wrong answer or an unexpected exception.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <iostream>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <console_bridge/console.h>

#include "batch.h"
#include "robot_model.h"

namespace {

using corvane::talvex::RobotModel;
using Clock = std::chrono::steady_clock;

// Stands for the interpreter lock.
std::mutex interpreter;
// --break-contract: the queries that keep the interpreter lock run without it,
// which the bindings never do; only to see that the pass finds that race.
bool break_contract = false;

std::atomic<std::uint64_t> calls{0}, rebuilds{0}, failed_builds{0}, fresh_builds{0}, stale{0},
    wrong{0};

void report_wrong(const std::string& what) {
  static std::mutex printing;
  if (wrong.fetch_add(1) < 20) {
    std::lock_guard<std::mutex> lock(printing);
    std::printf("WRONG: %s\n", what.c_str());
  }
}

// What one thread got from a robot before the phases, with nothing else running.
struct Robot {
  std::string name, urdf, package, srdf, frame;
  int nq = 0;
  int ndof = 0;
  std::vector<std::string> joints, frames;
  Eigen::VectorXd lower, upper, neutral;
  std::vector<Eigen::VectorXd> qs;
  std::vector<Eigen::Matrix4d> poses;
  std::vector<bool> hits, inside;
  RobotModel::FramePoses all_at_first;
};

bool same(const Eigen::MatrixXd& a, const Eigen::MatrixXd& b) {
  return a.rows() == b.rows() && a.cols() == b.cols() && (a.array() == b.array()).all();
}

bool same(const RobotModel::FramePoses& a, const RobotModel::FramePoses& b) {
  if (a.size() != b.size()) return false;
  for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
    if (i->first != j->first || !same(i->second, j->second)) return false;
  }
  return true;
}

void build(RobotModel& model, const Robot& robot) {
  model.build_from_urdf(robot.urdf, robot.package, robot.srdf, 0.005);
}

Robot reference(std::string name, std::string urdf, std::string package, std::string srdf,
                std::string frame, unsigned seed) {
  Robot r;
  r.name = std::move(name);
  r.urdf = std::move(urdf);
  r.package = std::move(package);
  r.srdf = std::move(srdf);
  r.frame = std::move(frame);
  RobotModel m;
  build(m, r);
  r.nq = m.nq();
  r.ndof = m.ndof();
  r.joints = m.joint_names();
  r.frames = m.frame_names();
  r.lower = m.lower_position_limits();
  r.upper = m.upper_position_limits();
  r.neutral = m.neutral_configuration();
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> angle(-2.3, 2.3);
  for (int i = 0; i < 16; ++i) {
    Eigen::VectorXd q(r.nq);
    for (int k = 0; k < r.nq; ++k) q[k] = angle(rng);
    r.qs.push_back(q);
    r.poses.push_back(m.forward_kinematics(q, r.frame));
    r.hits.push_back(m.has_self_collision(q));
    r.inside.push_back(m.in_joint_limits(q));
  }
  r.all_at_first = m.all_frame_transforms(r.qs[0]);
  return r;
}

// The query kinds, run as their bindings run them. The caller holds `gil`.
// `robots` are the robots the object may hold; each has its own nq.
void query_round(RobotModel& m, const std::vector<const Robot*>& robots, std::mt19937& rng,
                 std::unique_lock<std::mutex>& gil) {
  // Queries that keep the interpreter lock: the object cannot change meanwhile.
  if (break_contract) gil.unlock();
  const int nq = m.nq();
  const Robot* r = nullptr;
  for (const Robot* candidate : robots) {
    if (candidate->nq == nq) r = candidate;
  }
  if (!r) {
    if (break_contract) gil.lock();
    report_wrong("nq " + std::to_string(nq) + " is none of the robots'");
    return;
  }
  const std::size_t i = rng() % r->qs.size();
  if (m.ndof() != r->ndof || m.joint_names() != r->joints || m.frame_names() != r->frames ||
      !same(m.lower_position_limits(), r->lower) || !same(m.upper_position_limits(), r->upper) ||
      !same(m.neutral_configuration(), r->neutral) || m.in_joint_limits(r->qs[i]) != r->inside[i] ||
      m.nq() != r->nq /* the text representation's */) {
    report_wrong(r->name + ": a query under the interpreter lock");
  }
  if (break_contract) gil.lock();
  calls += 9;

  // Queries that release it: arguments converted before, results after. The
  // object may be rebuilt in between, which gives a clean error (another nq).
  const auto released = [&](const char* what, const std::function<bool()>& call) {
    gil.unlock();
    bool right = false;
    bool changed = false;
    try {
      right = call();
    } catch (const std::invalid_argument&) {
      changed = true;  // q_rad of the robot that was there before
    } catch (const std::runtime_error&) {
      changed = true;  // its frame name
    }
    gil.lock();
    ++calls;
    if (changed) {
      ++stale;
      if (robots.size() == 1) report_wrong(r->name + ": " + what + " threw on its own object");
    } else if (!right) {
      report_wrong(r->name + ": " + what);
    }
  };
  const Eigen::VectorXd q = r->qs[i];
  const std::string frame = r->frame;
  released("forward_kinematics", [&] { return same(m.forward_kinematics(q, frame), r->poses[i]); });
  released("has_self_collision", [&] { return m.has_self_collision(q) == r->hits[i]; });
  if (rng() % 8 == 0) {
    const Eigen::VectorXd first = r->qs[0];
    released("all_frame_transforms", [&] { return same(m.all_frame_transforms(first), r->all_at_first); });
  }
}

// A batch call as the batch bindings make it: the prepared robot taken with the
// interpreter lock held, then every row on two threads of the batch engine
// without it, while the object may be rebuilt. The call must finish whole on
// the robot it took.
void batch_round(const RobotModel& m, const std::vector<const Robot*>& robots,
                 std::unique_lock<std::mutex>& gil) {
  const std::shared_ptr<const corvane::talvex::Prepared> prepared = m.prepared_robot();
  const Robot* r = nullptr;
  for (const Robot* candidate : robots) {
    if (candidate->nq == prepared->model.nq) r = candidate;
  }
  if (!r) {
    report_wrong("batch: nq " + std::to_string(prepared->model.nq) + " is none of the robots'");
    return;
  }
  const std::size_t frame = corvane::talvex::find_frame(prepared->model, r->frame);
  gil.unlock();
  std::vector<char> hits(r->qs.size());
  std::vector<Eigen::Matrix4d> poses(r->qs.size());
  corvane::talvex::for_each_row(
      *prepared, r->qs.size(), 2,
      [&](corvane::talvex::Workspace& workspace, std::size_t row) {
        hits[row] = corvane::talvex::collides(*prepared, workspace, r->qs[row]);
        poses[row] = corvane::talvex::frame_placement(*prepared, workspace, r->qs[row], frame)
                         .toHomogeneousMatrix();
      },
      [] {});
  for (std::size_t row = 0; row < r->qs.size(); ++row) {
    if (static_cast<bool>(hits[row]) != r->hits[row] || !same(poses[row], r->poses[row])) {
      report_wrong(r->name + ": a batch call");
      break;
    }
  }
  calls += 2 * r->qs.size();
  gil.lock();
}

using Body = std::function<void(int thread, std::mt19937& rng)>;

void run_phase(const char* name, int threads, double seconds, const Body& body) {
  const std::uint64_t calls0 = calls, rebuilds0 = rebuilds, fresh0 = fresh_builds;
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      std::mt19937 rng(1000 + t);
      while (Clock::now() < end) {
        try {
          body(t, rng);
        } catch (const std::exception& error) {
          report_wrong(std::string(name) + ": unexpected exception: " + error.what());
        }
        // A real interpreter hands its lock over every few milliseconds; a
        // plain mutex may not, so the threads take turns here.
        std::this_thread::yield();
      }
    });
  }
  for (auto& t : pool) t.join();
  std::printf("%-7s threads %d, calls %llu, rebuilds %llu, fresh builds %llu\n", name, threads,
              static_cast<unsigned long long>(calls - calls0),
              static_cast<unsigned long long>(rebuilds - rebuilds0),
              static_cast<unsigned long long>(fresh_builds - fresh0));
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s DATA_DIR [--seconds S] [--foreign-writer] [--break-contract]\n",
                 argv[0]);
    return 2;
  }
  const std::filesystem::path data = argv[1];
  double seconds = 20;
  bool foreign = false;
  for (int i = 2; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) {
      seconds = std::stod(argv[++i]);
    } else if (!std::strcmp(argv[i], "--foreign-writer")) {
      foreign = true;
    } else if (!std::strcmp(argv[i], "--break-contract")) {
      break_contract = true;
    }
  }

  // The cube of mesh_pair scaled to about 1e199 m: coal's fit of its bounding
  // volumes overflows and writes to std::cerr, which the build must drop.
  const auto scratch = std::filesystem::temp_directory_path() /
                       ("talvex_stress_" + std::to_string(::getpid()));
  std::filesystem::create_directories(scratch);
  {
    std::ifstream in(data / "mesh_pair.urdf");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string mesh = "cube.stl\"";
    text.replace(text.find(mesh), mesh.size(), mesh + " scale=\"1e200 1e200 1e200\"");
    std::ofstream(scratch / "huge_pair.urdf") << text;
  }

  const std::string pkg = data.string();
  const Robot mesh = reference("mesh_pair", (data / "mesh_pair.urdf").string(), pkg, "", "slider", 1);
  const Robot snake = reference("coll_snake", (data / "coll_snake.urdf").string(), pkg, "", "s6", 2);
  const Robot tree = reference("coll_tree", (data / "coll_tree.urdf").string(), pkg, "", "hand", 3);
  const Robot chain = reference("chain", (data / "chain.urdf").string(), pkg, "", "camera", 4);
  const Robot pair = reference("pair", (data / "pair.urdf").string(), pkg,
                               (data / "pair.srdf").string(), "slider", 5);
  const Robot huge_mesh = reference("huge_pair", (scratch / "huge_pair.urdf").string(), pkg, "",
                                    "slider", 6);
  Robot missing = mesh;
  missing.urdf = (scratch / "missing.urdf").string();

  // One shared object, rebuilt from two robots in turn while three threads query it.
  {
    RobotModel shared;
    build(shared, mesh);
    const std::vector<const Robot*> both{&mesh, &snake};
    run_phase("shared", 5, seconds, [&](int t, std::mt19937& rng) {
      std::unique_lock<std::mutex> gil(interpreter);
      if (t == 4) {
        batch_round(shared, both, gil);
        return;
      }
      if (t > 0) {
        query_round(shared, both, rng, gil);
        return;
      }
      const std::uint64_t n = rebuilds++;
      if (n % 5 == 4) {
        const std::vector<std::string> frames = shared.frame_names();
        try {
          build(shared, missing);
          report_wrong("a build from a missing file succeeded");
        } catch (const std::invalid_argument&) {
          ++failed_builds;
        }
        if (shared.frame_names() != frames) report_wrong("a failed build changed the object");
      } else {
        build(shared, n % 2 ? snake : mesh);
      }
    });
  }

  // One object per thread, each rebuilt now and then by its own thread.
  {
    const std::vector<const Robot*> robots{&mesh, &snake, &tree, &pair};
    std::vector<RobotModel> own(robots.size());
    for (std::size_t t = 0; t < robots.size(); ++t) build(own[t], *robots[t]);
    run_phase("own", 4, seconds, [&](int t, std::mt19937& rng) {
      std::unique_lock<std::mutex> gil(interpreter);
      if (rng() % 16 == 0) {
        build(own[t], *robots[t]);
        ++rebuilds;
      }
      query_round(own[t], {robots[t]}, rng, gil);
    });
  }

  // Builds of different objects at once, with the application's thread writing.
  {
    const std::vector<const Robot*> robots{&huge_mesh, &snake, &tree, &chain};
    std::atomic<bool> stop{false};
    std::uint64_t written = 0;
    std::thread writer;
    if (foreign) {
      writer = std::thread([&] {
        while (!stop) {
          ++written;
          std::cerr << "foreign line " << written << std::endl;
          CONSOLE_BRIDGE_logWarn("foreign message %llu", static_cast<unsigned long long>(written));
          std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
      });
    }
    run_phase("builds", 4, seconds, [&](int t, std::mt19937& rng) {
      std::unique_lock<std::mutex> gil(interpreter);
      RobotModel fresh;
      build(fresh, *robots[t]);
      ++fresh_builds;
      query_round(fresh, {robots[t]}, rng, gil);
    });
    stop = true;
    if (writer.joinable()) {
      writer.join();
      std::printf("foreign writer: %llu lines to std::cerr, %llu messages to console_bridge\n",
                  static_cast<unsigned long long>(written), static_cast<unsigned long long>(written));
    }
  }

  std::filesystem::remove_all(scratch);
  std::printf("total: calls %llu, rebuilds %llu (%llu failed on purpose), fresh builds %llu, "
              "calls that met a rebuild %llu, wrong %llu\n",
              static_cast<unsigned long long>(calls.load()),
              static_cast<unsigned long long>(rebuilds.load()),
              static_cast<unsigned long long>(failed_builds.load()),
              static_cast<unsigned long long>(fresh_builds.load()),
              static_cast<unsigned long long>(stale.load()),
              static_cast<unsigned long long>(wrong.load()));
  return wrong == 0 ? 0 : 1;
}
