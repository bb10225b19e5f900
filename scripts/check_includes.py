#!/usr/bin/env python3
"""Holds every #include "..." of the production code to the arrows between folders.

    host/ -> facade/ -> device/ -> pkcs7/, support/, token_module/
    pkcs7/ -> support/
    softtoken/ -> token_module/, support/
    support/, token_module/ -> nothing

An arrow is a direct dependence: host/ may not include device/ although
facade/ may. Every folder may include its own files and support/ (the one
layer everybody may use). Includes with angle brackets (system and outside
libraries) are not checked.

Usage: scripts/check_includes.py [REPO_ROOT]   (ctest runs it as include_check)
Exits 1 and names file, line and arrow for each include that breaks the rule.
"""
import os
import re
import sys

ARROWS = {
    "host": {"facade"},
    "facade": {"device"},
    "device": {"pkcs7", "token_module"},
    "pkcs7": set(),
    "support": set(),
    "softtoken": {"token_module"},
    "token_module": set(),
}
EVERYWHERE = "support"
SOURCE_SUFFIXES = (".h", ".hpp", ".c", ".cc", ".cpp")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def allowed_targets(folder):
    return {folder, EVERYWHERE} | ARROWS[folder]


def resolve(root, including_file, included):
    """The repository path an include names: from the root, else beside the file."""
    for base in (root, os.path.dirname(including_file)):
        candidate = os.path.normpath(os.path.join(base, included))
        if os.path.isfile(candidate):
            return os.path.relpath(candidate, root)
    return None


def source_files(root, folder):
    for directory, _, names in os.walk(os.path.join(root, folder)):
        for name in sorted(names):
            if name.endswith(SOURCE_SUFFIXES):
                yield os.path.join(directory, name)


def check(root):
    problems = []
    includes = 0
    files = 0
    for folder in sorted(ARROWS):
        for path in source_files(root, folder):
            files += 1
            shown = os.path.relpath(path, root)
            with open(path, encoding="utf-8", errors="replace") as source:
                for number, line in enumerate(source, 1):
                    match = INCLUDE.match(line)
                    if not match:
                        continue
                    includes += 1
                    included = match.group(1)
                    target = resolve(root, path, included)
                    if target is None:
                        problems.append(f'{shown}:{number}: includes "{included}", which is no file of the repository')
                        continue
                    target_folder = target.split(os.sep)[0]
                    if target_folder not in allowed_targets(folder):
                        may = ", ".join(f"{f}/" for f in sorted(allowed_targets(folder) - {folder}))
                        problems.append(f'{shown}:{number}: includes "{included}": {folder}/ -> {target_folder}/ '
                                        f"is not an allowed arrow ({folder}/ may include {may})")
    return files, includes, problems


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
    missing = [f for f in ARROWS if not os.path.isdir(os.path.join(root, f))]
    if missing:
        print(f"include check: {root} lacks the folders {', '.join(missing)}", file=sys.stderr)
        return 1
    files, includes, problems = check(root)
    for problem in problems:
        print(problem, file=sys.stderr)
    if problems:
        print(f"include check: {len(problems)} forbidden include(s)", file=sys.stderr)
        return 1
    print(f"include check: {includes} includes in {files} files follow the arrows")
    return 0


if __name__ == "__main__":
    sys.exit(main())
