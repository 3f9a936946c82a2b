"""The README's Python blocks that name real files run as written, and their
prints give what the comments beside them say."""

import json
import pathlib
import re
import subprocess
import sys

import pytest

from conftest import ERD_SHARE

README = (pathlib.Path(__file__).resolve().parent.parent / "README.md").read_text()

# Runs a file, recording the line and text of each print() to stderr as JSON.
RECORDER = """\
import builtins, json, runpy, sys
shown = builtins.print
def recorded(*args, **kwargs):
    sys.stderr.write(json.dumps([sys._getframe(1).f_lineno, " ".join(map(str, args))]) + "\\n")
    shown(*args, **kwargs)
builtins.print = recorded
runpy.run_path(sys.argv[1], run_name="__main__")
"""
CLAIM = re.compile(r"^print\(.*#\s+(<[^>]*> (?:True|False)|True|False)\b")


def blocks(section):
    """The ```python blocks of one "## " section."""
    body = README.split(f"\n## {section}\n", 1)[1].split("\n## ", 1)[0]
    return re.findall(r"^```python\n(.*?)^```$", body, flags=re.S | re.M)


@pytest.mark.skipif(ERD_SHARE is None, reason="example-robot-data is not installed")
@pytest.mark.parametrize("code", blocks("Using it"))
def test_using_it_runs_as_written(tmp_path, code):
    script = tmp_path / "block.py"
    script.write_text(code)
    run = subprocess.run([sys.executable, "-c", RECORDER, str(script)], capture_output=True,
                         text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    printed = dict(json.loads(line) for line in run.stderr.splitlines() if line.startswith("["))
    claims = {n: m[1] for n, line in enumerate(code.splitlines(), 1) if (m := CLAIM.match(line))}
    assert claims
    assert {n: printed.get(n) for n in claims} == claims
