#!/usr/bin/env python3
"""Keeps the behaviour index of docs/ARCHITECTURE.md true to the code.

The index is the section "## Where to find it": markdown tables whose rows
read  | behaviour | `path/to/file` | `Class::Function`, `Other` |  and may
go on over several files:  `a.cpp`: `A::F`; `b.h`: `B::G`  in the second
column with the third left empty. Every row must name files that exist in
the repository and, for each file, names that its code (comments taken
out) defines or declares:

  Class::Function  "Class::Function(" appears, or the file defines the class
                   and declares "Function(" in it (members written in a
                   header), or "Class::Function" names a constant;
  Function         "Function(" appears.

Usage: check_architecture_index.py REPO_ROOT      check the real document
       check_architecture_index.py --self-test    check this checker
Exit status 0 when every entry holds, 1 otherwise (each fault is listed).
"""

import os
import re
import sys
import tempfile

INDEX_HEADING = "## Where to find it"
DOCUMENT = os.path.join("docs", "ARCHITECTURE.md")

CODE_SPAN = re.compile(r"`([^`]+)`")
NAME = re.compile(r"^[A-Za-z_][A-Za-z_0-9]*(::~?[A-Za-z_][A-Za-z_0-9]*)?$")


def index_lines(text):
    """The lines of the index section with their line numbers, or None."""
    lines = text.splitlines()
    start = None
    for number, line in enumerate(lines):
        if line.strip() == INDEX_HEADING:
            start = number + 1
            break
    if start is None:
        return None
    section = []
    for number in range(start, len(lines)):
        if lines[number].startswith("## "):
            break
        section.append((number + 1, lines[number]))
    return section


def table_rows(section):
    """(line number, cells) of each data row: header and rule rows skipped."""
    rows = []
    previous_was_table = False
    for number, line in section:
        stripped = line.strip()
        if not stripped.startswith("|"):
            previous_was_table = False
            continue
        cells = [cell.strip() for cell in stripped.strip("|").split("|")]
        is_rule = all(re.fullmatch(r":?-{3,}:?", cell) for cell in cells)
        # The first row of a table is its header.
        if not previous_was_table or is_rule:
            previous_was_table = True
            continue
        rows.append((number, cells))
    return rows


def parse_targets(cells):
    """[(path, [names])] from a row's file and function cells, or an error text."""
    if len(cells) != 3:
        return "a row has three cells: behaviour | file | functions"
    behaviour, where, names = cells
    if not behaviour:
        return "the behaviour cell is empty"
    if names:
        files = CODE_SPAN.findall(where)
        if len(files) != 1 or where != "`%s`" % files[0]:
            return "the file cell holds one file in backquotes"
        groups = [(files[0], names)]
    else:
        # Several files: `a.cpp`: `A::F`, `A::G`; `b.cpp`: `B::H`
        groups = []
        for part in where.split(";"):
            head, colon, tail = part.partition(":")
            files = CODE_SPAN.findall(head)
            if not colon or len(files) != 1 or head.strip() != "`%s`" % files[0]:
                return "a file list reads `file`: `Name`, ...; `file`: ..."
            groups.append((files[0], tail))
    targets = []
    for path, text in groups:
        listed = CODE_SPAN.findall(text)
        leftover = CODE_SPAN.sub("", text).replace(",", "").strip()
        if not listed or leftover:
            return "names are in backquotes, separated by commas: %r" % text.strip()
        for name in listed:
            if not NAME.match(name):
                return "not a function name: %r" % name
        targets.append((path, listed))
    return targets


def without_comments(code):
    """The code with // and /* */ comments blanked; string literals kept."""
    out = []
    i, n = 0, len(code)
    while i < n:
        c = code[i]
        if c == '"' or c == "'":
            j = i + 1
            while j < n and code[j] != c and code[j] != "\n":
                j += 2 if code[j] == "\\" else 1
            out.append(code[i:j + 1])
            i = j + 1
        elif code.startswith("//", i):
            j = code.find("\n", i)
            i = n if j < 0 else j
        elif code.startswith("/*", i):
            j = code.find("*/", i + 2)
            i = n if j < 0 else j + 2
            out.append(" ")
        else:
            out.append(c)
            i += 1
    return "".join(out)


def names_in(code, name):
    """True when the code defines or declares the name."""
    if "::" in name:
        owner, member = name.split("::", 1)
        qualified = re.escape(owner) + r"\s*::\s*" + re.escape(member)
        if re.search(r"(?<![A-Za-z_0-9])" + qualified + r"\s*\(", code):
            return True
        if member.startswith("k") and re.search(r"(?<![A-Za-z_0-9])" + qualified + r"(?![A-Za-z_0-9])", code):
            return True
        # A member declared inside the class's own body in this file.
        body = re.search(r"\b(class|struct)\s+" + re.escape(owner) + r"\b[^;{]*\{", code)
        if body is None:
            return False
        after = code[body.end():]
        pattern = r"(?<![A-Za-z_0-9~])" + re.escape(member) + r"\s*(\(|=|\{)"
        return re.search(pattern, after) is not None
    return re.search(r"(?<![A-Za-z_0-9:.>])" + re.escape(name) + r"\s*\(", code) is not None


def check(root):
    """The faults of the index in root's document, as lines of text."""
    path = os.path.join(root, DOCUMENT)
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except OSError as error:
        return ["%s: cannot be read: %s" % (DOCUMENT, error)]
    section = index_lines(text)
    if section is None:
        return ["%s: no section %r" % (DOCUMENT, INDEX_HEADING)]
    rows = table_rows(section)
    if not rows:
        return ["%s: the section %r holds no table rows" % (DOCUMENT, INDEX_HEADING)]
    faults = []
    real_root = os.path.realpath(root)
    code_of = {}
    for number, cells in rows:
        where = "%s:%d" % (DOCUMENT, number)
        targets = parse_targets(cells)
        if isinstance(targets, str):
            faults.append("%s: %s" % (where, targets))
            continue
        for file_name, names in targets:
            full = os.path.realpath(os.path.join(root, file_name))
            if os.path.isabs(file_name) or not full.startswith(real_root + os.sep):
                faults.append("%s: %s is not a path inside the repository" % (where, file_name))
                continue
            if not os.path.isfile(full):
                faults.append("%s: %s does not exist" % (where, file_name))
                continue
            if full not in code_of:
                with open(full, encoding="utf-8", errors="replace") as f:
                    code_of[full] = without_comments(f.read())
            for name in names:
                if not names_in(code_of[full], name):
                    faults.append("%s: %s does not define %s" % (where, file_name, name))
    return faults


def self_test():
    """Runs the checker over small made-up trees; each case says whether it must pass."""
    code = (
        "// Widget::Hidden( only in a comment\n"
        "bool Widget::Draw(int x) { return x > 0; }\n"
        "int FreeHelper(int y) { return y; }\n"
        "const char* kText = \"Widget::Quoted(\";\n"
        "/* Widget::Boxed( in a block comment */\n")
    header = "class Gauge {\n public:\n  static void Add(int n) { total_ += n; }\n  static constexpr int kLimit = 5;\n};\n"
    head = "# Architecture\n\n" + INDEX_HEADING + "\n\n| Behaviour | File | Function |\n|---|---|---|\n"
    tail = "\n## Folders and what they may include\n\n| not | an | index row |\n"
    cases = [
        ("defined member and free function", True,
         "| draws | `src/w.cpp` | `Widget::Draw`, `FreeHelper` |\n"),
        ("members declared in a header", True,
         "| adds | `src/g.h` | `Gauge::Add`, `Gauge::kLimit` |\n"),
        ("several files in one row", True,
         "| both | `src/w.cpp`: `Widget::Draw`; `src/g.h`: `Gauge::Add` | |\n"),
        ("file that does not exist", False,
         "| gone | `src/missing.cpp` | `Widget::Draw` |\n"),
        ("function that does not exist", False,
         "| gone | `src/w.cpp` | `Widget::Erase` |\n"),
        ("name only in a line comment", False,
         "| hidden | `src/w.cpp` | `Widget::Hidden` |\n"),
        ("name only in a block comment", False,
         "| boxed | `src/w.cpp` | `Widget::Boxed` |\n"),
        ("member of another class", False,
         "| adds | `src/g.h` | `Meter::Add` |\n"),
        ("one bad name among good ones", False,
         "| draws | `src/w.cpp` | `Widget::Draw`, `Nowhere` |\n"),
        ("path leaving the repository", False,
         "| outside | `../w.cpp` | `Widget::Draw` |\n"),
        ("row without backquotes", False,
         "| draws | src/w.cpp | Widget::Draw |\n"),
        ("row with a missing cell", False,
         "| draws | `src/w.cpp` |\n"),
        ("index without rows", False, ""),
    ]
    failures = []
    for title, should_pass, rows in cases:
        with tempfile.TemporaryDirectory() as scratch:
            repo = os.path.join(scratch, "repo")
            os.makedirs(os.path.join(repo, "docs"))
            os.makedirs(os.path.join(repo, "src"))
            with open(os.path.join(scratch, "w.cpp"), "w") as f:
                f.write(code)
            with open(os.path.join(repo, "src", "w.cpp"), "w") as f:
                f.write(code)
            with open(os.path.join(repo, "src", "g.h"), "w") as f:
                f.write(header)
            with open(os.path.join(repo, DOCUMENT), "w") as f:
                f.write(head + rows + tail)
            faults = check(repo)
        if should_pass and faults:
            failures.append("%s: expected to pass, got %s" % (title, faults))
        if not should_pass and not faults:
            failures.append("%s: expected a fault, got none" % title)
    with tempfile.TemporaryDirectory() as scratch:
        if not check(scratch):
            failures.append("missing document: expected a fault, got none")
    return failures


def main(argv):
    if len(argv) == 2 and argv[1] == "--self-test":
        faults = self_test()
    elif len(argv) == 2:
        faults = check(argv[1])
    else:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
