#!/usr/bin/python3
# The reference walk for the observation benchmark: the same window, the same attributes and
# the same bounds (128 elements, depth 10, 32 children each, depth first) read through
# pyatspi, which most Linux accessibility automation builds on. Prints one JSON line with
# the walk time in milliseconds for every line it reads. Run with Debian's python3
# (python3-pyatspi). A line "press NAME<TAB>TEXT" instead finds the push button NAME as a
# dogtail-style search does (depth first, by role and name), performs its "click" action and
# searches the window until a label reads TEXT, and prints that time.
#
#   reference_walk.py PID [TITLE]
#
# The window is the application's first frame or window (or dialog), or the child named TITLE
# when given (toolkits that give their top level another role are reached that way), else the
# first window.
import json
import sys
import time

import pyatspi

MAX_NODES, MAX_DEPTH, MAX_CHILDREN = 128, 10, 32


def window_of(pid, title):
    for app in pyatspi.Registry.getDesktop(0):
        if app is not None and app.get_process_id() == pid:
            children = [child for child in app if child is not None]
            for child in children:
                if title is not None and child.name == title:
                    return child
            # The helper's title is the X window's, which Qt extends with the application's
            # name; pyatspi knows only the accessible name, so the first window serves then.
            for child in children:
                if child.getRole() in (pyatspi.ROLE_FRAME, pyatspi.ROLE_WINDOW, pyatspi.ROLE_DIALOG):
                    return child
    raise SystemExit("no window for pid %d" % pid)


def read_node(acc):
    node = {"role": acc.getRoleName(), "name": acc.name, "description": acc.description}
    states = acc.getState()
    node["enabled"] = states.contains(pyatspi.STATE_ENABLED)
    node["id"] = acc.accessibleId
    interfaces = acc.get_interfaces()
    value = None
    if states.contains(pyatspi.STATE_CHECKED) or acc.getRole() == pyatspi.ROLE_CHECK_BOX:
        value = 1 if states.contains(pyatspi.STATE_CHECKED) else 0
    elif "Value" in interfaces:
        value = acc.queryValue().currentValue
    elif "Text" in interfaces:
        text = acc.queryText()
        value = text.getText(0, -1)
    node["value"] = value
    node["settable"] = ("EditableText" in interfaces and states.contains(pyatspi.STATE_EDITABLE)) or "Value" in interfaces
    actions = []
    if "Action" in interfaces:
        action = acc.queryAction()
        actions = [action.getName(i) for i in range(action.nActions)]
    node["actions"] = actions
    if "Component" in interfaces:
        node["extents"] = tuple(acc.queryComponent().getExtents(pyatspi.DESKTOP_COORDS))
    return node


def walk(root):
    visited = []
    out = []

    def visit(acc, depth):
        if len(visited) >= MAX_NODES or any(acc == v for v in visited):
            return
        visited.append(acc)
        out.append(read_node(acc))
        if depth < MAX_DEPTH:
            count = min(acc.childCount, MAX_CHILDREN)
            for i in range(count):
                if len(visited) >= MAX_NODES:
                    break
                child = acc.getChildAtIndex(i)
                if child is not None:
                    visit(child, depth + 1)
        else:
            acc.childCount

    visit(root, 0)
    return out


def press(root, name, expected):
    button = pyatspi.findDescendant(
        root, lambda acc: acc.getRole() == pyatspi.ROLE_PUSH_BUTTON and acc.name == name)
    action = button.queryAction()
    action.doAction([action.getName(i) for i in range(action.nActions)].index("click"))
    for _ in range(200):
        if pyatspi.findDescendant(root, lambda acc: acc.getRole() == pyatspi.ROLE_LABEL and
                                  acc.name == expected) is not None:
            return True
    return False


def main():
    pid = int(sys.argv[1])
    window = window_of(pid, sys.argv[2] if len(sys.argv) > 2 and sys.argv[2] else None)
    print(json.dumps({"ready": True}), flush=True)
    # One walk per line read, so that the benchmark can interleave the walks with its own
    # requests and both see the same load.
    for line in sys.stdin:
        start = time.perf_counter()
        if line.startswith("press "):
            name, expected = line[len("press "):].rstrip("\n").split("\t")
            changed = press(window, name, expected)
            print(json.dumps({"changed": changed, "ms": (time.perf_counter() - start) * 1000}), flush=True)
            continue
        nodes = len(walk(window))
        print(json.dumps({"nodes": nodes, "ms": (time.perf_counter() - start) * 1000}), flush=True)


main()
