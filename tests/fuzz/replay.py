#!/usr/bin/env python3
"""Replay fuzzer artifacts one by one, each in a child interpreter, and sort them.

    python replay.py OUT_DIR crash-... timeout-... [...]

For each input it writes the URDF and SRDF texts the harness made of it into
OUT_DIR (NAME.urdf, NAME.srdf), the depth of the URDF's link tree, and the
outcome of replaying the input through the harness (exit status, last lines of
output). The depth matters for a crash: build_from_urdf refuses a tree too
deep for the stack, so a crash on a deep tree means that check fell short.
"""
import pathlib
import subprocess
import sys
import xml.etree.ElementTree as ET

HERE = pathlib.Path(__file__).resolve().parent
REPLAY_TIMEOUT = 300


def tree_depth(urdf):
    """Joints on the longest path from a root link (0 when the text does not parse)."""
    try:
        root = ET.fromstring(urdf)
    except ET.ParseError:
        return 0
    children, child_links = {}, set()
    for joint in root.iter("joint"):
        parent, child = joint.find("parent"), joint.find("child")
        if parent is not None and child is not None:
            children.setdefault(parent.get("link"), []).append(child.get("link"))
            child_links.add(child.get("link"))
    roots = [link for link in children if link not in child_links] or list(children)[:1]
    # Iterative: the trees are thousands deep. `seen` stops cycles and second parents.
    best, seen, stack = 0, set(), [(link, 0) for link in roots]
    while stack:
        link, depth = stack.pop()
        if link in seen:
            continue
        seen.add(link)
        best = max(best, depth)
        stack.extend((child, depth + 1) for child in children.get(link, []))
    return best


def main():
    out = pathlib.Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    sys.argv = sys.argv[:1] + sys.argv[2:]
    import fuzz_build  # after argv is trimmed: it reads nothing from it at import
    for name in sys.argv[1:]:
        path = pathlib.Path(name)
        made = fuzz_build.texts(path.read_bytes())
        if made is None:
            continue
        _, urdf, srdf, _ = made
        (out / (path.name + ".urdf")).write_bytes(urdf)
        if srdf is not None:
            (out / (path.name + ".srdf")).write_bytes(srdf)
        depth = tree_depth(urdf)
        try:
            proc = subprocess.run([sys.executable, str(HERE / "fuzz_build.py"), str(path)],
                                  capture_output=True, text=True, errors="replace",
                                  timeout=REPLAY_TIMEOUT)
            status = proc.returncode
            tail = [line for line in (proc.stdout + proc.stderr).splitlines()
                    if not line.startswith(("INFO:", "WARNING:", "Error:", "         at line"))][-6:]
        except subprocess.TimeoutExpired:
            status, tail = "timeout", []
        print(f"{path.name}: depth {depth}, {len(urdf)} bytes, status {status}")
        for line in tail:
            print("    " + line)


if __name__ == "__main__":
    main()
