#!/usr/bin/env bash
# Fails when a function in src/ runs over 80 lines or a source file over 450,
# so that each stays readable on one screen and a file keeps to one concern.
# Usage: scripts/check-sizes.sh [source-dir]   (default: the src/ beside this script)
# src/config/Settings.cpp is left out until its parsing moves out of it.
set -euo pipefail
root=${1:-"$(dirname "$0")/../src"}
exec python3 - "$root" <<'EOF'
import os, re, sys

MAX_FUNCTION, MAX_FILE = 80, 450
EXEMPT = {os.path.join("config", "Settings.cpp")}

def blank_out(text):
    """Replaces comments, string and character literals by spaces, keeping
    the newlines, so that braces inside them do not count."""
    out, i, n = [], 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i)); i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j])); i = j
        elif c == 'R' and text.startswith('R"', i) and (i == 0 or not (text[i-1].isalnum() or text[i-1] == '_')):
            k = text.find("(", i)
            end = ")" + text[i + 2:k] + '"'
            j = text.find(end, k)
            j = n if j < 0 else j + len(end)
            out.append(re.sub(r"[^\n]", " ", text[i:j])); i = j
        elif c in "\"'":
            if c == "'" and i > 0 and text[i-1].isalnum() and i + 1 < n and text[i+1].isalnum():
                out.append(" "); i += 1  # digit separator: 1'000'000
                continue
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            j = min(j + 1, n)
            out.append(" " * (j - i)); i = j
        else:
            out.append(c); i += 1
    lines = "".join(out).split("\n")
    # Preprocessor lines hold no bodies, but a macro may hold unbalanced braces.
    cont = False
    for k, line in enumerate(lines):
        if cont or line.lstrip().startswith("#"):
            cont = line.rstrip().endswith("\\")
            lines[k] = ""
    return "\n".join(lines)

CONTAINER = re.compile(r"^\s*(template\s*<.*>\s*)?(namespace\b|extern\s*$|(class|struct|union|enum)\b)", re.S)

INIT_LIST = re.compile(r"\)[\w\s]*:(?!:)")

def functions(text):
    """Yields (name, first line, last line) of each function body, counting
    from the line that names the function to its closing brace."""
    text = blank_out(text)
    start = 0   # where the current declaration began
    inside = 0  # open braces of the function being measured
    i = -1
    while i + 1 < len(text):
        i += 1
        c = text[i]
        if c == "{":
            if inside:
                inside += 1
                continue
            header = text[start:i]
            if INIT_LIST.search(header) and re.search(r"[\w>]\s*$", header):
                depth = 1  # a member's braced initializer, not the body
                while depth and i + 1 < len(text):
                    i += 1
                    depth += {"{": 1, "}": -1}.get(text[i], 0)
                continue
            if CONTAINER.match(header) or "(" not in header or re.search(r"=\s*$", header):
                start = i + 1
                continue
            head = header.split("(")[0].split()
            inside = 1
            current = (head[-1] if head else "?", start + len(header) - len(header.lstrip()))
        elif c == "}":
            if inside:
                inside -= 1
                if inside == 0:
                    name, first = current
                    yield name, text.count("\n", 0, first) + 1, text.count("\n", 0, i) + 1
                    start = i + 1
                continue
            start = i + 1
        elif c == ";" and not inside:
            start = i + 1
        elif c == ":" and not inside and re.search(r"\b(public|private|protected)\s*$", text[start:i]):
            start = i + 1

failures = 0
root = sys.argv[1]
for folder, _, files in sorted(os.walk(root)):
    for f in sorted(files):
        if not f.endswith((".cpp", ".h")):
            continue
        path = os.path.join(folder, f)
        rel = os.path.relpath(path, root)
        if rel in EXEMPT:
            continue
        text = open(path, encoding="utf-8").read()
        count = text.count("\n")
        if count > MAX_FILE:
            print(f"{rel}: {count} lines, more than {MAX_FILE}")
            failures += 1
        for name, first, last in functions(text):
            if last - first + 1 > MAX_FUNCTION:
                print(f"{rel}:{first}: function {name} has {last - first + 1} lines, more than {MAX_FUNCTION}")
                failures += 1
sys.exit(1 if failures else 0)
EOF
