// Checks made while building, so that the built model is what the files
// describe, a failed build says why, and no description can take more memory
// than the process can get. Nothing here prints.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <coal/mesh_loader/loader.h>
#include <pinocchio/geometry.hpp>
#include <pinocchio/multibody.hpp>
#include <urdf_model/model.h>

namespace corvane {
namespace talvex {

// While it lives, keeps what urdfdom reports through console_bridge on this
// thread instead of letting it reach stderr, and drops what this thread writes
// to the C++ standard streams (the libraries write there as they read). Other
// threads' reports go to the handler that was in place and their writes to
// the streams' own buffers, as without it. The handlers and log level that
// were set before are restored on destruction. One capture at a time in the
// process.
class ReaderLog {
 public:
  ReaderLog();
  ~ReaderLog();
  ReaderLog(const ReaderLog&) = delete;
  ReaderLog& operator=(const ReaderLog&) = delete;

  // What was reported so far (warnings and errors), in order.
  std::vector<std::string> messages() const;
  // The same as one line: " urdfdom: first; second." or "".
  std::string reason() const;

 private:
  struct State;
  std::unique_ptr<State> state;
};

// Refuses, with std::invalid_argument naming the first such element and its
// line, a URDF holding elements in the xacro namespace: a xacro source, whose
// macros and includes the URDF reader would skip. A file that cannot be read
// or parsed is left to the reader.
void refuse_xacro_source(const std::string& urdf_path);

// Refuses, with std::invalid_argument naming the link, a collision element of
// the URDF text that the reader dropped (counted link by link against the
// parsed tree), a primitive with a negative or non-finite size, a mesh scale
// that is not finite, and a geometry model that does not hold exactly one
// geometry per collision element. `messages` are what the reader reported
// while it parsed the tree.
void check_collision_elements(const urdf::ModelInterface& tree, const std::string& urdf_path,
                              const pinocchio::GeometryModel& geom_model,
                              const std::vector<std::string>& messages);

// The mesh loader the geometry reader is given: coal's own loading and fit,
// except that a mesh with a vertex that is not finite once scaled is refused
// with std::invalid_argument naming the link and the file, before coal fits its
// bounding volumes (which then fail and write to std::cerr). `tree` must outlive it.
std::shared_ptr<coal::MeshLoader> finite_mesh_loader(const urdf::ModelInterface& tree,
                                                    const std::string& urdf_path,
                                                    const std::string& package_dir);

// Refuses, with a std::bad_alloc whose what() gives the figures (MemoryError in
// Python), work data that would not fit in the memory this process can get.
// `geom_model` is null when the collision pairs are not known yet: then only
// the kinematic work data is counted.
void check_work_data_fits(const pinocchio::Model& model,
                          const pinocchio::GeometryModel* geom_model);

}  // namespace talvex
}  // namespace corvane
