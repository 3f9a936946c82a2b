#include "stack_guard.h"

#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <unordered_set>
#include <utility>
#include <vector>

namespace corvane {
namespace talvex {
namespace {

// Stack taken per level, measured on the pinned libraries with threads of
// several stack sizes, with some headroom: Pinocchio's URDF reader about 2.2 KB
// per link (its geometry pass about 0.15 KB), the SRDF's XML reader about
// 0.4 KB per nesting level. The headroom over the URDF figure is kept small so
// that the 3000-link chains that build on an 8 MiB main thread keep building.
constexpr std::size_t kBytesPerLink = 2560;
constexpr std::size_t kBytesPerXmlLevel = 512;
// The rest of a build (XML parsing, mesh loading, coal's bounding volumes,
// exception unwinding) and the frames between here and the readers.
constexpr std::size_t kReserve = 64 * 1024;

std::size_t stack_needed(std::size_t levels, std::size_t per_level) {
  if (levels > (std::numeric_limits<std::size_t>::max() - kReserve) / per_level) {
    return std::numeric_limits<std::size_t>::max();
  }
  return levels * per_level + kReserve;
}

[[noreturn]] void refuse(const std::string& what, std::size_t levels, std::size_t needed,
                         std::size_t left) {
  throw std::invalid_argument(
      "RobotModel::build_from_urdf: " + what + " " + std::to_string(levels) +
      " levels deep; reading it needs about " + std::to_string(needed / 1024) +
      " KiB of stack and this thread has " + std::to_string(left / 1024) +
      " KiB left. Build it on a thread with a larger stack (threading.stack_size() "
      "before the thread starts) or raise the stack limit of the main thread (ulimit -s).");
}

// Deepest element nesting of an XML text, counted without recursion. Start
// tags open a level unless they close themselves; comments, CDATA sections,
// processing instructions and declarations open none. An unterminated tag
// counts as open: the reader recurses as far as it got.
std::size_t xml_nesting_depth(const std::string& text) {
  std::size_t depth = 0;
  std::size_t deepest = 0;
  std::size_t i = 0;
  const auto skip_past = [&](std::size_t from, const char* end) {
    const std::size_t at = text.find(end, from);
    return at == std::string::npos ? text.size() : at + std::char_traits<char>::length(end);
  };
  while ((i = text.find('<', i)) != std::string::npos) {
    if (text.compare(i, 4, "<!--") == 0) {
      i = skip_past(i + 4, "-->");
    } else if (text.compare(i, 9, "<![CDATA[") == 0) {
      i = skip_past(i + 9, "]]>");
    } else if (text.compare(i, 2, "<?") == 0) {
      i = skip_past(i + 2, "?>");
    } else if (text.compare(i, 2, "<!") == 0) {
      i = skip_past(i + 2, ">");
    } else if (text.compare(i, 2, "</") == 0) {
      depth -= depth > 0 ? 1 : 0;
      i = skip_past(i + 2, ">");
    } else {
      // A start tag ends at the first '>' outside quoted attribute values.
      std::size_t j = i + 1;
      char quote = 0;
      for (; j < text.size(); ++j) {
        const char c = text[j];
        if (quote) {
          quote = c == quote ? 0 : quote;
        } else if (c == '"' || c == '\'') {
          quote = c;
        } else if (c == '>') {
          break;
        }
      }
      if (j == text.size() || text[j - 1] != '/') {
        deepest = std::max(deepest, ++depth);
      }
      i = j + 1;
    }
  }
  return deepest;
}

// Bytes between the current frame and the low end of this thread's stack.
std::size_t stack_left() {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) {
    return std::numeric_limits<std::size_t>::max();  // unknown: leave it to the readers
  }
  void* low = nullptr;
  std::size_t size = 0;
  const int rc = pthread_attr_getstack(&attr, &low, &size);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    return std::numeric_limits<std::size_t>::max();
  }
  // The stack grows down, towards `low`.
  const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  const auto bottom = reinterpret_cast<std::uintptr_t>(low);
  return here > bottom ? here - bottom : 0;
}

// Number of joints on the longest path from the root link to a leaf. urdfdom
// accepts a joint whose child is its own parent or ancestor when the tree still
// has one root; a walk down from the root then never ends (Pinocchio's reader
// recurses until the stack overflows), so such a cycle is refused here.
std::size_t link_tree_depth(const urdf::ModelInterface& tree, const std::string& urdf_path) {
  const urdf::LinkConstSharedPtr root = tree.getRoot();
  if (!root) {
    return 0;
  }
  struct Step {
    const urdf::Link* link;
    std::size_t depth;
    bool leaving;  // the link's subtree is done: it is no longer on the path
  };
  std::size_t deepest = 0;
  std::unordered_set<const urdf::Link*> on_path;
  std::vector<Step> pending{{root.get(), 0, false}};
  while (!pending.empty()) {
    const Step step = pending.back();
    pending.pop_back();
    if (step.leaving) {
      on_path.erase(step.link);
      continue;
    }
    if (!on_path.insert(step.link).second) {
      throw std::invalid_argument("RobotModel::build_from_urdf: the link tree of " + urdf_path +
                                  " has a cycle: link '" + step.link->name +
                                  "' is its own ancestor.");
    }
    deepest = std::max(deepest, step.depth);
    pending.push_back({step.link, step.depth, true});
    for (const auto& child : step.link->child_links) {
      pending.push_back({child.get(), step.depth + 1, false});
    }
  }
  return deepest;
}

}  // namespace

void check_link_tree_fits(const urdf::ModelInterface& tree, const std::string& urdf_path) {
  const std::size_t depth = link_tree_depth(tree, urdf_path);
  const std::size_t needed = stack_needed(depth, kBytesPerLink);
  const std::size_t left = stack_left();
  if (needed > left) {
    refuse("the link tree of " + urdf_path + " is", depth, needed, left);
  }
}

void check_srdf_nesting_fits(const std::string& srdf_path) {
  // The reader refuses another extension before it opens the file, and reports
  // a file it cannot read: both stay its own errors.
  const std::size_t dot = srdf_path.rfind('.');
  if (dot == std::string::npos || srdf_path.compare(dot + 1, std::string::npos, "srdf") != 0) {
    return;
  }
  std::ifstream file(srdf_path, std::ios::binary);
  std::ostringstream text;
  if (!file.is_open() || !(text << file.rdbuf())) {
    return;
  }
  const std::size_t depth = xml_nesting_depth(text.str());
  const std::size_t needed = stack_needed(depth, kBytesPerXmlLevel);
  const std::size_t left = stack_left();
  if (needed > left) {
    refuse("the elements of " + srdf_path + " are nested", depth, needed, left);
  }
}

void flatten_link_tree(urdf::ModelInterface& tree) {
  for (auto& entry : tree.links_) {
    if (entry.second) {
      entry.second->child_links.clear();
    }
  }
}

}  // namespace talvex
}  // namespace corvane
