"""Command-line tools around talvex: ``talvex inspect``, ``srdf``, ``label``,
``cspace`` and ``pairs`` (``talvex --help`` lists them)."""

import importlib.metadata

try:
    __version__ = importlib.metadata.version("talvex")
except importlib.metadata.PackageNotFoundError:  # run from a checkout without an install
    __version__ = "unknown"


def __getattr__(name):
    # Loaded on first use: the command imports this package before it can catch
    # Ctrl-C, and NumPy's import is the longest part of that window.
    if name == "read_labels":
        from talvex_tools.labels import read_labels

        return read_labels
    raise AttributeError(f"module 'talvex_tools' has no attribute {name!r}")


__all__ = ["read_labels"]
