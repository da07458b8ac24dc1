#!/usr/bin/env python3
"""Which product folder includes or links which.

  scripts/include-graph.py            the graph: include lines and library links per folder pair
  scripts/include-graph.py --check    exit 1, naming each offending line, when a folder includes or
                                      links one that the layering below does not allow

An include counts when its first path segment is another product folder ("portio/UsbIO.h"); a link
counts when a folder's CMake files name another folder's library target (qx_<folder>).
"""
import os
import re
import sys

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

# The layers as README's design section draws them. Each folder may use the folders listed for it
# and, through them, everything those may use; every folder may use the bottom libraries, and they
# one another. base/ is a bottom library of helpers where a tree has one.
BOTTOM = ["contract", "base", "threads", "log"]
USES = {
    "component": ["portmanager", "property"],
    "portmanager": ["portio", "property"],
    "portio": ["usb"],
    "usb": [],
    "property": ["markup"],
    "markup": [],
    # Outside the shipped library: the substitute host loads the component at run time and sees
    # only the host contract; the tools build on the host and read the configuration file.
    "host": [],
    "tools": ["host", "property"],
}
FOLDERS = list(USES) + BOTTOM

INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([A-Za-z0-9_]+)/[^">]*[">]')
SOURCE_SUFFIXES = (".h", ".hpp", ".c", ".cc", ".cpp")


def allowed(folder):
    if folder in BOTTOM:
        return set(BOTTOM)
    seen = set()
    todo = list(USES[folder])
    while todo:
        nxt = todo.pop()
        if nxt not in seen:
            seen.add(nxt)
            todo.extend(USES.get(nxt, []))
    return seen | set(BOTTOM) | {folder}


def walk(folder, suffixes=None, names=None):
    base = os.path.join(ROOT, folder)
    for dirpath, dirnames, filenames in os.walk(base):
        dirnames.sort()
        for name in sorted(filenames):
            if (suffixes and name.endswith(suffixes)) or (names and name in names):
                yield os.path.join(dirpath, name)


def library_targets():
    """qx_ target name -> the folder whose CMake files define it."""
    owners = {}
    define = re.compile(r'(?:taliun_static_library|add_library)\(\s*(qx_[A-Za-z0-9_]+)')
    for folder in FOLDERS:
        for path in walk(folder, names=("CMakeLists.txt",)):
            with open(path, encoding="utf-8") as f:
                for target in define.findall(f.read()):
                    owners[target] = folder
    return owners


def edges():
    """(from, to, kind, file:line) for every include or link between two product folders."""
    found = []
    for folder in FOLDERS:
        for path in walk(folder, suffixes=SOURCE_SUFFIXES):
            with open(path, encoding="utf-8", errors="replace") as f:
                for number, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if m and m.group(1) in FOLDERS and m.group(1) != folder:
                        found.append((folder, m.group(1), "include", f"{os.path.relpath(path, ROOT)}:{number}"))
    owners = library_targets()
    target = re.compile(r'\b(qx_[A-Za-z0-9_]+)\b')
    for folder in FOLDERS:
        for path in walk(folder, names=("CMakeLists.txt",)):
            with open(path, encoding="utf-8") as f:
                for number, line in enumerate(f, 1):
                    code = line.split("#", 1)[0]
                    for name in target.findall(code):
                        owner = owners.get(name)
                        if owner is not None and owner != folder:
                            found.append((folder, owner, "link", f"{os.path.relpath(path, ROOT)}:{number}"))
    return found


def main(argv):
    found = edges()
    if "--check" in argv:
        bad = [e for e in found if e[1] not in allowed(e[0])]
        for source, dest, kind, where in bad:
            print(f"{where}: {source}/ may not {kind} {dest}/")
        return 1 if bad else 0
    counts = {}
    for source, dest, kind, _ in found:
        counts.setdefault((source, dest), {"include": 0, "link": 0})[kind] += 1
    print(f"{'from':<12} {'to':<12} {'includes':>8} {'links':>6}")
    for (source, dest), n in sorted(counts.items(), key=lambda kv: (FOLDERS.index(kv[0][0]), FOLDERS.index(kv[0][1]))):
        mark = "" if dest in allowed(source) else "  (not allowed)"
        print(f"{source:<12} {dest:<12} {n['include']:>8} {n['link']:>6}{mark}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
