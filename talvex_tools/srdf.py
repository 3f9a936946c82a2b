"""SRDF files: reading their disabled pairs, the adjacent link pairs of a URDF, and
writing a new SRDF or adding entries to an existing one without touching the rest."""

import xml.etree.ElementTree as ET
from xml.sax.saxutils import quoteattr

from talvex_tools.errors import ToolError, one_line
from talvex_tools.robot import urdf_root


def read_srdf(path):
    """The root element of an SRDF, or a one-line ToolError."""
    try:
        root = ET.parse(path).getroot()
    except (ET.ParseError, OSError) as exc:
        raise ToolError(f"cannot read {path}: {one_line(exc)}") from None
    if root.tag != "robot":
        raise ToolError(f"{path} is not an SRDF: its root element is <{root.tag}>, not <robot>")
    return root


def disabled_pairs(root):
    """The link pairs an SRDF's disable_collisions entries name, as frozensets."""
    return {
        frozenset((e.get("link1"), e.get("link2")))
        for e in root.iter("disable_collisions")
        if e.get("link1") and e.get("link2")
    }


def link_tree(urdf):
    """{child link: (parent link, joint type)} from the URDF's joints."""
    tree = {}
    for joint in urdf_root(urdf).findall("joint"):
        parent, child = joint.find("parent"), joint.find("child")
        if parent is not None and child is not None:
            tree[child.get("link")] = (parent.get("link"), joint.get("type"))
    return tree


def adjacent_pairs(tree, with_geometry):
    """Link pairs joined by one joint (links without geometry looked through) or by
    fixed joints only."""
    pairs = set()
    for link in with_geometry:
        child, fixed_only, found = link, True, False
        while child in tree and not (found and not fixed_only):
            parent, kind = tree[child]
            fixed_only = fixed_only and kind == "fixed"
            if parent in with_geometry:
                if not found or fixed_only:
                    pairs.add(frozenset((link, parent)))
                found = True
            child = parent
    return pairs


def entry(pair, reason, indent):
    link1, link2 = sorted(pair)
    return (f"{indent}<disable_collisions link1={quoteattr(link1)} link2={quoteattr(link2)} "
            f"reason={quoteattr(reason)}/>")


def new_srdf(robot_name, comment, entries):
    """The text of an SRDF holding only entries [(pair, reason)], after a comment."""
    lines = ['<?xml version="1.0" encoding="UTF-8"?>', f"<robot name={quoteattr(robot_name)}>",
             f"  <!-- {comment.replace('--', '- -')} -->"]
    lines += [entry(pair, reason, "  ") for pair, reason in entries]
    return "\n".join(lines + ["</robot>", ""])


def merged_srdf(text, comment, entries):
    """The text of an existing SRDF with entries [(pair, reason)] added before its
    closing </robot>: every other byte (comments, order, layout) stays as it was."""
    end = text.rfind("</robot>")
    if end < 0:
        raise ToolError("the SRDF to merge has no closing </robot>")
    if not entries:
        return text
    line_start = text.rfind("\n", 0, end) + 1
    before = text[:line_start].rstrip()
    # Indent as the file's last child is.
    last = before[before.rfind("\n") + 1:]
    indent = last[: len(last) - len(last.lstrip())] or "  "
    added = [f"{indent}<!-- {comment.replace('--', '- -')} -->"]
    added += [entry(pair, reason, indent) for pair, reason in entries]
    block = "\n".join(added) + "\n"
    if text[line_start:end].strip():  # </robot> shares its line with other content
        return text[:end] + "\n" + block + text[end:]
    return text[:line_start] + block + text[line_start:]
