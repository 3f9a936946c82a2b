// Convex hulls of a robot's meshes and their pieces, made at build.
#include "hulls.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <coal/BVH/BVH_model.h>
#include <coal/shape/convex.h>

namespace corvane {
namespace talvex {
namespace {

// Where two hulls come within the margin, the meshes may still be well apart (finger
// phalanxes a few millimetres apart, whose exact test takes milliseconds):
// each mesh is then split the way its tree splits it, this many levels down,
// and every piece of one is tested against every piece of the other. The
// pieces' hulls together cover the mesh, so the same reasoning holds.
constexpr int kPieceDepth = 3;
// Only for meshes this detailed: a smaller one's exact test is cheap, and
// the pieces would only add tests where a pair does collide (and time to the
// build).
constexpr unsigned int kPieceTriangles = 1500;

// Whether the points span a solid well clear of rounding: qhull refuses a flat
// or near-flat set, and coal 3.0 does not survive that refusal (the process
// dies), so such a mesh gets no hull. Greedy: the point farthest from the
// first, then from the line, then from the plane; each distance must exceed
// this share of the set's size and distance from the origin.
constexpr double kSolidTolerance = 1e-6;

bool spans_a_solid(const std::vector<coal::Vec3s>& points) {
  if (points.size() < 4) return false;
  const coal::Vec3s& p0 = points.front();
  double scale = 0;
  const coal::Vec3s* p1 = &p0;
  for (const coal::Vec3s& p : points) {
    scale = std::max(scale, p.cwiseAbs().maxCoeff());
    if ((p - p0).squaredNorm() > (*p1 - p0).squaredNorm()) p1 = &p;
  }
  const coal::Vec3s axis = *p1 - p0;
  const double size = axis.norm();
  scale = std::max(scale, size);
  if (!(size > kSolidTolerance * scale)) return false;
  const coal::Vec3s* p2 = &p0;
  double off_line = 0;
  for (const coal::Vec3s& p : points) {
    const double d = (p - p0).cross(axis).norm() / size;
    if (d > off_line) off_line = d, p2 = &p;
  }
  if (!(off_line > kSolidTolerance * scale)) return false;
  const coal::Vec3s normal = axis.cross(*p2 - p0).normalized();
  double off_plane = 0;
  for (const coal::Vec3s& p : points) off_plane = std::max(off_plane, std::abs(normal.dot(p - p0)));
  return off_plane > kSolidTolerance * scale;
}

// A mesh before g whose vertices are g's up to a sign per axis (the same file
// on the left and, mirrored by a negative scale, on the right), vertex for
// vertex: mirroring by -1 is exact, so the signs match every coordinate to the
// bit. `twin` is g itself when there is none.
struct Twin {
  std::size_t twin;
  coal::Vec3s signs;    // g's vertex = signs * twin's vertex, coordinate-wise
  bool same_triangles;  // and the two meshes list the same triangles
};

Twin twin_before(const pinocchio::GeometryModel& geom_model, std::size_t g) {
  const auto* mesh =
      dynamic_cast<const coal::BVHModelBase*>(geom_model.geometryObjects[g].geometry.get());
  for (std::size_t h = 0; h < g; ++h) {
    const auto* other =
        dynamic_cast<const coal::BVHModelBase*>(geom_model.geometryObjects[h].geometry.get());
    if (!other || !other->vertices || other->getModelType() != mesh->getModelType() ||
        other->num_vertices != mesh->num_vertices || other->num_tris != mesh->num_tris) {
      continue;
    }
    const std::vector<coal::Vec3s>& mine = *mesh->vertices;
    const std::vector<coal::Vec3s>& theirs = *other->vertices;
    if (mine.size() != theirs.size()) continue;
    coal::Vec3s signs = coal::Vec3s::Ones();
    for (int k = 0; k < 3; ++k) {
      for (std::size_t v = 0; v < mine.size(); ++v) {
        if (theirs[v][k] != 0) {
          signs[k] = mine[v][k] == -theirs[v][k] ? -1.0 : 1.0;
          break;
        }
      }
    }
    bool mirrored = true;
    for (std::size_t v = 0; mirrored && v < mine.size(); ++v) {
      mirrored = mine[v] == theirs[v].cwiseProduct(signs);
    }
    if (!mirrored) continue;
    const bool same_triangles =
        (mesh->tri_indices == nullptr) == (other->tri_indices == nullptr) &&
        (!mesh->tri_indices || *other->tri_indices == *mesh->tri_indices);
    return Twin{h, signs, same_triangles};
  }
  return Twin{g, coal::Vec3s::Ones(), true};
}

// The hull of a mirrored twin's mesh, or of one of its pieces: the twin's
// mirrored (a triangle flipped so that it still faces out). Null when the
// twin's has no triangles.
std::shared_ptr<coal::ConvexBase> mirrored_hull(const coal::ConvexBase* twin_hull,
                                                const coal::Vec3s& signs) {
  const auto* twin = dynamic_cast<const coal::Convex<coal::Triangle>*>(twin_hull);
  if (!twin || !twin->points || !twin->polygons) return nullptr;
  auto points = std::make_shared<std::vector<coal::Vec3s>>();
  points->reserve(twin->num_points);
  for (unsigned int v = 0; v < twin->num_points; ++v) {
    points->push_back((*twin->points)[v].cwiseProduct(signs));
  }
  auto triangles = std::make_shared<std::vector<coal::Triangle>>(*twin->polygons);
  if (signs.prod() < 0) {
    for (coal::Triangle& t : *triangles) t.set(t[0], t[2], t[1]);
  }
  return std::make_shared<coal::Convex<coal::Triangle>>(points, twin->num_points, triangles,
                                                        twin->num_polygons);
}

// qhull's hull of the points, with its triangles (for a mirrored twin); null
// where qhull refuses them. qhull keeps input points as the hull's vertices, so
// the hull is not rounded.
std::shared_ptr<coal::ConvexBase> hull_of(std::shared_ptr<std::vector<coal::Vec3s>> points) {
  // Checked first: coal does not survive qhull's refusal of a flat set.
  if (!spans_a_solid(*points)) return nullptr;
  try {
    std::shared_ptr<coal::ConvexBase> hull(coal::ConvexBase::convexHull(
        points, static_cast<unsigned int>(points->size()), /*keepTriangles=*/true));
    if (hull) hull->computeLocalAABB();
    return hull;
  } catch (const std::exception&) {
    return nullptr;
  }
}

// The points whose hull is the mesh's: the vertices of its pieces' hulls, and
// the vertices no triangle uses (in no piece). Every triangle lies in some
// piece, so a vertex of the mesh's hull is a vertex of some piece's hull: the
// hull of these is the hull of all the vertices, and qhull gets a few of them
// instead of all (a detailed mesh that is not convex has far more vertices
// inside its hull than on it).
std::shared_ptr<std::vector<coal::Vec3s>> hull_candidates(
    const coal::BVHModelBase& mesh, const std::vector<std::shared_ptr<coal::ConvexBase>>& pieces) {
  auto points = std::make_shared<std::vector<coal::Vec3s>>();
  for (const auto& piece : pieces) {
    points->insert(points->end(), piece->points->begin(),
                   piece->points->begin() + piece->num_points);
  }
  std::vector<char> used(mesh.vertices->size(), 0);
  for (const coal::Triangle& t : *mesh.tri_indices) {
    for (int k = 0; k < 3; ++k) {
      if (t[k] < used.size()) used[t[k]] = 1;
    }
  }
  for (std::size_t v = 0; v < used.size(); ++v) {
    if (!used[v]) points->push_back((*mesh.vertices)[v]);
  }
  // A vertex shared by two pieces once.
  const auto before = [](const coal::Vec3s& a, const coal::Vec3s& b) {
    return std::lexicographical_compare(a.data(), a.data() + 3, b.data(), b.data() + 3);
  };
  std::sort(points->begin(), points->end(), before);
  points->erase(std::unique(points->begin(), points->end()), points->end());
  return points;
}

}  // namespace

// Per axis, below, about or above zero, "about" meaning within 22.5 degrees of
// the plane normal to that axis (scaled by the largest component). The middle
// cell, 13, is only that of a zero or NaN direction.
int direction_cell(const coal::Vec3s& d) {
  const double largest = d.cwiseAbs().maxCoeff();
  if (!(largest > 0)) return 13;
  const double about = 0.41421356 * largest;  // tan(22.5 degrees)
  int cell = 0;
  for (int k = 0; k < 3; ++k) cell = 3 * cell + (d[k] > about ? 2 : d[k] < -about ? 0 : 1);
  return cell;
}

void HullSet::build_pieces(std::size_t g, const coal::BVHModelBase& mesh,
                                 const coal::BVHModel<coal::OBBRSS>& tree) {
  std::vector<int> nodes{0};
  for (int level = 0; level < kPieceDepth; ++level) {
    std::vector<int> next;
    for (const int b : nodes) {
      const auto& node = tree.getBV(static_cast<unsigned int>(b));
      if (node.isLeaf()) {
        next.push_back(b);
      } else {
        next.push_back(node.leftChild());
        next.push_back(node.rightChild());
      }
    }
    nodes.swap(next);
  }
  if (nodes.size() < 2) return;
  std::vector<std::shared_ptr<coal::ConvexBase>> made;
  for (const int b : nodes) {
    std::vector<coal::Triangle::index_type> corners;
    std::vector<int> stack{b};
    while (!stack.empty()) {
      const auto& node = tree.getBV(static_cast<unsigned int>(stack.back()));
      stack.pop_back();
      if (node.isLeaf()) {
        const coal::Triangle& triangle =
            (*mesh.tri_indices)[static_cast<std::size_t>(node.primitiveId())];
        for (int k = 0; k < 3; ++k) corners.push_back(triangle[k]);
      } else {
        stack.push_back(node.leftChild());
        stack.push_back(node.rightChild());
      }
    }
    std::sort(corners.begin(), corners.end());
    corners.erase(std::unique(corners.begin(), corners.end()), corners.end());
    auto points = std::make_shared<std::vector<coal::Vec3s>>();
    points->reserve(corners.size());
    for (const auto corner : corners) points->push_back((*mesh.vertices)[corner]);
    std::shared_ptr<coal::ConvexBase> hull = hull_of(std::move(points));
    if (!hull) return;
    made.push_back(std::move(hull));
  }
  piece_hulls[g] = std::move(made);
}

void HullSet::build(pinocchio::GeometryModel& geom_model, const std::vector<Box>& local_boxes) {
  const std::size_t geometries = geom_model.geometryObjects.size();
  hulls.assign(geometries, nullptr);
  piece_hulls.assign(geometries, {});
  pieces.assign(geometries, {});
  for (std::size_t g = 0; g < geometries; ++g) {
    const pinocchio::GeometryObject& object = geom_model.geometryObjects[g];
    auto* mesh = dynamic_cast<coal::BVHModelBase*>(object.geometry.get());
    if (!mesh || !mesh->vertices) continue;
    // A mesh loaded twice (the same file on the left and on the right) shares
    // the first one's hulls: they would come out the same. A mirrored copy
    // gets the first one's hulls mirrored, which are its own, without qhull
    // (its pieces only if it lists the same triangles, which they cover).
    const Twin twin = twin_before(geom_model, g);
    if (twin.twin < g && twin.signs == coal::Vec3s::Ones() && twin.same_triangles) {
      hulls[g] = hulls[twin.twin];
      piece_hulls[g] = piece_hulls[twin.twin];
      pieces[g] = pieces[twin.twin];
      continue;
    }
    const auto* tree = dynamic_cast<const coal::BVHModel<coal::OBBRSS>*>(mesh);
    const bool detailed = tree && mesh->getModelType() == coal::BVH_MODEL_TRIANGLES &&
                          mesh->tri_indices && mesh->num_tris >= kPieceTriangles;
    if (twin.twin < g) {
      try {
        hulls[g] = mirrored_hull(hulls[twin.twin].get(), twin.signs);
        if (hulls[g]) hulls[g]->computeLocalAABB();
        if (hulls[g] && detailed && twin.same_triangles) {
          for (const auto& piece : piece_hulls[twin.twin]) {
            std::shared_ptr<coal::ConvexBase> mirrored = mirrored_hull(piece.get(), twin.signs);
            if (!mirrored) {
              piece_hulls[g].clear();
              break;
            }
            mirrored->computeLocalAABB();
            piece_hulls[g].push_back(std::move(mirrored));
          }
        }
      } catch (const std::exception&) {
        hulls[g] = nullptr;
        piece_hulls[g].clear();
      }
    }
    if (!hulls[g]) {
      // The pieces first: the hull of their hulls' vertices is the mesh's.
      // Every vertex is finite: the build's mesh loader refuses any other mesh.
      piece_hulls[g].clear();
      if (detailed) build_pieces(g, *mesh, *tree);
      hulls[g] = hull_of(piece_hulls[g].empty() ? mesh->vertices
                                                : hull_candidates(*mesh, piece_hulls[g]));
    } else if (detailed && piece_hulls[g].empty()) {
      build_pieces(g, *mesh, *tree);
    }
    // Without a hull, the mesh's pairs go straight to the exact test.
    if (!hulls[g]) piece_hulls[g].clear();
    for (const auto& hull : piece_hulls[g]) pieces[g].push_back(hull.get());
  }
  start_tables.clear();
  for (std::size_t g = 0; g < geometries; ++g) {
    if (hulls[g]) add_start_table(*hulls[g]);
    for (const auto& hull : piece_hulls[g]) add_start_table(*hull);
  }
  most_pieces = 1;
  piece_boxes.assign(geometries, {});
  for (std::size_t g = 0; g < geometries; ++g) {
    const coal::CollisionGeometry* geometry = geom_model.geometryObjects[g].geometry.get();
    if (!dynamic_cast<const coal::BVHModelBase*>(geometry)) {
      pieces[g].push_back(geometry);
      piece_boxes[g].push_back(local_boxes[g]);
    }
    for (const auto& hull : piece_hulls[g]) {
      const coal::AABB& box = hull->aabb_local;
      piece_boxes[g].push_back(Box{(box.min_ + box.max_) / 2, (box.max_ - box.min_) / 2});
    }
    most_pieces = std::max(most_pieces, pieces[g].size());
  }
}

void HullSet::add_start_table(const coal::ConvexBase& hull) {
  // coal searches a small hull's vertices one by one, ignoring the start.
  if (hull.num_points <= coal::ConvexBase::num_vertices_large_convex_threshold) return;
  if (start_tables.count(&hull)) return;
  StartTable table{};
  const auto& points = *hull.points;
  for (int cell = 0; cell < 27; ++cell) {
    const coal::Vec3s d(cell / 9 - 1, (cell / 3) % 3 - 1, cell % 3 - 1);
    unsigned int best = 0;
    double farthest = points[0].dot(d);
    for (unsigned int v = 1; v < hull.num_points; ++v) {
      const double along = points[v].dot(d);
      if (along > farthest) best = v, farthest = along;
    }
    table[static_cast<std::size_t>(cell)] = static_cast<int>(best);
  }
  start_tables.emplace(&hull, table);
}

}  // namespace talvex
}  // namespace corvane
