"""Which link pairs are in collision, from the module's own per-pair answers
(talvex_tools.batch): the link pairs a built robot keeps, each tested from the fresh
solver start at every configuration, so that a verdict depends on q alone; a link
pair is in collision when any of its geometry pairs is closer than the margin.

Also the joints of the model as the tools sample them, read from the model itself
(batch.joint_layout), and the check of the pairs that collide nearly always at a
margin above 0 against the same robot at margin 0.
"""

import contextlib
import dataclasses
import math
import sys

import numpy as np

import _talvex_native as _native
from talvex_tools import batch, mimic, sampling
from talvex_tools.errors import ToolError

# Rows per call: a progress bar moves, and Ctrl-C is taken, between calls.
CHUNK = 512
# A pair in collision in this share of the samples or more touches wherever its joints
# put it (talvex srdf's "Always").
ALWAYS = 0.95
# Pairs named in a one-line list at most.
LISTED = 4
# The unit of each coordinate role joint_layout names: cos, sin and the quaternion's
# parts are plain numbers.
UNITS = {"angle": "rad", "position": "m", "x": "m", "y": "m", "z": "m"}


def unit(role):
    return UNITS.get(role, "1")


def rotation_spans(joint):
    """[(start, stop, what)] of the coordinates of a joint_layout entry that make one
    rotation, (cos, sin) or a quaternion, as indices into q."""
    roles, start = joint["coordinates"], joint["q_start"]
    spans = []
    for first, last, what in (("cos", "sin", "(cos, sin)"), ("qx", "qw", "quaternion")):
        if first in roles and last in roles:
            spans.append((start + roles.index(first), start + roles.index(last) + 1, what))
    return spans


def layout(robot):
    """The joints of a built robot in the order of q, as sampling.Joint records, with
    the kinds the model reports; a ToolError for a kind the tools cannot sample."""
    joints = []
    for joint in batch.joint_layout(robot):
        kind = joint["type"]
        if sampling.COORDINATES.get(kind) != joint["q_count"]:
            raise ToolError(f"joint {joint['name']!r} is {kind}, which the tools cannot sample")
        joints.append(sampling.Joint(joint["name"], kind, joint["q_start"], joint["q_count"],
                                     tuple(joint["lower"]), tuple(joint["upper"])))
    return joints


def draw(robot, joints, rng, count, held, independent=False):
    """count configurations inside the limits (sampling.sample), each mimic joint put
    where its leader puts it unless independent; the held coordinates stay held."""
    qs = sampling.sample(joints, robot.lower_position_limits(), robot.upper_position_limits(),
                         rng, count, held)
    return qs if independent else mimic.apply(batch.joint_layout(robot), qs, keep=held)


def no_pairs_line(name, robot):
    """One line for a robot that keeps no pair to test, else None."""
    if batch.link_pairs(robot):
        return None
    return (f"note: {name} has no collision pair to test (no two links with collision "
            "geometry on different joints, or the SRDF disables them all): every "
            "configuration is free")


class PairModel:
    """A built robot as talvex tests it, link pair by link pair.

    `pairs` lists the link pairs the robot keeps (batch.link_pairs), the columns of
    every array the methods return.
    """

    def __init__(self, robot, threads=None):
        self.robot, self.threads = robot, threads
        self.margin = batch.margin(robot)
        self.pairs = batch.link_pairs(robot)
        self.joint_of_link = {}
        for link_a, link_b, _, _, joint_a, joint_b in _native.pair_table(robot):
            self.joint_of_link[link_a], self.joint_of_link[link_b] = joint_a, joint_b
        joints = batch.joint_layout(robot)
        self._order = {joint["name"]: k for k, joint in enumerate(joints)}
        parent = {joint["name"]: joint["parent"] for joint in joints}
        # Each joint with the joints above it: the path between two links is the
        # symmetric difference of their two.
        self._above = {}
        for name in parent:
            chain, at = set(), name
            while at is not None:
                chain.add(at)
                at = parent.get(at)
            self._above[name] = chain
        self._mask = np.ones(len(self.pairs), dtype=bool)

    @classmethod
    def of(cls, files, threads=None):
        return cls(files.build(), threads)

    @property
    def nq(self):
        return self.robot.nq()

    def restrict(self, link_pairs):
        """Answer only for these link pairs (a boolean mask over `pairs`) from now on;
        the others read as clear and at no finite distance."""
        self._mask = np.asarray(link_pairs, dtype=bool).copy()

    def _path(self, a, b):
        ends = [self._above.get(self.joint_of_link.get(link), set()) for link in (a, b)]
        return ends[0] ^ ends[1]

    def moved_by(self, joint_names):
        """Mask over `pairs`: the link pairs whose two links move relative to each other
        when any of these joints moves (one link beyond the joint, the other not)."""
        names = set(joint_names)
        return np.array([bool(self._path(a, b) & names) for a, b in self.pairs], dtype=bool)

    def joints_between(self, a, b):
        """The names of the joints on the kinematic path between links a and b, in the
        order of q: the ones that move them relative to each other."""
        return sorted(self._path(a, b), key=self._order.__getitem__)

    def collisions(self, q):
        """Boolean per link pair: in collision at q (closer than the margin)."""
        row = np.asarray(q, dtype=float).reshape(1, -1)
        return batch.pair_collisions(self.robot, row, threads=1)[0] & self._mask

    def distances(self, q):
        """Distance per link pair at q in metres: the smallest over its geometry pairs
        (coal reports overlapping meshes at 0, overlapping primitives below 0)."""
        index = {pair: k for k, pair in enumerate(self.pairs)}
        out = np.full(len(self.pairs), np.inf)
        for a, b, gap in batch.pair_distances(self.robot, np.asarray(q, dtype=float),
                                              below=math.inf):
            out[index[(a, b)]] = gap
        out[~self._mask] = np.inf
        return out

    def verdicts(self, samples, bar=None):
        """(samples, link pairs) booleans; `bar` (if given) is advanced per sample."""
        samples = np.asarray(samples, dtype=float).reshape(-1, self.nq)
        hits = np.zeros((len(samples), len(self.pairs)), dtype=bool)
        for start in range(0, len(samples), CHUNK):
            rows = samples[start:start + CHUNK]
            hits[start:start + len(rows)] = batch.pair_collisions(self.robot, rows,
                                                                  threads=self.threads)
            if bar is not None:
                bar.update(len(rows))
        hits &= self._mask
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
    model = PairModel.of(files)
    return ranked(model.pairs, model.verdicts(samples, bar))


def shares_at_margin_zero(files, pairs, samples):
    """{(link a, link b): share of the samples in collision} of these pairs on the same
    files built with margin 0: touching, not only nearer than the margin."""
    zero = PairModel.of(dataclasses.replace(files, margin=0.0))
    wanted = set(pairs)
    zero.restrict([pair in wanted for pair in zero.pairs])
    share = zero.verdicts(samples).mean(axis=0) if len(samples) else np.zeros(len(zero.pairs))
    return {pair: float(share[k]) for k, pair in enumerate(zero.pairs) if pair in wanted}


def margin_zero_line(files, found, samples):
    """One line on the pairs in collision in ALWAYS of the samples or more at a margin
    above 0: their share at margin 0. None when there are none, or at margin 0."""
    always = [(a, b) for a, b, share in found if share >= ALWAYS]
    if files.margin <= 0 or not always:
        return None
    zero = shares_at_margin_zero(files, always, samples)
    # The pairs that touch least at margin 0 first: the ones the margin alone holds.
    always.sort(key=lambda pair: zero.get(pair, 0.0))
    listed = ", ".join(f"{a} / {b} {zero.get((a, b), 0.0):.1%}" for a, b in always[:LISTED])
    more = f" and {len(always) - LISTED} more" if len(always) > LISTED else ""
    return (f"At margin 0 (touching), the {len(always)} pair{'s' if len(always) > 1 else ''} "
            f"in collision in {ALWAYS:.0%} or more of the samples at {files.margin:g} m "
            f"collide in: {listed}{more}; parts meant to sit closer than the margin want a "
            "smaller --margin.")


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
