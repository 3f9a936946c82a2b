// The exact test of two triangle meshes, as coal runs it behind Pinocchio's
// collision call, with the walk of their volume trees re-ordered. The one file
// that uses coal's internal traversal headers.
#pragma once

#include <coal/BVH/BVH_model.h>
#include <coal/collision_data.h>
#include <coal/math/transform.h>

namespace corvane {
namespace talvex {

using Mesh = coal::BVHModel<coal::OBBRSS>;

// coal's verdict for the two meshes (result is cleared, then written as coal
// writes it).
bool meshes_collide(const Mesh& a, const coal::Transform3s& tf_a, const Mesh& b,
                    const coal::Transform3s& tf_b, const coal::CollisionRequest& request,
                    coal::CollisionResult& result);

// The same walk, stopped once it has visited `volume_pairs` pairs of volumes:
// a hit it found is one the whole walk could end at (coal's verdict is then
// "collision"), a walk it finished is the whole walk (coal's verdict is then
// "clear"); else it says nothing.
enum class WalkEnd { kHit, kClear, kUnfinished };
WalkEnd meshes_collide_within(const Mesh& a, const coal::Transform3s& tf_a, const Mesh& b,
                              const coal::Transform3s& tf_b, const coal::CollisionRequest& request,
                              coal::CollisionResult& result, long volume_pairs);

// Whether the test of the two trees' root volumes, the first step of the
// exact test, already proves the meshes clear. `scratch` receives a distance
// bound, nothing else.
bool mesh_roots_apart(const Mesh& a, const coal::Transform3s& tf_a, const Mesh& b,
                      const coal::Transform3s& tf_b, const coal::CollisionRequest& request,
                      coal::CollisionResult& scratch);

}  // namespace talvex
}  // namespace corvane
