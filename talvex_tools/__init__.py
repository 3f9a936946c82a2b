"""Command-line tools around talvex: ``talvex inspect``, ``srdf``, ``label``,
``cspace`` and ``pairs`` (``talvex --help`` lists them)."""

import importlib.metadata

try:
    __version__ = importlib.metadata.version("talvex")
except importlib.metadata.PackageNotFoundError:  # run from a checkout without an install
    __version__ = "unknown"
