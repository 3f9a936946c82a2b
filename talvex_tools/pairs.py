"""Which link pairs are in collision, read with Pinocchio's own Python bindings (`pin`).

talvex answers one question per configuration (does anything collide?) and stops at the
first pair that does. To say which pairs collide, the robot is loaded again through
`pin` exactly as talvex loads it: every pair of collision geometries on different
joints, minus the pairs the SRDF disables, each tested with the same margin. The
verdicts are then gathered per link pair (a link may carry several geometries).
"""

import contextlib
import os
import sys
import tempfile
import warnings

import numpy as np

from talvex_tools.errors import ToolError, one_line


def import_pin():
    try:
        import pinocchio
    except ImportError:
        raise ToolError("naming the colliding pairs needs Pinocchio's Python bindings: "
                        "pip install 'talvex[tools]'") from None
    return pinocchio


@contextlib.contextmanager
def _quiet_stderr(said):
    """Hold back what the native readers write to file descriptor 2 (urdfdom and
    Pinocchio print warnings there); the lines are appended to `said`."""
    sys.stderr.flush()
    saved = os.dup(2)
    with tempfile.TemporaryFile(mode="w+b") as sink:
        os.dup2(sink.fileno(), 2)
        try:
            yield
        finally:
            os.dup2(saved, 2)
            os.close(saved)
            sink.seek(0)
            said.extend(sink.read().decode(errors="replace").splitlines())


class PairModel:
    """A robot as talvex tests it, pair by pair.

    `pairs` lists the link pairs (each as two link names in alphabetical order) in the
    order talvex first meets them; the arrays the methods return are indexed like it.
    """

    def __init__(self, files):
        pin = self.pin = import_pin()
        said = []
        try:
            with _quiet_stderr(said):
                model = pin.buildModelFromUrdf(str(files.urdf), mimic=False)
                geom = pin.buildGeomFromUrdf(model, str(files.urdf), pin.GeometryType.COLLISION,
                                             package_dirs=[str(files.package_dir)])
                geom.addAllCollisionPairs()
                if files.srdf is not None:
                    pin.removeCollisionPairs(model, geom, str(files.srdf), False)
        except (RuntimeError, ValueError) as exc:
            tail = f" ({' '.join(said[-1].split())})" if said else ""
            raise ToolError(f"Pinocchio cannot load {files.urdf}: {one_line(exc)}{tail}") from None
        self.model, self.geom, self.margin = model, geom, files.margin
        self.data = model.createData()
        self.geom_data = pin.GeometryData(geom)
        # Pinocchio lets each pair start from the guess its previous call left; talvex
        # starts every pair from the fresh guess, so that a verdict depends on q alone.
        # Without caching, coal starts from that same fresh guess every time. The flag
        # is deprecated in coal, but it is the one Pinocchio turns on (pin is pinned).
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            for request in (*self.geom_data.collisionRequests,
                            *self.geom_data.distanceRequests):
                request.enable_cached_gjk_guess = False
        for request in self.geom_data.collisionRequests:
            request.security_margin = files.margin

        objects = geom.geometryObjects
        self.link_of_geometry = [model.frames[g.parentFrame].name for g in objects]
        self.joint_of_geometry = [g.parentJoint for g in objects]
        index, of_pair = {}, []
        for pair in geom.collisionPairs:
            key = tuple(sorted((self.link_of_geometry[pair.first],
                                self.link_of_geometry[pair.second])))
            of_pair.append(index.setdefault(key, len(index)))
        self.pairs = list(index)
        self._of_pair = np.array(of_pair, dtype=np.intp)
        # Proxies into the result vectors, made once: walking the vectors afresh
        # costs as much as the tests themselves on a robot of thousands of pairs.
        self._results = list(self.geom_data.collisionResults)
        self._distance_results = list(self.geom_data.distanceResults)
        self.restrict(np.ones(len(self.pairs), dtype=bool))

    @property
    def nq(self):
        return self.model.nq

    def restrict(self, link_pairs):
        """Test only these link pairs (a boolean mask over `pairs`) from now on; the
        others read as clear and at no finite distance."""
        active = np.asarray(link_pairs, dtype=bool)[self._of_pair]
        for k, on in enumerate(active):
            if on:
                self.geom_data.activateCollisionPair(k)
            else:
                self.geom_data.deactivateCollisionPair(k)
        self._tested = np.flatnonzero(active)
        self._tested_results = [self._results[k] for k in self._tested]
        self._tested_distances = [self._distance_results[k] for k in self._tested]

    def moved_by(self, joint_names):
        """Mask over `pairs`: the link pairs whose two links move relative to each other
        when any of these joints moves (one link beyond the joint, the other not)."""
        moves = np.zeros(len(self._of_pair), dtype=bool)
        subtrees = self.model.subtrees
        for name in joint_names:
            beyond = set(subtrees[self.model.getJointId(name)])
            side = np.array([j in beyond for j in self.joint_of_geometry])
            for k, pair in enumerate(self.geom.collisionPairs):
                moves[k] |= side[pair.first] != side[pair.second]
        return np.bincount(self._of_pair[moves], minlength=len(self.pairs)) > 0

    def joints_between(self, a, b):
        """The names of the joints on the kinematic path between links a and b: the ones
        that move them relative to each other."""
        ends = [self.model.frames[self.model.getFrameId(link)].parentJoint for link in (a, b)]
        paths = [set(self.model.supports[j]) for j in ends]
        on_path = (paths[0] ^ paths[1]) - {0}
        return [self.model.names[j] for j in sorted(on_path)]

    def collisions(self, q):
        """Boolean per link pair: in collision at q (closer than the margin)."""
        out = np.zeros(len(self.pairs), dtype=bool)
        if self.pin.computeCollisions(self.model, self.data, self.geom, self.geom_data,
                                      np.asarray(q, dtype=float), False):
            hit = np.fromiter((r.isCollision() for r in self._tested_results), dtype=bool,
                              count=len(self._tested))
            out[self._of_pair[self._tested[hit]]] = True
        return out

    def distances(self, q):
        """Distance per link pair at q in metres: the smallest over its geometry pairs
        (coal reports overlapping meshes at 0, overlapping primitives below 0)."""
        self.pin.computeDistances(self.model, self.data, self.geom, self.geom_data,
                                  np.asarray(q, dtype=float))
        each = np.fromiter((r.min_distance for r in self._tested_distances), dtype=float,
                           count=len(self._tested))
        out = np.full(len(self.pairs), np.inf)
        np.minimum.at(out, self._of_pair[self._tested], each)
        return out

    def verdicts(self, samples, bar=None):
        """(samples, link pairs) booleans; `bar` (if given) is advanced per sample."""
        samples = np.asarray(samples, dtype=float).reshape(-1, self.nq)
        hits = np.zeros((len(samples), len(self.pairs)), dtype=bool)
        for row, q in enumerate(samples):
            hits[row] = self.collisions(q)
            if bar is not None:
                bar.update(1)
        return hits


def ranked(names, hits):
    """[(link a, link b, share of the rows)] of the pairs in collision in any row, the
    most frequent first (ties by name)."""
    share = hits.mean(axis=0) if len(hits) else np.zeros(len(names))
    order = sorted((k for k in range(len(names)) if share[k] > 0),
                   key=lambda k: (-share[k], names[k]))
    return [(*names[k], float(share[k])) for k in order]


def summarise(files, samples, bar=None):
    """The link pairs in collision over these configurations and the share of them in
    which each is: [(link a, link b, share)], the most frequent first."""
    model = PairModel(files)
    return ranked(model.pairs, model.verdicts(samples, bar))


class _Silent:
    def update(self, n=1):
        pass

    def close(self):
        pass


@contextlib.contextmanager
def progress(total, desc, unit):
    """A progress bar on stderr when it is a terminal (tqdm), nothing otherwise; closed
    however the work ends, so no bar is redrawn after an error or Ctrl-C."""
    bar = _Silent()
    if sys.stderr.isatty():
        try:
            from tqdm import tqdm
        except ImportError:
            pass
        else:
            bar = tqdm(total=total, desc=desc, unit=unit, leave=False, dynamic_ncols=True)
    try:
        yield bar
    finally:
        bar.close()
