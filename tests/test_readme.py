"""The README's Python blocks that name real files run as written, and their
prints give what the comments beside them say; its shell commands write nothing
into the repository but under build/."""

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
@pytest.mark.parametrize("code", blocks("Quick start") + blocks("Using it"))
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


ROOT = pathlib.Path(__file__).resolve().parent.parent
# What a documented command writes: talvex's --out, the benchmarks' --plot/--out.
WRITES = re.compile(r"--(?:out|plot)[ =](\S+)")


def test_documented_commands_write_under_build_only():
    # A reader who runs the docs' commands from a checkout must not overwrite a
    # tracked file: relative outputs go under build/, which git ignores.
    pages = [ROOT / "README.md", ROOT / "bench/README.md", *sorted((ROOT / "docs").glob("*.md"))]
    targets = {}
    for page in pages:
        for block in re.findall(r"^```(?:sh|bash)\n(.*?)^```$", page.read_text(), re.S | re.M):
            for target in WRITES.findall(block):
                targets.setdefault(target, page.name)
    assert targets
    wrong = {t: page for t, page in targets.items()
             if not t.startswith(("build/", "/", "$", "~")) or t.startswith(str(ROOT))}
    assert wrong == {}
    assert "build/" in (ROOT / ".gitignore").read_text().split()
