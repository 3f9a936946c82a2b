#include "build_checks.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <algorithm>
#include <atomic>
#include <fstream>
#include <initializer_list>
#include <iostream>
#include <mutex>
#include <new>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

#include <coal/BV/OBBRSS.h>
#include <coal/BVH/BVH_model.h>
#include <coal/mesh_loader/assimp.h>
#include <console_bridge/console.h>
#include <pinocchio/parsers/utils.hpp>
#include <tinyxml2.h>
#include <urdf_model/link.h>

namespace corvane {
namespace talvex {
namespace {

namespace cb = console_bridge;

// ---------------------------------------------------------------------------
// What urdfdom reports

// Set on a thread for as long as it builds: what it writes to the C++ standard
// streams, and what it reports through console_bridge, is the build's.
thread_local bool building = false;

// Never freed: console_bridge keeps a pointer to the handler it replaced, so a
// handler that died with its build could be called later by other code of the
// process. It keeps what the building thread reports and hands what any other
// thread reports meanwhile to the handler that was in place, as that handler
// would have had it. console_bridge calls it, and swaps handlers, under a
// mutex of its own.
class CaptureHandler : public cb::OutputHandler {
 public:
  void log(const std::string& text, cb::LogLevel level, const char* file, int line) override {
    cb::OutputHandler* target = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (building) {
        if (level >= cb::CONSOLE_BRIDGE_LOG_WARN) messages.push_back(text);
        return;
      }
      if (level >= floor) target = forward;
    }
    if (target) target->log(text, level, file, line);
  }

  std::mutex mutex;  // console_bridge serialises its calls, but not against reason()
  std::vector<std::string> messages;
  cb::OutputHandler* forward = nullptr;  // the handler in place before the build
  cb::LogLevel floor = cb::CONSOLE_BRIDGE_LOG_NONE;  // the level set before the build
};

CaptureHandler& capture_handler() {
  static CaptureHandler* const handler = new CaptureHandler;
  return *handler;
}

std::mutex& capture_mutex() {
  static std::mutex mutex;
  return mutex;
}

// Stands in front of a standard stream's buffer: drops what a thread writes
// while it builds, and hands everything else to the buffer it stands for. It
// has no buffer of its own, so threads share nothing in it but that pointer.
class DropWhileBuilding : public std::streambuf {
 public:
  explicit DropWhileBuilding(std::streambuf* target) : target(target) {}
  std::atomic<std::streambuf*> target;

 protected:
  int_type overflow(int_type c) override {
    if (building || traits_type::eq_int_type(c, traits_type::eof())) {
      return traits_type::not_eof(c);
    }
    std::streambuf* const to = target.load();
    return to ? to->sputc(traits_type::to_char_type(c)) : traits_type::eof();
  }
  std::streamsize xsputn(const char* text, std::streamsize n) override {
    if (building) return n;
    std::streambuf* const to = target.load();
    return to ? to->sputn(text, n) : 0;
  }
  int sync() override {
    std::streambuf* const to = target.load();
    return building || !to ? 0 : to->pubsync();
  }
};

// coal writes to std::cerr as it fits the bounding volumes of a mesh it cannot
// fit ("eigen: too many iterations in Jacobi transform."), inside the reader,
// with no switch to turn it off. Each output stream gets a standing guard in
// front of its buffer when the core is loaded, before the program has threads
// that write or build, and keeps it: a build then changes nothing that another
// thread reads. Neither guard is ever freed, since a stream may be written to
// until the process ends. Should the program replace a stream's buffer itself,
// the build puts the spare in front of that buffer for its own duration, which
// is the one case where it still swaps a stream's buffer.
struct StreamGuard {
  explicit StreamGuard(std::ostream& stream)
      : stream(stream), standing(new DropWhileBuilding(stream.rdbuf())),
        spare(new DropWhileBuilding(nullptr)) {
    stream.rdbuf(standing);
  }
  std::ostream& stream;
  DropWhileBuilding* const standing;
  DropWhileBuilding* const spare;
};

std::vector<StreamGuard>& stream_guards() {
  static std::vector<StreamGuard>* const guards =
      new std::vector<StreamGuard>{StreamGuard(std::cout), StreamGuard(std::cerr),
                                   StreamGuard(std::clog)};
  return *guards;
}

const bool guards_installed_at_load = !stream_guards().empty();

std::string one_line(std::string text) {
  for (char& c : text) {
    c = (c == '\n' || c == '\r' || c == '\t') ? ' ' : c;
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '.')) {
    text.pop_back();
  }
  return text;
}

std::string joined_reason(const std::vector<std::string>& messages) {
  std::string out;
  for (const std::string& message : messages) {
    const std::string line = one_line(message);
    if (!line.empty()) {
      out += (out.empty() ? " urdfdom: " : "; ") + line;
    }
  }
  return out.empty() ? out : out + ".";
}

// ---------------------------------------------------------------------------
// Collision elements

const char kDroppedPrefix[] = "Could not parse collision element for Link [";

// The reader reports each dropped element with its reason first and then this
// line naming the link: the reason of one link is what came since the line of
// the link before. All of it when the link is not named.
std::vector<std::string> messages_for_link(const std::vector<std::string>& messages,
                                      const std::string& link) {
  const std::string mine = kDroppedPrefix + link + "]";
  std::vector<std::string> group;
  for (const std::string& message : messages) {
    group.push_back(message);
    if (one_line(message) == mine) {
      return group;
    }
    if (message.rfind(kDroppedPrefix, 0) == 0) {
      group.clear();
    }
  }
  return messages;
}

std::string number(double value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

// Empty when every size of the shape is usable, else what is wrong with it.
std::string bad_size(const urdf::Geometry& geometry) {
  const auto bad = [](std::initializer_list<double> sizes) {
    for (const double size : sizes) {
      if (!std::isfinite(size) || size < 0) {
        return true;
      }
    }
    return false;
  };
  switch (geometry.type) {
    case urdf::Geometry::SPHERE: {
      const auto& s = static_cast<const urdf::Sphere&>(geometry);
      return bad({s.radius}) ? "a sphere of radius " + number(s.radius) : "";
    }
    case urdf::Geometry::BOX: {
      const auto& b = static_cast<const urdf::Box&>(geometry);
      return bad({b.dim.x, b.dim.y, b.dim.z})
                 ? "a box of size " + number(b.dim.x) + " " + number(b.dim.y) + " " +
                       number(b.dim.z)
                 : "";
    }
    case urdf::Geometry::CYLINDER: {
      const auto& c = static_cast<const urdf::Cylinder&>(geometry);
      return bad({c.radius, c.length}) ? "a cylinder of radius " + number(c.radius) +
                                             " and length " + number(c.length)
                                       : "";
    }
    case urdf::Geometry::CAPSULE: {
      const auto& c = static_cast<const urdf::Capsule&>(geometry);
      return bad({c.radius, c.length}) ? "a capsule of radius " + number(c.radius) +
                                             " and length " + number(c.length)
                                       : "";
    }
    case urdf::Geometry::MESH: {
      // A negative scale mirrors the mesh, which is legitimate.
      const auto& m = static_cast<const urdf::Mesh&>(geometry);
      const bool finite =
          std::isfinite(m.scale.x) && std::isfinite(m.scale.y) && std::isfinite(m.scale.z);
      return finite ? "" : "a mesh scaled by " + number(m.scale.x) + " " + number(m.scale.y) +
                               " " + number(m.scale.z);
    }
  }
  return "";
}

// Number of <collision> children of each <link> of the text, as urdfdom walks
// it: the first "robot" element of the document, its "link" children.
std::optional<std::vector<std::pair<std::string, std::size_t>>> collision_elements(
    const std::string& urdf_path) {
  std::ifstream file(urdf_path, std::ios::binary);
  std::ostringstream text;
  if (!file.is_open() || !(text << file.rdbuf())) {
    return std::nullopt;
  }
  tinyxml2::XMLDocument doc;
  // Through the C string, as urdfdom parses it: a NUL byte ends the text.
  if (doc.Parse(text.str().c_str()) != tinyxml2::XML_SUCCESS) {
    return std::nullopt;
  }
  const tinyxml2::XMLElement* robot = doc.FirstChildElement("robot");
  if (!robot) {
    return std::nullopt;
  }
  std::vector<std::pair<std::string, std::size_t>> links;
  for (const tinyxml2::XMLElement* link = robot->FirstChildElement("link"); link;
       link = link->NextSiblingElement("link")) {
    std::size_t count = 0;
    for (const tinyxml2::XMLElement* c = link->FirstChildElement("collision"); c;
         c = c->NextSiblingElement("collision")) {
      ++count;
    }
    const char* name = link->Attribute("name");
    links.emplace_back(name ? name : "", count);
  }
  return links;
}

// Whether an element's name is in the xacro namespace: its prefix is bound,
// on it or an ancestor, to a URI that names xacro, or is "xacro" and bound to
// nothing (what a xacro source without the declaration holds).
bool in_xacro_namespace(const tinyxml2::XMLElement& element) {
  const std::string name = element.Name();
  const std::size_t colon = name.find(':');
  if (colon == std::string::npos) return false;
  const std::string attribute = "xmlns:" + name.substr(0, colon);
  for (const tinyxml2::XMLNode* node = &element; node; node = node->Parent()) {
    const tinyxml2::XMLElement* scope = node->ToElement();
    if (!scope) continue;
    if (const char* uri = scope->Attribute(attribute.c_str())) {
      return std::string(uri).find("xacro") != std::string::npos;
    }
  }
  return name.compare(0, colon, "xacro") == 0;
}

}  // namespace

void refuse_xacro_source(const std::string& urdf_path) {
  std::ifstream file(urdf_path, std::ios::binary);
  std::ostringstream text;
  if (!file.is_open() || !(text << file.rdbuf())) return;  // the reader says why
  tinyxml2::XMLDocument doc;
  if (doc.Parse(text.str().c_str()) != tinyxml2::XML_SUCCESS) return;
  // Without recursion: the nesting depth is not checked yet.
  std::vector<const tinyxml2::XMLElement*> stack;
  for (const tinyxml2::XMLElement* e = doc.FirstChildElement(); e; e = e->NextSiblingElement()) {
    stack.push_back(e);
  }
  std::reverse(stack.begin(), stack.end());
  while (!stack.empty()) {
    const tinyxml2::XMLElement* element = stack.back();
    stack.pop_back();
    if (in_xacro_namespace(*element)) {
      // The reader would skip the macros and includes that define the robot.
      throw std::invalid_argument(
          "RobotModel::build_from_urdf: " + urdf_path + " is a xacro source, not a URDF: "
          "it holds <" + element->Name() + "> on line " +
          std::to_string(element->GetLineNum()) + "; run xacro on it first.");
    }
    const std::size_t before = stack.size();
    for (const tinyxml2::XMLElement* child = element->FirstChildElement(); child;
         child = child->NextSiblingElement()) {
      stack.push_back(child);
    }
    std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(before), stack.end());
  }
}

namespace {

// ---------------------------------------------------------------------------
// Memory

// Measured on the pinned Pinocchio (pinocchio.Data and pinocchio.GeometryData of
// revolute chains of 50 to 300 joints, resident growth), rounded up: the
// kinematic work data holds four nv x nv x nv tensors of second derivatives
// (32 nv^3 bytes) and some thirty-odd nv x nv matrices (measured 300 to 410
// bytes per nv^2); the geometry work data takes 5.75 KB per collision pair.
constexpr double kDataPerNv3 = 32.0;
constexpr double kDataPerNv2 = 448.0;
constexpr double kDataPerJoint = 2048.0;
constexpr double kDataPerFrame = 256.0;
constexpr double kGeomDataPerPair = 6144.0;
constexpr double kGeomDataPerGeometry = 512.0;
constexpr double kFixed = 64.0 * 1024;

std::optional<double> read_number(const std::string& path) {
  std::ifstream file(path);
  std::string word;
  if (!(file >> word) || word == "max") {
    return std::nullopt;
  }
  try {
    return std::stod(word);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<double> mem_available() {
  std::ifstream file("/proc/meminfo");
  std::string key;
  double kib = 0;
  std::string unit;
  while (file >> key >> kib) {
    std::getline(file, unit);
    if (key == "MemAvailable:") {
      return kib * 1024;
    }
  }
  return std::nullopt;
}

// The smallest limit less usage along this process's memory cgroup and its
// ancestors (cgroup v2, or v1's memory controller).
std::optional<double> cgroup_headroom() {
  std::ifstream file("/proc/self/cgroup");
  std::string line;
  std::optional<double> headroom;
  while (std::getline(file, line)) {
    const std::size_t first = line.find(':');
    const std::size_t second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) {
      continue;
    }
    const std::string controllers = "," + line.substr(first + 1, second - first - 1) + ",";
    std::string path = line.substr(second + 1);
    std::string base, limit_file, usage_file;
    if (line.compare(0, first, "0") == 0 && controllers == ",,") {
      base = "/sys/fs/cgroup", limit_file = "/memory.max", usage_file = "/memory.current";
    } else if (controllers.find(",memory,") != std::string::npos) {
      base = "/sys/fs/cgroup/memory", limit_file = "/memory.limit_in_bytes",
      usage_file = "/memory.usage_in_bytes";
    } else {
      continue;
    }
    // Each ancestor's limit applies; in a cgroup namespace the mount is our own group.
    for (;;) {
      const std::optional<double> limit = read_number(base + path + limit_file);
      const std::optional<double> usage = read_number(base + path + usage_file);
      if (limit && usage && *limit < 4e18) {
        const double left = *limit > *usage ? *limit - *usage : 0.0;
        headroom = headroom ? std::min(*headroom, left) : left;
      }
      if (path.empty()) {
        break;
      }
      path.resize(path.rfind('/') == std::string::npos ? 0 : path.rfind('/'));
    }
  }
  return headroom;
}

std::optional<double> address_space_headroom() {
  rlimit limit{};
  if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return std::nullopt;
  }
  std::ifstream statm("/proc/self/statm");
  double pages = 0;
  if (!(statm >> pages)) {
    return std::nullopt;
  }
  const double used = pages * static_cast<double>(sysconf(_SC_PAGESIZE));
  const double cap = static_cast<double>(limit.rlim_cur);
  return cap > used ? cap - used : 0.0;
}

std::string mib(double bytes) {
  return std::to_string(static_cast<std::uint64_t>(std::ceil(bytes / (1024.0 * 1024.0)))) + " MiB";
}

// What coal's loader does for the reader's bounding volume (OBBRSS), with the
// vertices looked at between reading and fitting.
class FiniteMeshLoader : public coal::MeshLoader {
 public:
  FiniteMeshLoader(const urdf::ModelInterface& tree, const std::string& urdf_path,
                   const std::string& package_dir)
      : tree(tree), urdf_path(urdf_path), package_dir(package_dir) {}

  coal::BVHModelPtr_t load(const std::string& filename, const coal::Vec3s& scale) override {
    // A file at a scale it was already loaded at in this build (the same part on
    // both sides or on many links) is copied, not read and its tree built again:
    // the same input gives the same mesh and tree. Each geometry keeps a mesh of
    // its own, as from a fresh load.
    for (const Loaded& done : loaded) {
      if (done.filename == filename && done.scale == scale) {
        return std::make_shared<coal::BVHModel<coal::OBBRSS>>(*done.model);
      }
    }
    coal::internal::Loader scene;
    scene.load(filename);
    coal::internal::TriangleAndVertices mesh;
    coal::internal::buildMesh(scale, scene.scene, 0, mesh);
    for (std::size_t i = 0; i < mesh.vertices_.size(); ++i) {
      const coal::Vec3s& v = mesh.vertices_[i];
      if (!v.allFinite()) {
        throw std::invalid_argument(
            "RobotModel::build_from_urdf: " + link_of(filename) + "the mesh " + filename +
            " has a vertex that is not "
            "finite (vertex " + std::to_string(i + 1) + " at " + number(v.x()) + " " +
            number(v.y()) + " " + number(v.z()) + " once scaled by " + number(scale.x()) + " " +
            number(scale.y()) + " " + number(scale.z()) + "); collision needs finite vertices.");
      }
    }
    auto model = std::make_shared<coal::BVHModel<coal::OBBRSS>>();
    if (model->beginModel() != coal::BVH_OK) {
      throw std::runtime_error("RobotModel::build_from_urdf: coal could not begin the mesh " +
                               filename + ".");
    }
    model->addSubModel(mesh.vertices_, mesh.triangles_);
    model->endModel();
    loaded.push_back(Loaded{filename, scale, model});
    return model;
  }

 private:
  // Nothing changes a loaded mesh while the geometry is read.
  struct Loaded {
    std::string filename;
    coal::Vec3s scale;
    std::shared_ptr<const coal::BVHModel<coal::OBBRSS>> model;
  };
  std::vector<Loaded> loaded;

  // "link 'NAME' of URDF: " for the first link (by name) whose collision mesh
  // the reader resolves to `filename`; empty if none does.
  std::string link_of(const std::string& filename) const {
    for (const auto& [name, link] : tree.links_) {
      for (const urdf::CollisionSharedPtr& collision : link->collision_array) {
        if (!collision || !collision->geometry ||
            collision->geometry->type != urdf::Geometry::MESH) {
          continue;
        }
        const auto& mesh = static_cast<const urdf::Mesh&>(*collision->geometry);
        if (pinocchio::retrieveResourcePath(mesh.filename, {package_dir}) == filename) {
          return "link '" + name + "' of " + urdf_path + ": ";
        }
      }
    }
    return "";
  }

  const urdf::ModelInterface& tree;
  const std::string urdf_path;
  const std::string package_dir;
};

class WorkDataTooLarge : public std::bad_alloc {
 public:
  explicit WorkDataTooLarge(std::string text) : text(std::move(text)) {}
  const char* what() const noexcept override { return text.c_str(); }

 private:
  std::string text;
};

}  // namespace

// ---------------------------------------------------------------------------

struct ReaderLog::State {
  std::unique_lock<std::mutex> exclusive{capture_mutex()};
  cb::OutputHandler* current = cb::getOutputHandler();
  cb::OutputHandler* previous = nullptr;
  cb::LogLevel level = cb::getLogLevel();
  // The streams whose buffer the program replaced: the spare stands in front
  // of that buffer for the build.
  std::vector<std::pair<StreamGuard*, std::streambuf*>> replaced;
};

ReaderLog::ReaderLog() : state(std::make_unique<State>()) {
  // Nothing below throws once this is reserved, so the destructor will run.
  state->replaced.reserve(stream_guards().size());
  for (StreamGuard& guard : stream_guards()) {
    std::streambuf* const buffer = guard.stream.rdbuf();
    if (buffer != guard.standing) {
      guard.spare->target = buffer;
      guard.stream.rdbuf(guard.spare);
      state->replaced.emplace_back(&guard, buffer);
    }
  }
  // console_bridge has no getter for the handler it would restore: swap to it
  // and back to learn it, so that both can be put back as they were.
  cb::restorePreviousOutputHandler();
  state->previous = cb::getOutputHandler();
  cb::restorePreviousOutputHandler();
  CaptureHandler& handler = capture_handler();
  {
    std::lock_guard<std::mutex> lock(handler.mutex);
    handler.messages.clear();
    handler.forward = state->current == &handler ? nullptr : state->current;
    handler.floor = state->level;
  }
  // The reader's warnings are wanted; other threads keep the level they had.
  if (state->level > cb::CONSOLE_BRIDGE_LOG_WARN) cb::setLogLevel(cb::CONSOLE_BRIDGE_LOG_WARN);
  cb::useOutputHandler(&handler);
  building = true;
}

ReaderLog::~ReaderLog() {
  cb::useOutputHandler(state->previous);
  cb::useOutputHandler(state->current);
  if (state->level > cb::CONSOLE_BRIDGE_LOG_WARN) cb::setLogLevel(state->level);
  for (const auto& [guard, buffer] : state->replaced) {
    if (guard->stream.rdbuf() == guard->spare) guard->stream.rdbuf(buffer);
  }
  CaptureHandler& handler = capture_handler();
  {
    std::lock_guard<std::mutex> lock(handler.mutex);
    handler.messages.clear();
    handler.forward = nullptr;
  }
  building = false;
}

std::vector<std::string> ReaderLog::messages() const {
  CaptureHandler& handler = capture_handler();
  std::lock_guard<std::mutex> lock(handler.mutex);
  return handler.messages;
}

std::string ReaderLog::reason() const { return joined_reason(messages()); }

void check_collision_elements(const urdf::ModelInterface& tree, const std::string& urdf_path,
                              const pinocchio::GeometryModel& geom_model,
                              const std::vector<std::string>& messages) {
  const std::string where = "RobotModel::build_from_urdf: link '";
  const auto in_file = "' of " + urdf_path;
  const auto elements = collision_elements(urdf_path);
  if (!elements) {
    throw std::invalid_argument("RobotModel::build_from_urdf: " + urdf_path +
                                " could not be read again to count its collision elements.");
  }
  std::size_t total = 0;
  for (const auto& [name, count] : *elements) {
    const auto found = tree.links_.find(name);
    const std::size_t kept = found == tree.links_.end() || !found->second
                                 ? 0
                                 : found->second->collision_array.size();
    if (kept != count) {
      const std::string reason = joined_reason(messages_for_link(messages, name));
      throw std::invalid_argument(where + name + in_file + " has " + std::to_string(count) +
                                  " collision element" + (count == 1 ? "" : "s") +
                                  " and the URDF reader kept " + std::to_string(kept) + ";" +
                                  (reason.empty() ? " the reader gave no reason." : reason));
    }
    total += count;
    for (std::size_t i = 0; i < kept; ++i) {
      const auto& collision = found->second->collision_array[i];
      const std::string what = collision && collision->geometry ? bad_size(*collision->geometry)
                                                                : "a collision element without a shape";
      if (!what.empty()) {
        throw std::invalid_argument(where + name + in_file + ": collision element " +
                                    std::to_string(i + 1) + " is " + what +
                                    "; sizes and scales must be finite, sizes not negative.");
      }
    }
  }
  if (geom_model.ngeoms != total) {
    throw std::invalid_argument("RobotModel::build_from_urdf: the geometry reader made " +
                                std::to_string(geom_model.ngeoms) + " geometries from the " +
                                std::to_string(total) + " collision elements of " + urdf_path +
                                ".");
  }
}

std::shared_ptr<coal::MeshLoader> finite_mesh_loader(const urdf::ModelInterface& tree,
                                                    const std::string& urdf_path,
                                                    const std::string& package_dir) {
  return std::make_shared<FiniteMeshLoader>(tree, urdf_path, package_dir);
}

void check_work_data_fits(const pinocchio::Model& model,
                          const pinocchio::GeometryModel* geom_model) {
  const double nv = static_cast<double>(model.nv);
  double need = kDataPerNv3 * nv * nv * nv + kDataPerNv2 * nv * nv +
                kDataPerJoint * static_cast<double>(model.njoints) +
                kDataPerFrame * static_cast<double>(model.nframes) + kFixed;
  if (geom_model) {
    need += kGeomDataPerPair * static_cast<double>(geom_model->collisionPairs.size()) +
            kGeomDataPerGeometry * static_cast<double>(geom_model->ngeoms);
  }
  const std::pair<const char*, std::optional<double>> limits[] = {
      {"MemAvailable", mem_available()},
      {"the cgroup's limit less its usage", cgroup_headroom()},
      {"RLIMIT_AS less the address space in use", address_space_headroom()}};
  const std::pair<const char*, std::optional<double>>* smallest = nullptr;
  for (const auto& limit : limits) {
    if (limit.second && (!smallest || *limit.second < *smallest->second)) {
      smallest = &limit;
    }
  }
  if (!smallest || need <= *smallest->second) {
    return;
  }
  const std::string pairs =
      geom_model ? std::to_string(geom_model->collisionPairs.size()) + " collision pairs"
                 : "the collision pairs not counted yet";
  throw WorkDataTooLarge(
      "RobotModel::build_from_urdf: the work data of this robot would take about " + mib(need) +
      " (nv = " + std::to_string(model.nv) + ", " + pairs + "), more than the " +
      mib(*smallest->second) + " this process can get (" + smallest->first +
      "); Pinocchio's grows with nv^3 and the geometry work data with the pairs.");
}

}  // namespace talvex
}  // namespace corvane
