// _talvex_native: the calls beyond RobotModel's own surface (many
// configurations per call, per-pair answers, the joint layout), on the
// prepared robot of a built talvex.RobotModel. Typed faces live in
// talvex_tools.batch; these take already-checked arguments where that face
// checks them, and check again what would otherwise read out of bounds.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/eigen.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "batch.h"
#include "motion.h"
#include "robot_model.h"

namespace py = pybind11;
using corvane::talvex::Prepared;
using corvane::talvex::RobotModel;
using corvane::talvex::Workspace;
namespace tv = corvane::talvex;

namespace {

using Rows = py::array_t<double, py::array::c_style | py::array::forcecast>;

std::string shape_text(const Rows& qs) {
  std::string text = "(";
  for (py::ssize_t d = 0; d < qs.ndim(); ++d) {
    if (d) text += ", ";
    text += std::to_string(qs.shape(d));
  }
  return text + (qs.ndim() == 1 ? ",)" : ")");
}

// The robot's prepared half, then the rows checked against it: 2-D, nq wide.
std::shared_ptr<const Prepared> prepared_for(const RobotModel& robot, const Rows& qs,
                                             const char* name) {
  std::shared_ptr<const Prepared> prepared = robot.prepared_robot();
  const long nq = prepared->model.nq;
  if (qs.ndim() != 2 || qs.shape(1) != nq) {
    throw py::value_error(std::string(name) + " has shape " + shape_text(qs) +
                          ", expected (N, nq) = (N, " + std::to_string(nq) + ")");
  }
  return prepared;
}

void check_threads(int threads) {
  if (threads < 1) throw py::value_error("threads must be at least 1");
}

// Between chunks, on the calling thread: a pending Ctrl-C raises here.
void check_signals() {
  py::gil_scoped_acquire gil;
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

void load_row(Workspace& workspace, const double* rows, std::size_t row) {
  const auto nq = static_cast<std::size_t>(workspace.row.size());
  std::memcpy(workspace.row.data(), rows + row * nq, nq * sizeof(double));
}

py::array_t<bool> self_collisions(const RobotModel& robot, const Rows& qs, int threads) {
  const std::shared_ptr<const Prepared> prepared = prepared_for(robot, qs, "qs");
  check_threads(threads);
  const auto n = static_cast<std::size_t>(qs.shape(0));
  py::array_t<bool> out(static_cast<py::ssize_t>(n));
  bool* hits = out.mutable_data();
  const double* rows = qs.data();
  {
    py::gil_scoped_release release;
    tv::for_each_row(
        *prepared, n, threads,
        [&](Workspace& workspace, std::size_t row) {
          load_row(workspace, rows, row);
          hits[row] = tv::collides(*prepared, workspace, workspace.row);
        },
        check_signals);
  }
  return out;
}

py::array_t<double> frame_poses(const RobotModel& robot, const Rows& qs,
                                const std::vector<std::string>& frames, int threads) {
  const std::shared_ptr<const Prepared> prepared = prepared_for(robot, qs, "qs");
  check_threads(threads);
  // Every name resolved before any work, with forward_kinematics's errors.
  std::vector<std::size_t> ids;
  ids.reserve(frames.size());
  for (const std::string& name : frames) {
    ids.push_back(tv::find_frame(prepared->model, name));
    tv::refuse_repeated_frame(prepared->model, ids.back());
  }
  const auto n = static_cast<std::size_t>(qs.shape(0));
  const std::size_t f = ids.size();
  py::array_t<double> out({static_cast<py::ssize_t>(n), static_cast<py::ssize_t>(f),
                           py::ssize_t{4}, py::ssize_t{4}});
  double* poses = out.mutable_data();
  const double* rows = qs.data();
  {
    py::gil_scoped_release release;
    tv::for_each_row(
        *prepared, f == 0 ? 0 : n, threads,
        [&](Workspace& workspace, std::size_t row) {
          load_row(workspace, rows, row);
          for (std::size_t k = 0; k < f; ++k) {
            // Row-major 4x4, as the single call hands it to NumPy.
            const Eigen::Matrix4d m =
                tv::frame_placement(*prepared, workspace, workspace.row, ids[k])
                    .toHomogeneousMatrix();
            double* at = poses + (row * f + k) * 16;
            for (int i = 0; i < 4; ++i) {
              for (int j = 0; j < 4; ++j) at[i * 4 + j] = m(i, j);
            }
          }
        },
        check_signals);
  }
  return out;
}

py::array_t<bool> pair_collisions(const RobotModel& robot, const Rows& qs, int threads) {
  const std::shared_ptr<const Prepared> prepared = prepared_for(robot, qs, "qs");
  check_threads(threads);
  const auto n = static_cast<std::size_t>(qs.shape(0));
  const std::size_t pairs = prepared->geom_model.collisionPairs.size();
  py::array_t<bool> out({static_cast<py::ssize_t>(n), static_cast<py::ssize_t>(pairs)});
  bool* hits = out.mutable_data();
  static_assert(sizeof(bool) == sizeof(char), "NumPy's bool is one byte");
  const double* rows = qs.data();
  {
    py::gil_scoped_release release;
    tv::for_each_row(
        *prepared, pairs == 0 ? 0 : n, threads,
        [&](Workspace& workspace, std::size_t row) {
          load_row(workspace, rows, row);
          tv::pair_collisions(*prepared, workspace, workspace.row,
                              reinterpret_cast<char*>(hits + row * pairs));
        },
        check_signals);
  }
  return out;
}

std::vector<std::pair<std::size_t, double>> pair_distances(const RobotModel& robot,
                                                           const Rows& q, double below) {
  std::shared_ptr<const Prepared> prepared = robot.prepared_robot();
  if (q.ndim() != 1 || q.shape(0) != prepared->model.nq) {
    throw py::value_error("q has shape " + shape_text(q) + ", expected (nq,) = (" +
                          std::to_string(prepared->model.nq) + ",)");
  }
  std::vector<std::pair<std::size_t, double>> found;
  {
    py::gil_scoped_release release;
    tv::WorkspacePool::Lent workspace = prepared->pool().lend();
    std::memcpy(workspace->row.data(), q.data(),
                static_cast<std::size_t>(prepared->model.nq) * sizeof(double));
    tv::pair_distances(*prepared, *workspace, workspace->row, below, found);
  }
  return found;
}

// Per pair of the pair list: the two geometries' links and names.
py::list pair_table(const RobotModel& robot) {
  const std::shared_ptr<const Prepared> prepared = robot.prepared_robot();
  const tv::Model& model = prepared->model;
  const auto& objects = prepared->geom_model.geometryObjects;
  py::list table;
  for (const auto& pair : prepared->geom_model.collisionPairs) {
    const auto& a = objects[pair.first];
    const auto& b = objects[pair.second];
    table.append(py::make_tuple(model.frames[a.parentFrame].name, model.frames[b.parentFrame].name,
                                a.name, b.name, model.names[a.parentJoint],
                                model.names[b.parentJoint]));
  }
  return table;
}

// A joint's kind in the words the label metadata uses, and its coordinates' roles.
std::pair<std::string, std::vector<std::string>> kind_of(const std::string& shortname, int nq) {
  const auto has = [&shortname](const char* part) {
    return shortname.find(part) != std::string::npos;
  };
  const std::string bare =
      shortname.rfind("JointModel", 0) == 0 ? shortname.substr(10) : shortname;
  if (bare == "Planar") return {"planar", {"x", "y", "cos", "sin"}};
  if (bare == "FreeFlyer") return {"floating", {"x", "y", "z", "qx", "qy", "qz", "qw"}};
  if (bare == "Spherical") return {"spherical", {"qx", "qy", "qz", "qw"}};
  if (bare == "Translation") return {"translation", {"x", "y", "z"}};
  if (has("RevoluteUnbounded") || bare.rfind("RUB", 0) == 0) return {"continuous", {"cos", "sin"}};
  if (has("Revolute") || bare == "RX" || bare == "RY" || bare == "RZ") return {"revolute", {"angle"}};
  if (has("Prismatic") || bare == "PX" || bare == "PY" || bare == "PZ") {
    return {"prismatic", {"position"}};
  }
  std::string lower;
  for (const char c : bare) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::vector<std::string> roles;
  for (int k = 0; k < nq; ++k) roles.push_back("q" + std::to_string(k));
  return {lower, roles};
}

py::list joint_layout(const RobotModel& robot) {
  const std::shared_ptr<const Prepared> prepared = robot.prepared_robot();
  const tv::Model& model = prepared->model;
  py::list layout;
  for (pinocchio::JointIndex j = 1; j < static_cast<pinocchio::JointIndex>(model.njoints); ++j) {
    const auto& joint = model.joints[j];
    const int start = joint.idx_q();
    const int count = joint.nq();
    auto [kind, roles] = kind_of(joint.shortname(), count);
    py::list lower, upper;
    for (int k = start; k < start + count; ++k) {
      lower.append(model.lowerPositionLimit[k]);
      upper.append(model.upperPositionLimit[k]);
    }
    py::dict entry;
    entry["name"] = model.names[j];
    entry["type"] = kind;
    entry["q_start"] = start;
    entry["q_count"] = count;
    entry["v_count"] = joint.nv();
    entry["lower"] = lower;
    entry["upper"] = upper;
    entry["coordinates"] = roles;
    const pinocchio::JointIndex parent = model.parents[j];
    entry["parent"] = parent == 0 ? py::object(py::none()) : py::object(py::str(model.names[parent]));
    const tv::Mimic& mimic = prepared->mimics[j];
    if (mimic.leader.empty()) {
      entry["mimic"] = py::none();
    } else {
      py::dict of;
      of["joint"] = mimic.leader;
      of["multiplier"] = mimic.multiplier;
      of["offset"] = mimic.offset;
      entry["mimic"] = of;
    }
    layout.append(entry);
  }
  return layout;
}

// Straight motions. Endpoints arrive as vectors owned by the call.
bool edge_free(const RobotModel& robot, const Eigen::VectorXd& q0, const Eigen::VectorXd& q1,
               double step) {
  const std::shared_ptr<const Prepared> prepared = robot.prepared_robot();
  const std::uint64_t steps = tv::motion_steps(prepared->model, q0, q1, step);
  py::gil_scoped_release release;
  tv::WorkspacePool::Lent workspace = prepared->pool().lend();
  return tv::motion_free(*prepared, *workspace, q0, q1, steps);
}

double edge_free_fraction(const RobotModel& robot, const Eigen::VectorXd& q0,
                          const Eigen::VectorXd& q1, double step) {
  const std::shared_ptr<const Prepared> prepared = robot.prepared_robot();
  const std::uint64_t steps = tv::motion_steps(prepared->model, q0, q1, step);
  std::uint64_t first = 0;
  {
    py::gil_scoped_release release;
    tv::WorkspacePool::Lent workspace = prepared->pool().lend();
    first = tv::first_colliding_state(*prepared, *workspace, q0, q1, steps);
  }
  if (first == 0) return -1.0;
  return static_cast<double>(first - 1) / static_cast<double>(steps);
}

py::array_t<bool> edges_free(const RobotModel& robot, const Rows& q0s, const Rows& q1s,
                             double step, int threads) {
  const std::shared_ptr<const Prepared> prepared = prepared_for(robot, q0s, "q0s");
  prepared_for(robot, q1s, "q1s");
  if (q0s.shape(0) != q1s.shape(0)) {
    throw py::value_error("q0s has shape " + shape_text(q0s) + " and q1s " + shape_text(q1s) +
                          ": one row of each per motion");
  }
  check_threads(threads);
  const auto n = static_cast<std::size_t>(q0s.shape(0));
  const Eigen::Index nq = prepared->model.nq;
  // Every motion checked before any work: its endpoints and its number of states.
  std::vector<std::uint64_t> steps(n);
  {
    Eigen::VectorXd a(nq), b(nq);
    for (std::size_t row = 0; row < n; ++row) {
      a = Eigen::Map<const Eigen::VectorXd>(q0s.data() + row * nq, nq);
      b = Eigen::Map<const Eigen::VectorXd>(q1s.data() + row * nq, nq);
      try {
        steps[row] = tv::motion_steps(prepared->model, a, b, step);
      } catch (const std::invalid_argument& error) {
        throw py::value_error("motion " + std::to_string(row) + ": " + error.what());
      }
    }
  }
  py::array_t<bool> out(static_cast<py::ssize_t>(n));
  bool* free = out.mutable_data();
  const double* starts = q0s.data();
  const double* ends = q1s.data();
  {
    py::gil_scoped_release release;
    tv::for_each_row(
        *prepared, n, threads,
        [&](Workspace& workspace, std::size_t row) {
          // The endpoints are copied into vectors of this thread's, made once.
          thread_local Eigen::VectorXd a, b;
          a = Eigen::Map<const Eigen::VectorXd>(starts + row * nq, nq);
          b = Eigen::Map<const Eigen::VectorXd>(ends + row * nq, nq);
          free[row] = tv::motion_free(*prepared, workspace, a, b, steps[row]);
        },
        check_signals);
  }
  return out;
}

// Per pair of pair_table, the bound on how fast its two geometries approach
// along the motion (metres per unit of u; inf where no bound is known).
py::array_t<double> pair_rates(const RobotModel& robot, const Eigen::VectorXd& q0,
                               const Eigen::VectorXd& q1) {
  const std::shared_ptr<const Prepared> prepared = robot.prepared_robot();
  tv::check_motion_ends(prepared->model, q0, q1);
  Eigen::VectorXd tangent;
  std::vector<double> speeds, rates;
  tv::pair_rates(*prepared, q0, q1, tangent, speeds, rates);
  py::array_t<double> out(static_cast<py::ssize_t>(rates.size()));
  std::copy(rates.begin(), rates.end(), out.mutable_data());
  return out;
}

// The certified check: ("free" | "collides" | "unproven", u of the state in
// collision or None).
py::tuple edge_certified(const RobotModel& robot, const Eigen::VectorXd& q0,
                         const Eigen::VectorXd& q1) {
  const std::shared_ptr<const Prepared> prepared = robot.prepared_robot();
  tv::check_motion_ends(prepared->model, q0, q1);
  tv::MotionProof proof;
  {
    py::gil_scoped_release release;
    tv::WorkspacePool::Lent workspace = prepared->pool().lend();
    proof = tv::certify_motion(*prepared, *workspace, q0, q1);
  }
  switch (proof.status) {
    case tv::MotionProof::Status::kFree:
      return py::make_tuple("free", py::none());
    case tv::MotionProof::Status::kCollides:
      return py::make_tuple("collides", proof.at);
    case tv::MotionProof::Status::kUnproven:
      break;
  }
  return py::make_tuple("unproven", py::none());
}

double margin(const RobotModel& robot) { return robot.prepared_robot()->collision.margin; }

py::array_t<double> point_rows(const std::vector<coal::Vec3s>& points, std::size_t count) {
  py::array_t<double> out({static_cast<py::ssize_t>(count), py::ssize_t{3}});
  double* row = out.mutable_data();
  for (std::size_t v = 0; v < count; ++v, row += 3) std::copy_n(points[v].data(), 3, row);
  return out;
}

// What the build made of one geometry's mesh: its vertices, the vertices of its
// hull and of its pieces' hulls (None and [] where it made none), so that they
// can be checked against the mesh itself.
py::dict mesh_hulls(const RobotModel& robot, std::size_t geometry) {
  const std::shared_ptr<const Prepared> prepared = robot.prepared_robot();
  const auto& objects = prepared->geom_model.geometryObjects;
  if (geometry >= objects.size()) {
    throw py::index_error("geometry " + std::to_string(geometry) + " of " +
                          std::to_string(objects.size()));
  }
  const tv::HullSet& hulls = prepared->collision.hulls;
  py::dict out;
  const auto* mesh = dynamic_cast<const coal::BVHModelBase*>(objects[geometry].geometry.get());
  out["vertices"] = mesh && mesh->vertices ? py::object(point_rows(*mesh->vertices,
                                                                   mesh->num_vertices))
                                           : py::none();
  const auto& hull = hulls.hulls[geometry];
  out["hull"] = hull ? py::object(point_rows(*hull->points, hull->num_points)) : py::none();
  py::list pieces;
  for (const auto& piece : hulls.piece_hulls[geometry]) {
    pieces.append(point_rows(*piece->points, piece->num_points));
  }
  out["pieces"] = pieces;
  return out;
}

}  // namespace

PYBIND11_MODULE(_talvex_native, m) {
  m.doc() = "Native half of talvex_tools.batch: batch, per-pair and layout calls on a built "
            "talvex.RobotModel.";
  // The RobotModel type is registered by the talvex module; its instances are
  // accepted here as they are (pybind11 shares the type between modules).
  py::module_::import("talvex");
  m.def("self_collisions", &self_collisions, py::arg("robot"), py::arg("qs"), py::arg("threads"));
  m.def("frame_poses", &frame_poses, py::arg("robot"), py::arg("qs"), py::arg("frames"),
        py::arg("threads"));
  m.def("pair_collisions", &pair_collisions, py::arg("robot"), py::arg("qs"), py::arg("threads"));
  m.def("pair_distances", &pair_distances, py::arg("robot"), py::arg("q"), py::arg("below"));
  m.def("pair_table", &pair_table, py::arg("robot"));
  m.def("joint_layout", &joint_layout, py::arg("robot"));
  m.def("margin", &margin, py::arg("robot"));
  m.def("mesh_hulls", &mesh_hulls, py::arg("robot"), py::arg("geometry"));
  m.def("edge_free", &edge_free, py::arg("robot"), py::arg("q0"), py::arg("q1"), py::arg("step"));
  m.def("edge_free_fraction", &edge_free_fraction, py::arg("robot"), py::arg("q0"),
        py::arg("q1"), py::arg("step"));
  m.def("pair_rates", &pair_rates, py::arg("robot"), py::arg("q0"), py::arg("q1"));
  m.def("edge_certified", &edge_certified, py::arg("robot"), py::arg("q0"), py::arg("q1"));
  m.def("edges_free", &edges_free, py::arg("robot"), py::arg("q0s"), py::arg("q1s"),
        py::arg("step"), py::arg("threads"));
}
