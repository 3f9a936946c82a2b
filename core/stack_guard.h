// Depth checks made before the readers run. Pinocchio's URDF reader and the
// XML reader behind its SRDF reader recurse once per level of the link tree
// and of element nesting; a description deep enough overflows the calling
// thread's stack and kills the process. These checks measure the depth
// without recursion and refuse, with std::invalid_argument, a description that
// would not fit in the stack this thread has left.
#pragma once

#include <cstddef>
#include <string>

#include <urdf_model/model.h>

namespace corvane {
namespace talvex {

// Refuses a link tree too deep for the reader on this thread, or with a cycle.
void check_link_tree_fits(const urdf::ModelInterface& tree, const std::string& urdf_path);

// Refuses an SRDF file whose elements nest too deep for the XML reader on this
// thread. A file that cannot be read is left to the reader and its own error.
void check_srdf_nesting_fits(const std::string& srdf_path);

// Empties every link's list of children, so that releasing the tree frees the
// links one by one instead of in a chain of nested destructors as deep as the tree.
void flatten_link_tree(urdf::ModelInterface& tree);

}  // namespace talvex
}  // namespace corvane
