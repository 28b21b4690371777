#!/usr/bin/env python3
"""Keeps the lock table of docs/design.md and the code in step.

Lists every mutex the library declares (a member or variable of a mutex
type, or a function-local static one, named after its function) and fails
when one is missing from the first column of the table under "Locks and
their order", or when the table names one the code no longer declares.
Usage: scripts/check-locks.py [project root]
"""
import pathlib
import re
import sys

MUTEX = r"std::(?:recursive_|shared_|timed_)?mutex|pthread_mutex_t"
# `std::mutex name;` or `{}`-initialised, at any scope.
DECLARED = re.compile(r"(?:^|[\s;{(])(?:" + MUTEX + r")\s+(\w+)\s*(?:;|\{\s*\}|=)")
# `static auto* name = new std::mutex();` inside a function.
ALLOCATED = re.compile(r"\bstatic\s+(?:auto|" + MUTEX + r")\s*\*\s*\w+\s*=\s*new\s+(?:" + MUTEX + r")")
SCOPE = re.compile(r"\b(?:class|struct)\s+(?:\w+\s+)*?(\w+)\s*(?:final\s*)?(?::[^{;]*)?$")
FUNCTION = re.compile(r"(\w+)\s*\([^;{}]*\)\s*(?:const\s*)?(?:noexcept\s*)?$")


def strip(text):
    text = re.sub(r"//[^\n]*", "", text)
    text = re.sub(r"/\*.*?\*/", "", text, flags=re.S)
    return re.sub(r'"(?:\\.|[^"\\\n])*"', '""', text)


def declared(path):
    """(name, place) for each mutex the file declares."""
    text = strip(path.read_text())
    found = []
    scopes = []  # (kind, name) per open brace
    start = 0  # where the statement before the next brace begins
    for match in re.finditer(r"[{};]", text):
        chunk = text[start:match.end()]
        classes = [n for k, n in scopes if k == "class"]
        functions = [n for k, n in scopes if k == "function"]
        for decl in DECLARED.finditer(" " + chunk):
            if functions:
                found.append((functions[-1], path))
            else:
                found.append(("::".join(classes[-1:] + [decl.group(1)]), path))
        if ALLOCATED.search(chunk) and functions:
            found.append((functions[-1], path))
        if match.group() == "{":
            head = chunk[:-1].strip()
            kind = SCOPE.search(head)
            func = FUNCTION.search(head)
            if kind:
                scopes.append(("class", kind.group(1)))
            elif func and func.group(1) not in ("if", "for", "while", "switch", "catch"):
                scopes.append(("function", func.group(1)))
            else:
                scopes.append(("other", ""))
        elif match.group() == "}" and scopes:
            scopes.pop()
        start = match.end()
    return found


def table(design):
    text = design.read_text()
    section = text.split("## Locks and their order", 1)[1].split("\n## ", 1)[0]
    names = set()
    for line in section.splitlines():
        if line.startswith("| `"):
            names.update(re.findall(r"`([\w:]+)`", line.split("|")[1]))
    return names


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".")
    sources = [p for d in ("src", "include", "xmlutil") for p in (root / d).rglob("*")
               if p.suffix in (".h", ".cpp")]
    code = {}
    for path in sorted(sources):
        for name, place in declared(path):
            code.setdefault(name, place.relative_to(root))
    listed = table(root / "docs" / "design.md")
    missing = sorted(set(code) - listed)
    stale = sorted(n for n in listed - set(code))
    for name in missing:
        print(f"{code[name]}: mutex `{name}` is not in the lock table of docs/design.md")
    for name in stale:
        print(f"docs/design.md: the lock table names `{name}`, which the code does not declare")
    if missing or stale:
        return 1
    print(f"lock table: {len(code)} mutexes, all listed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
