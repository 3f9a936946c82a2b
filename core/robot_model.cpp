// Construction, readiness guard and building from URDF/SRDF.
#include "robot_model.h"

#include <cmath>
#include <filesystem>
#include <stdexcept>
#include <utility>

#include <pinocchio/parsers/srdf.hpp>
#include <pinocchio/parsers/urdf.hpp>
#include <urdf_parser/urdf_parser.h>

#include "stack_guard.h"

namespace corvane {
namespace talvex {

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
  Model model;
  {
    // Parsed here rather than by path inside Pinocchio, so that the depth of the
    // link tree is checked before the recursive reader walks it.
    const urdf::ModelInterfaceSharedPtr tree = urdf::parseURDFFile(urdf_path);
    if (!tree) {
      // The text Pinocchio gives when it parses the file itself.
      throw std::invalid_argument("The file " + urdf_path +
                                  " does not contain a valid URDF model.");
    }
    struct FlattenOnExit {
      urdf::ModelInterface& tree;
      ~FlattenOnExit() { flatten_link_tree(tree); }
    } flatten{*tree};
    check_link_tree_fits(*tree, urdf_path);
    pinocchio::urdf::buildModel(tree, model, /*verbose=*/false, /*mimic=*/false);
  }
  auto fresh = std::make_unique<Models>(model);

  pinocchio::urdf::buildGeom(fresh->model, urdf_path, pinocchio::COLLISION, fresh->geom_model,
                             std::vector<std::string>{package_dir});
  fresh->geom_model.addAllCollisionPairs();

  // A missing SRDF is not an error; an existing one must be readable.
  if (!srdf_path.empty() && std::filesystem::exists(srdf_path)) {
    check_srdf_nesting_fits(srdf_path);
    pinocchio::srdf::removeCollisionPairs(fresh->model, fresh->geom_model, srdf_path,
                                          /*verbose=*/false);
  }

  // Made after the pair list is final: one request per remaining pair.
  fresh->geom_data = pinocchio::GeometryData(fresh->geom_model);
  for (auto& request : fresh->geom_data.collisionRequests) {
    request.security_margin = collision_margin;
  }
  fresh->collision_margin = collision_margin;
  prepare_collision_test(*fresh);

  std::lock_guard<std::mutex> lock(work_mutex);
  models.swap(fresh);
  built = true;
}

}  // namespace talvex
}  // namespace corvane
