"""Self-collision verdicts computed through Pinocchio's own Python bindings, and
configurations that lie right at a contact.

Shared by tests/test_collision_equivalence.py and bench/collision_equivalence.py.
The reference is the full pairwise test on geometry work data made afresh for
every configuration, so no answer can depend on an earlier one: coal caches
each pair's last GJK guess in its request, and near contact the verdict depends
on where GJK starts.
"""

import time

import numpy as np
import pinocchio as pin

# Stand-in range for a coordinate whose bounds are missing or absurd (1e16 in some URDFs).
STAND_IN = np.pi
ABSURD = 1e3


def joint_layout(model):
    """(first coordinate, coordinates, velocities) of every joint but the universe."""
    return [(j.idx_q, j.nq, j.nv) for j in list(model.joints)[1:]]


def inside_samples(model, rng, count):
    """Configurations uniform inside the limits.

    A continuous joint stores (cos, sin) of its angle; its bounds are a box around
    the unit circle, so it is sampled as an angle, not coordinate by coordinate.
    """
    lo, hi = model.lowerPositionLimit.copy(), model.upperPositionLimit.copy()
    unbounded = ~(np.isfinite(lo) & np.isfinite(hi)) | (np.abs(lo) > ABSURD) | (np.abs(hi) > ABSURD)
    lo[unbounded], hi[unbounded] = -STAND_IN, STAND_IN
    samples = rng.uniform(lo, hi, size=(count, model.nq))
    for idx_q, nq, nv in joint_layout(model):
        if nq == 2 and nv == 1:
            angle = rng.uniform(-np.pi, np.pi, size=count)
            samples[:, idx_q] = np.cos(angle)
            samples[:, idx_q + 1] = np.sin(angle)
    return list(samples)


class Reference:
    """A robot built the way talvex builds it, tested pair by pair on fresh work data."""

    def __init__(self, urdf, package_dir, srdf, margin):
        self.model = pin.buildModelFromUrdf(str(urdf), mimic=False)
        self.data = self.model.createData()
        self.geom = pin.buildGeomFromUrdf(
            self.model, str(urdf), pin.GeometryType.COLLISION, package_dirs=[str(package_dir)]
        )
        self.geom.addAllCollisionPairs()
        if srdf:
            pin.removeCollisionPairs(self.model, self.geom, str(srdf), False)
        self.margin = margin

    def fresh_data(self):
        geom_data = pin.GeometryData(self.geom)
        for request in geom_data.collisionRequests:
            request.security_margin = self.margin
        return geom_data

    def collides(self, q):
        return pin.computeCollisions(self.model, self.data, self.geom, self.fresh_data(), q, True)

    def link_pairs_in_collision(self, q):
        """The pairs of link names (frozensets) with a geometry pair in collision at q."""
        geom_data = self.fresh_data()
        pin.computeCollisions(self.model, self.data, self.geom, geom_data, q, False)
        link = [self.model.frames[g.parentFrame].name for g in self.geom.geometryObjects]
        return {frozenset((link[p.first], link[p.second]))
                for p, r in zip(self.geom.collisionPairs, geom_data.collisionResults)
                if r.isCollision()}

    def at_contact(self, colliding, clear, tol=1e-9):
        """Bisect the path from a colliding to a clear configuration until the
        reference's verdict switches within tol of the path parameter; both sides."""
        lo, hi = 0.0, 1.0
        while hi - lo > tol:
            mid = 0.5 * (lo + hi)
            if self.collides(pin.interpolate(self.model, colliding, clear, mid)):
                lo = mid
            else:
                hi = mid
        return (pin.interpolate(self.model, colliding, clear, lo),
                pin.interpolate(self.model, colliding, clear, hi))

    def near_contact(self, samples, verdicts, rng, count, deadline=None):
        """Up to 2 * count configurations at contact (colliding side, clear side), from
        paths between colliding and clear samples; none when the samples are all alike.
        No new path is started after the deadline (a time.perf_counter() value)."""
        hits = [q for q, v in zip(samples, verdicts) if v]
        misses = [q for q, v in zip(samples, verdicts) if not v]
        if not hits or not misses:
            return []
        found = []
        for k in range(count):
            if deadline is not None and time.perf_counter() > deadline:
                break
            a = hits[rng.integers(len(hits))]
            b = misses[rng.integers(len(misses))]
            found.extend(self.at_contact(a, b))
        return found
