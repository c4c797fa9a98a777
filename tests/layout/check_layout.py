#!/usr/bin/env python3
"""The layout as CONTRIBUTING's table gives it, held against the modules CMakeLists.txt declares
and the includes in the sources. The build refuses only an include of a module the includer
cannot see; this also finds one seen merely through another module's headers, a header that
includes what its module keeps private, and a table that says something else than the build.
Prints each disagreement and exits 1 when there is one."""

import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
SOURCES = ROOT / "TarnwickScreenCapture"
INCLUDE = re.compile(r'^\s*#\s*include\s+"TarnwickScreenCapture/(.+)/[^/]+"', re.M)


def declared_modules(cmake_text):
    """folder -> (public folders, private folders), from the tarnwick_module(...) calls."""
    calls = re.findall(r"tarnwick_module\(([^)]*)\)", cmake_text)
    folder_of = {}
    arguments = {}
    for call in calls:
        words = call.split()
        name, folder = words[0], words[1]
        folder_of[name] = folder
        lists = {"PUBLIC": [], "PRIVATE": []}
        current = None
        for word in words[2:]:
            if word.isupper() and word.replace("_", "").isalpha():
                current = lists.get(word)
            elif current is not None:
                current.append(word)
        arguments[folder] = lists
    return {folder: ({folder_of[m] for m in lists["PUBLIC"]},
                     {folder_of[m] for m in lists["PRIVATE"]})
            for folder, lists in arguments.items()}


def table_modules(contributing_text):
    """folder -> folders it may include, from the rows of CONTRIBUTING's layout table."""
    rows = {}
    for line in contributing_text.splitlines():
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
        if len(cells) != 3 or not cells[0].startswith("`"):
            continue
        folder = re.fullmatch(r"`([a-z0-9/]+)/`", cells[0])
        if folder:
            rows[folder.group(1)] = set(re.findall(r"`([a-z0-9/]+)/`", cells[2]))
    return rows


def folder_of_file(path):
    return str(path.parent.relative_to(SOURCES))


def disagreements(modules, table, files):
    found = []
    for folder in sorted(set(modules) | set(table)):
        declared = set().union(*modules[folder]) if folder in modules else None
        if declared != table.get(folder):
            found.append("%s/: CMakeLists.txt declares %s, CONTRIBUTING's table says %s" % (
                folder, sorted(declared) if declared is not None else "no module",
                sorted(table[folder]) if folder in table else "nothing"))
    for path in files:
        folder = folder_of_file(path)
        if folder not in modules:
            continue
        public, private = modules[folder]
        allowed = {folder} | public | (set() if path.suffix == ".hpp" else private)
        text = path.read_text(errors="replace")
        for match in INCLUDE.finditer(text):
            included = match.group(1)
            if included in allowed:
                continue
            line = text.count("\n", 0, match.start()) + 1
            why = ("its module keeps %s/ private, so what includes this header cannot see it"
                   % included if included in private else "%s/ does not declare %s/"
                   % (folder, included))
            found.append("%s:%d: %s" % (path.relative_to(ROOT), line, why))
    return found


def main():
    modules = declared_modules((ROOT / "CMakeLists.txt").read_text())
    table = table_modules((ROOT / "CONTRIBUTING.md").read_text())
    files = sorted(p for p in SOURCES.rglob("*") if p.suffix in (".cpp", ".hpp"))
    found = disagreements(modules, table, files)
    for line in found:
        print(line)
    if not found:
        print("layout: %d modules, %d files, as the table says" % (len(modules), len(files)))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
