// Construction, readiness guard, building from URDF/SRDF, and the self-collision query.
#include "robot_model.h"

#include <cmath>
#include <filesystem>
#include <stdexcept>
#include <utility>
#include <vector>

#include <pinocchio/parsers/srdf.hpp>
#include <pinocchio/parsers/urdf.hpp>
#include <urdf_parser/urdf_parser.h>

#include "build_checks.h"
#include "stack_guard.h"

namespace corvane {
namespace talvex {
namespace {

// What the URDF says of each joint's mimic tag (the model itself is built
// with mimic handling off).
std::vector<Mimic> mimics_of(const Model& model, const urdf::ModelInterface& tree) {
  std::vector<Mimic> mimics(static_cast<std::size_t>(model.njoints));
  for (pinocchio::JointIndex j = 1; j < static_cast<pinocchio::JointIndex>(model.njoints); ++j) {
    const urdf::JointConstSharedPtr joint = tree.getJoint(model.names[j]);
    if (joint && joint->mimic) {
      mimics[j] = Mimic{joint->mimic->joint_name, joint->mimic->multiplier,
                        joint->mimic->offset};
    }
  }
  return mimics;
}

}  // namespace

void RobotModel::require_built() const {
  if (!built) {
    throw std::runtime_error("RobotModel: call build_from_urdf() before using this object.");
  }
}

void RobotModel::build_from_urdf(const std::string& urdf_path, const std::string& package_dir,
                                 const std::string& srdf_path, double collision_margin) {
  // A NaN margin makes every distance comparison in coal false, so every pair
  // would silently report "no collision".
  if (std::isnan(collision_margin)) {
    throw std::invalid_argument(
        "RobotModel::build_from_urdf: collision_margin is NaN; pass the margin in metres "
        "(the default is 0.005).");
  }

  // The readers open files through the C string of each path, which ends at the
  // first NUL: "robot.urdf\0x" would silently load robot.urdf (and a package
  // directory or SRDF path likewise another file than the one named).
  const std::pair<const char*, const std::string*> paths[] = {
      {"urdf_path", &urdf_path}, {"package_dir", &package_dir}, {"srdf_path", &srdf_path}};
  for (const auto& [name, path] : paths) {
    if (path->find('\0') != std::string::npos) {
      throw std::invalid_argument(std::string("RobotModel::build_from_urdf: ") + name +
                                  " contains a NUL byte.");
    }
  }

  // Everything is built into a fresh set; the object changes only once all steps passed.
  // urdfdom reports through console_bridge; nothing of it is printed, and what it
  // said goes into the error of a build that fails.
  const ReaderLog reader_log;
  Model model;
  // Parsed here rather than by path inside Pinocchio, so that the depth of the
  // link tree is checked before the recursive reader walks it, and its collision
  // elements compared with the text after the geometry reader ran.
  const urdf::ModelInterfaceSharedPtr tree = urdf::parseURDFFile(urdf_path);
  if (!tree) {
    // The text Pinocchio gives when it parses the file itself, then the reason.
    throw std::invalid_argument("The file " + urdf_path +
                                " does not contain a valid URDF model." + reader_log.reason());
  }
  struct FlattenOnExit {
    urdf::ModelInterface& tree;
    ~FlattenOnExit() { flatten_link_tree(tree); }
  } flatten{*tree};
  refuse_xacro_source(urdf_path);
  check_link_tree_fits(*tree, urdf_path);
  pinocchio::urdf::buildModel(tree, model, /*verbose=*/false, /*mimic=*/false);
  const std::vector<std::string> parse_messages = reader_log.messages();
  // The kinematic work data alone may already be too large: no need to read the geometry.
  check_work_data_fits(model, nullptr);

  // Both work data are made after the pair list is final, so that their size is
  // checked before either is allocated.
  pinocchio::GeometryModel geom_model;
  pinocchio::urdf::buildGeom(model, urdf_path, pinocchio::COLLISION, geom_model,
                             std::vector<std::string>{package_dir},
                             finite_mesh_loader(*tree, urdf_path, package_dir));
  geom_model.addAllCollisionPairs();

  // A missing SRDF is not an error; an existing one must be readable.
  if (!srdf_path.empty() && std::filesystem::exists(srdf_path)) {
    check_srdf_nesting_fits(srdf_path);
    pinocchio::srdf::removeCollisionPairs(model, geom_model, srdf_path, /*verbose=*/false);
  }

  check_collision_elements(*tree, urdf_path, geom_model, parse_messages);
  check_work_data_fits(model, &geom_model);
  auto [fresh, fresh_workspace] =
      prepare_robot(model, geom_model, collision_margin, mimics_of(model, *tree));

  std::lock_guard<std::mutex> lock(work_mutex);
  std::lock_guard<std::mutex> robot_lock(robot_mutex);
  robot.swap(fresh);
  workspace.swap(fresh_workspace);
  built = true;
}

bool RobotModel::has_self_collision(const Eigen::VectorXd& q_rad) {
  std::lock_guard<std::mutex> lock(work_mutex);
  require_built();
  return collides(*robot, *workspace, q_rad);
}

std::shared_ptr<const Prepared> RobotModel::prepared_robot() const {
  std::lock_guard<std::mutex> lock(robot_mutex);
  require_built();
  return robot;
}

}  // namespace talvex
}  // namespace corvane
