#!/usr/bin/env python3
"""Checks the layers from the compiler's own dependency lists (ninja -t deps).

Each library of src/ may include headers of its own folder and of the folders of the
libraries it links, and nothing else of src/; an engine library (not a window library) may
not reach Qt's GUI or widget modules at all, whichever header brought them in. The layer
manifest written at configure time says which folders each library may use.

With --self-test, checks that the check refuses what it must on made-up dependency lists.
"""
import argparse
import os
import re
import subprocess
import sys

GUI_MODULES = ("/QtGui/", "/QtWidgets/", "/QtOpenGL/", "/QtPrintSupport/")


def read_manifest(path):
    targets = {}
    with open(path) as manifest:
        for line in manifest:
            line = line.strip()
            if not line:
                continue
            target, engine, folder, allowed = line.split("|")
            targets[target] = {
                "engine": engine.upper() in ("TRUE", "ON", "1"),
                "folder": folder,
                "allowed": [a for a in allowed.split(",") if a],
            }
    return targets


def parse_deps(text):
    """Yields (object file, [dependencies]) from the output of `ninja -t deps`."""
    current = None
    deps = []
    for line in text.splitlines():
        if not line.strip():
            continue
        if not line.startswith(" ") and ": #deps" in line:
            if current is not None:
                yield current, deps
            current = line.split(": #deps")[0]
            deps = []
        elif current is not None:
            deps.append(line.strip())
    if current is not None:
        yield current, deps


def target_of(obj):
    match = re.search(r"CMakeFiles/([^/]+)\.dir/", obj)
    return match.group(1) if match else None


def problems(targets, entries, build, source):
    found = []
    source = os.path.realpath(source)
    for obj, deps in entries:
        target = target_of(obj)
        if target not in targets:
            continue
        facts = targets[target]
        for dep in deps:
            path = dep if os.path.isabs(dep) else os.path.join(build, dep)
            path = os.path.normpath(path)
            if facts["engine"] and any(module in path for module in GUI_MODULES):
                found.append(f"{target} is an engine but {obj} reaches {dep}")
                continue
            real = os.path.realpath(path)
            if not real.startswith(source + os.sep):
                continue
            folder = os.path.dirname(os.path.relpath(real, source))
            if not any(folder == a or folder.startswith(a + "/") for a in facts["allowed"]):
                found.append(f"{target} ({facts['folder']}) includes {os.path.relpath(real, source)}"
                             f" but links no library of that folder")
    return found


def self_test():
    targets = {
        "quiva_base": {"engine": True, "folder": "base", "allowed": ["base"]},
        "quiva_tool_split": {"engine": True, "folder": "tools/split",
                             "allowed": ["tools/split", "tools/common", "base"]},
        "quiva_ui": {"engine": False, "folder": "ui", "allowed": ["ui", "base"]},
    }
    src = "/s/src"
    cases = [
        ("quiva_base", "/s/src/base/host.h", True),
        ("quiva_base", "/s/src/ui/form_base.h", False),
        ("quiva_base", "/usr/include/x86_64-linux-gnu/qt6/QtWidgets/qwidget.h", False),
        ("quiva_base", "/usr/include/x86_64-linux-gnu/qt6/QtGui/qcolor.h", False),
        ("quiva_base", "/usr/include/x86_64-linux-gnu/qt6/QtCore/qstring.h", True),
        ("quiva_tool_split", "/s/src/tools/common/file_io.h", True),
        ("quiva_tool_split", "/s/src/tools/splice/splicer.h", False),
        ("quiva_ui", "/usr/include/x86_64-linux-gnu/qt6/QtWidgets/qwidget.h", True),
        ("quiva_ui", "/s/src/shell/master_window.h", False),
    ]
    failures = 0
    for target, dep, ok in cases:
        obj = f"src/x/CMakeFiles/{target}.dir/a.cpp.o"
        got = problems(targets, [(obj, [dep])], "/s/build", src)
        if bool(got) == ok:
            print(f"self-test: {target} including {dep}: expected {'pass' if ok else 'refusal'}")
            failures += 1
    if failures:
        sys.exit(1)
    print(f"self-test: {len(cases)} cases as expected")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build")
    parser.add_argument("--source")
    parser.add_argument("--self-test", action="store_true")
    args = parser.parse_args()
    self_test()
    if args.self_test:
        return
    manifest = os.path.join(args.build, "layers.manifest")
    if not os.path.exists(os.path.join(args.build, "build.ninja")):
        print("layers: the build is not a Ninja build; its dependency lists cannot be read")
        sys.exit(0)
    targets = read_manifest(manifest)
    text = subprocess.run(["ninja", "-C", args.build, "-t", "deps"], check=True,
                          capture_output=True, text=True).stdout
    entries = list(parse_deps(text))
    checked = [e for e in entries if target_of(e[0]) in targets]
    if not checked:
        print("layers: no object of a library has been built yet")
        sys.exit(1)
    found = problems(targets, entries, args.build, args.source)
    for problem in found:
        print(problem)
    print(f"layers: {len(checked)} objects of {len(targets)} libraries checked, "
          f"{len(found)} problems")
    sys.exit(1 if found else 0)


if __name__ == "__main__":
    main()
