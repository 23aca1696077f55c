#!/usr/bin/env python3
"""Consistency of the repository's files with one another, where nothing else
would notice a drift: one CMake minimum in README.md, CMakeLists.txt and
CMakePresets.json (whose schema that minimum must be able to read); the test
command CI takes from the README; every relative link in README.md and docs/
resolving, every file under docs/ reachable from the README, and every table
row as wide as its header; every test file registered under a CTest prefix
named after it and executable, and the test names the documents mention
existing.

    test_repo.py [--cmake CMAKE] [GROUP ...]

Each group checks the real files and, on small made-up inputs, that its check
rejects the fault it is there for.
"""
import argparse
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import urllib.parse

import harness

OPTIONS = argparse.Namespace(cmake="cmake")
ROOT = pathlib.Path(__file__).resolve().parent.parent


def read(relative):
    return (ROOT / relative).read_text(encoding="utf-8")


# --- CMake minimum -----------------------------------------------------------

# The first CMake release that reads each CMakePresets.json schema version
# (cmake-presets(7)); a file declaring a newer schema than its minimum reads
# would be refused by a CMake the README says is enough.
PRESETS_SCHEMA_SINCE = {1: (3, 19), 2: (3, 20), 3: (3, 21), 4: (3, 23), 5: (3, 24), 6: (3, 25),
                        7: (3, 27), 8: (3, 28), 9: (3, 30), 10: (3, 31)}


class NotStated(ValueError):
    """A file that should state the CMake minimum does not (or not once)."""


def _only(matches, what):
    versions = {tuple(int(part) for part in match) for match in matches}
    if len(versions) != 1:
        raise NotStated(f"{what}: expected one CMake minimum, found {sorted(versions) or 'none'}")
    return versions.pop()


def readme_minimum(text):
    """The (major, minor) of "CMake X.Y or newer" in the README."""
    return _only(re.findall(r"CMake (\d+)\.(\d+) or newer", text), "README.md")


def cmakelists_minimum(text):
    """The (major, minor) of cmake_minimum_required(VERSION X.Y[...])."""
    code = "\n".join(line.split("#", 1)[0] for line in text.splitlines())
    found = re.findall(r"cmake_minimum_required\s*\(\s*VERSION\s+(\d+)\.(\d+)", code, re.I)
    return _only(found, "CMakeLists.txt")


def presets_minimum(text):
    """(cmakeMinimumRequired as (major, minor), schema version) of a
    CMakePresets.json."""
    presets = json.loads(text)
    required = presets.get("cmakeMinimumRequired")
    if not isinstance(required, dict) or "major" not in required:
        raise NotStated("CMakePresets.json: no cmakeMinimumRequired")
    return (required["major"], required.get("minor", 0)), presets.get("version")


def minimum_problems(readme, cmakelists, presets):
    """Each way the three files disagree about the CMake minimum, as text;
    empty when they agree."""
    stated = {"README.md": readme_minimum(readme),
              "CMakeLists.txt": cmakelists_minimum(cmakelists)}
    stated["CMakePresets.json"], schema = presets_minimum(presets)
    problems = []
    if len(set(stated.values())) != 1:
        problems.append("the CMake minimum differs: " + ", ".join(
            f"{name} {major}.{minor}" for name, (major, minor) in stated.items()))
    since = PRESETS_SCHEMA_SINCE.get(schema)
    if since is None:
        problems.append(f"CMakePresets.json: unknown schema version {schema!r}")
    elif since > min(stated.values()):
        problems.append(f"CMakePresets.json: schema version {schema} needs CMake "
                        f"{since[0]}.{since[1]}, more than the stated minimum")
    return problems


def cmake_files(root):
    """The CMake files of the source tree, build folders left out."""
    return sorted(path for pattern in ("CMakeLists.txt", "*.cmake") for path in root.rglob(pattern)
                  if not any(part.startswith(("build", ".")) for part in path.relative_to(root).parts))


README_SAYS = "Requirements: Linux on x86-64, CMake {} or newer, Ninja.\n"
LISTS_SAY = "# Build.\ncmake_minimum_required(VERSION {})\nproject(p)\n"
PRESETS_SAY = '{{"version": {}, "cmakeMinimumRequired": {{"major": 3, "minor": {}, "patch": 0}}}}'


class CMakeMinimum(unittest.TestCase):
    def test_the_three_files_agree(self):
        self.assertEqual(minimum_problems(read("README.md"), read("CMakeLists.txt"),
                                          read("CMakePresets.json")), [])

    def test_no_other_cmake_file_states_another_minimum(self):
        # A subproject's own cmake_minimum_required (jit/, tests/) must not
        # ask for more than the top level does.
        top = cmakelists_minimum(read("CMakeLists.txt"))
        for path in cmake_files(ROOT):
            text = path.read_text(encoding="utf-8")
            if re.search(r"cmake_minimum_required", text, re.I):
                with self.subTest(str(path.relative_to(ROOT))):
                    self.assertEqual(cmakelists_minimum(text), top)

    def test_cmake_reads_the_presets_as_declared(self):
        # CMake refuses a field newer than the file's declared schema
        # ("File version must be 3 or higher for condition support"), so a
        # lowered schema version that still uses a newer field fails here.
        cmake = shutil.which(OPTIONS.cmake)
        if cmake is None:
            self.skipTest(f"{OPTIONS.cmake} not found")
        with tempfile.TemporaryDirectory() as folder:
            shutil.copy(ROOT / "CMakePresets.json", folder)
            result = subprocess.run([cmake, "--list-presets=all"], cwd=folder, text=True,
                                    capture_output=True, timeout=60, check=False)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("Available configure presets", result.stdout)

    def test_disagreements_are_found(self):
        # (README, CMakeLists.txt, presets minor, presets schema, expected words)
        cases = [
            ("3.20", "3.20", 21, 3, "the CMake minimum differs"),  # as this repository was
            ("3.21", "3.20", 21, 3, "CMakeLists.txt 3.20"),
            ("3.20", "3.20", 20, 3, "schema version 3 needs CMake 3.21"),
            ("3.22", "3.22", 22, 4, "schema version 4 needs CMake 3.23"),
            ("3.20", "3.20", 20, 42, "unknown schema version 42"),
        ]
        for readme, lists, minor, schema, expected in cases:
            with self.subTest(readme=readme, lists=lists, minor=minor, schema=schema):
                problems = minimum_problems(README_SAYS.format(readme), LISTS_SAY.format(lists),
                                            PRESETS_SAY.format(schema, minor))
                self.assertIn(expected, " ".join(problems))

    def test_agreement_passes(self):
        for version, minor, schema in (("3.20", 20, 2), ("3.21", 21, 3), ("3.25", 25, 2)):
            with self.subTest(version=version, schema=schema):
                self.assertEqual(minimum_problems(README_SAYS.format(version),
                                                  LISTS_SAY.format(version),
                                                  PRESETS_SAY.format(schema, minor)), [])

    def test_a_minimum_not_stated_once_is_an_error(self):
        cases = {
            "README without it": (lambda: readme_minimum("Requirements: CMake.\n")),
            "README with two": (lambda: readme_minimum("CMake 3.20 or newer; CMake 3.21 or newer")),
            "only in a comment": (lambda: cmakelists_minimum(
                "# cmake_minimum_required(VERSION 3.20)\nproject(p)\n")),
            "presets without it": (lambda: presets_minimum('{"version": 2}')),
        }
        for name, call in cases.items():
            with self.subTest(name):
                self.assertRaises(NotStated, call)


# --- The README's commands ---------------------------------------------------

def ci_extraction():
    """The sed expression .ci/run uses to take the test command from the
    README."""
    match = re.search(r"sed -n '([^']+)' README\.md", read(".ci/run"))
    if not match:
        raise AssertionError(".ci/run no longer takes its test command from README.md by sed")
    return match[1]


def extracted_commands(readme_text, expression):
    """The lines .ci/run would run, by running its own sed expression."""
    result = subprocess.run(["sed", "-n", expression], input=readme_text, text=True,
                            capture_output=True, timeout=30, check=True)
    return result.stdout.splitlines()


class ReadmeCommands(unittest.TestCase):
    def test_ci_finds_exactly_one_test_command(self):
        lines = extracted_commands(read("README.md"), ci_extraction())
        self.assertEqual(len(lines), 1, lines)
        self.assertRegex(lines[0], r"^cmake -S \. -B (\S+) .*&& ctest --test-dir \1 ")

    def test_a_second_indented_command_is_caught(self):
        # A preset example written as an indented block would be picked up and
        # run as part of CI's "README command" as well.
        readme = ("Tests:\n\n    cmake -S . -B build -G Ninja && cmake --build build && "
                  "ctest --test-dir build --output-on-failure\n\nPresets:\n\n"
                  "    cmake --preset gcc && cmake --build --preset gcc && ctest --preset gcc\n")
        self.assertEqual(len(extracted_commands(readme, ci_extraction())), 2)


# --- Links in the documents --------------------------------------------------

SCHEME = re.compile(r"^[a-zA-Z][a-zA-Z0-9+.-]*:|^//")
INLINE_LINK = re.compile(r"!?\[(?:[^\[\]]|\[[^\]]*\])*\]\(\s*<?([^()\s<>]*)>?(?:\s+\"[^\"]*\")?\s*\)")
REFERENCE_USE = re.compile(r"\[((?:[^\[\]]|\[[^\]]*\])+)\]\[([^\]]*)\]")
REFERENCE_DEFINITION = re.compile(r"^ {0,3}\[([^\]]+)\]:\s*<?(\S+?)>?(?:\s.*)?$")
HTML_LINK = re.compile(r"<(?:a|img)\b[^>]*?\b(?:href|src)=\"([^\"]*)\"", re.I)
CODE_SPAN = re.compile(r"(`+)(?:(?!\1).)+?\1", re.S)
FENCE = re.compile(r"^ {0,3}(```+|~~~+)")


def prose_lines(text):
    """(line number, line) of the lines outside code blocks."""
    fence = None
    previous_blank_or_code = True
    for number, line in enumerate(text.splitlines(), start=1):
        opening = FENCE.match(line)
        if fence:
            if opening and opening[1][0] == fence[0] and len(opening[1]) >= len(fence):
                fence = None
            continue
        if opening:
            fence = opening[1]
            continue
        indented = line.startswith("    ") or line.startswith("\t")
        if indented and previous_blank_or_code:
            continue  # an indented code block
        previous_blank_or_code = not line.strip()
        yield number, line


def slug(heading):
    """The anchor a heading gets when the page is rendered: lower case,
    punctuation other than '-' and '_' dropped, spaces as '-'."""
    text = re.sub(r"!?\[([^\]]*)\]\([^)]*\)", r"\1", heading)  # a link: its text
    text = text.replace("`", "").strip().lower()
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


def anchors(text):
    """Every heading's anchor in a Markdown text (repeats numbered -1, -2)."""
    seen = {}
    found = set()
    for _, line in prose_lines(text):
        match = re.match(r"^ {0,3}#{1,6}\s+(.*?)\s*#*\s*$", line)
        if not match:
            continue
        base = slug(match[1])
        count = seen.get(base, 0)
        seen[base] = count + 1
        found.add(base if count == 0 else f"{base}-{count}")
    return found


def paragraphs(text):
    """(first line number, text) of each run of consecutive prose lines: a
    link's text, like a code span, may wrap onto the next line."""
    block, start, last = [], 0, None
    for number, line in prose_lines(text):
        if block and (number != last + 1 or not line.strip()):
            yield start, "\n".join(block)
            block = []
        if line.strip():
            start = number if not block else start
            block.append(line)
        last = number
    if block:
        yield start, "\n".join(block)


def links(text):
    """(line number, target) of every link and image in the prose; a
    reference without a definition is given as the target '[ref]'."""
    definitions, found, prose = {}, [], []
    for start, paragraph in paragraphs(text):
        # Code spans blanked (line breaks kept): a link shown as an example is
        # not a link.
        paragraph = CODE_SPAN.sub(lambda m: re.sub(r"[^\n]", " ", m[0]), paragraph)
        lines = paragraph.split("\n")
        for offset, line in enumerate(lines):
            definition = REFERENCE_DEFINITION.match(line)
            if definition:
                definitions[definition[1].strip().lower()] = definition[2]
                found.append((start + offset, definition[2]))
                lines[offset] = ""
        prose.append((start, "\n".join(lines)))
    for start, paragraph in prose:
        def line_of(match):
            return start + paragraph.count("\n", 0, match.start())
        for pattern in (INLINE_LINK, HTML_LINK):
            found += [(line_of(match), match[1]) for match in pattern.finditer(paragraph)]
        for use in REFERENCE_USE.finditer(paragraph):
            label = " ".join((use[2] or use[1]).split()).lower()  # [text][] uses the text
            if label not in definitions:
                found.append((line_of(use), f"[{label}]"))
    return sorted(found)


def link_problems(root, document):
    """Each relative link in `document` (a path under `root`) that does not
    resolve, as 'file:line: target: why'; and the set of files it reaches."""
    root = pathlib.Path(root).resolve()
    problems, reached = [], set()
    text = document.read_text(encoding="utf-8")
    for number, target in links(text):
        where = f"{document.relative_to(root)}:{number}: {target}"
        if target.startswith("["):
            problems.append(f"{where}: no definition for this reference")
            continue
        if SCHEME.match(target):
            continue  # a web address, not a file of this repository
        path, _, fragment = target.partition("#")
        path = urllib.parse.unquote(path)
        if not path and not fragment:
            problems.append(f"{where}: empty link")
            continue
        if path.startswith("/"):
            resolved = (root / path.lstrip("/")).resolve()
        elif path:
            resolved = (document.parent / path).resolve()
        else:
            resolved = document.resolve()
        if root not in resolved.parents and resolved != root:
            problems.append(f"{where}: outside the repository")
            continue
        if not resolved.exists():
            problems.append(f"{where}: no such file")
            continue
        reached.add(resolved)
        if fragment and resolved.suffix == ".md":
            if urllib.parse.unquote(fragment).lower() not in anchors(
                    resolved.read_text(encoding="utf-8")):
                problems.append(f"{where}: no heading with this anchor")
    return problems, reached


def documents(root):
    root = pathlib.Path(root)
    return [root / "README.md", *sorted((root / "docs").rglob("*.md"))]


def unreachable(root):
    """Files under docs/ that no chain of links from README.md reaches."""
    root = pathlib.Path(root).resolve()
    reached, read_already, queue = {root / "README.md"}, set(), [root / "README.md"]
    while queue:
        document = queue.pop()
        if document in read_already:
            continue
        read_already.add(document)
        targets = link_problems(root, document)[1]
        queue += [path for path in targets if path.suffix == ".md" and path.is_file()]
        reached |= targets
    return sorted(str(path.relative_to(root)) for path in (root / "docs").rglob("*")
                  if path.is_file() and path.resolve() not in reached)


class Links(unittest.TestCase):
    def test_every_relative_link_resolves(self):
        problems, reached = [], set()
        for document in documents(ROOT):
            found, targets = link_problems(ROOT, document)
            problems += found
            reached |= targets
        self.assertEqual(problems, [])
        self.assertTrue(reached, "no relative link found at all: the link reader is broken")

    def test_every_file_under_docs_is_reachable_from_the_readme(self):
        self.assertEqual(unreachable(ROOT), [])

    def test_faulty_links_are_found(self):
        # (page text, the words expected in its problems, or None for none)
        cases = [
            ("[ok](other.md) and ![plot](img/plot.svg)", None),
            ("[gone](missing.md)", "missing.md: no such file"),
            ("![gone](img/missing.svg)", "no such file"),
            ('[titled](missing.md "a title")', "missing.md: no such file"),
            ("[up](../../outside.md)", "outside the repository"),
            ("[anchor](other.md#the-section)", None),
            ("[anchor](other.md#no-such-section)", "no heading with this anchor"),
            ("[here](#this-page)", None),
            ("[here](#elsewhere)", "no heading with this anchor"),
            ("[ref][defined]\n\n[defined]: other.md", None),
            ("[ref][undefined]", "no definition for this reference"),
            ("[def]: missing.md", "no such file"),
            ('<img src="img/missing.png">', "no such file"),
            ("[web](https://example.org/missing.md)", None),
            ("`[code](missing.md)` in a code span", None),
            ("Text.\n\n    [indented](missing.md)\n", None),
            ("```\n[fenced](missing.md)\n```\n[after](missing.md)", "no such file"),
            ("[root](/README.md) [root gone](/nothing.md)", "/nothing.md: no such file"),
            ("a [link whose text\nwraps](missing.md) onto the next line", "missing.md: no such file"),
            ("a `code span\nthat wraps [x](missing.md)` is still code", None),
            ("[wrapped\nreference][Undefined\nLabel]", "[undefined label]: no definition"),
        ]
        with tempfile.TemporaryDirectory() as folder:
            root = pathlib.Path(folder)
            (root / "README.md").write_text("# Top\n")
            (root / "docs" / "img").mkdir(parents=True)
            (root / "docs" / "img" / "plot.svg").write_text("<svg/>")
            (root / "docs" / "other.md").write_text("# Other\n\n## The section\n")
            page = root / "docs" / "page.md"
            for text, expected in cases:
                with self.subTest(text):
                    page.write_text("# This page\n\n" + text + "\n")
                    problems = link_problems(root, page)[0]
                    if expected is None:
                        self.assertEqual(problems, [])
                    else:
                        self.assertIn(expected, " ".join(problems))
                        self.assertEqual(len(problems), 1, problems)

    def test_an_unlinked_page_is_found(self):
        with tempfile.TemporaryDirectory() as folder:
            root = pathlib.Path(folder)
            (root / "docs" / "deeper").mkdir(parents=True)
            (root / "README.md").write_text("[a](docs/a.md)\n")
            (root / "docs" / "a.md").write_text("[b](deeper/b.md)\n")
            (root / "docs" / "deeper" / "b.md").write_text("![p](p.svg)\n")
            (root / "docs" / "deeper" / "p.svg").write_text("<svg/>")
            self.assertEqual(unreachable(root), [])
            (root / "docs" / "orphan.md").write_text("# Nobody links here\n")
            (root / "docs" / "a.md").write_text("no link any more\n")
            self.assertEqual(unreachable(root),
                             ["docs/deeper/b.md", "docs/deeper/p.svg", "docs/orphan.md"])

    def test_anchors_follow_the_rendered_headings(self):
        cases = {
            "# Can the numbers be trusted?": "can-the-numbers-be-trusted",
            "## `--format json`": "--format-json",
            "## Rolled and unrolled floors": "rolled-and-unrolled-floors",
            "### check_loops.py, step by step": "check_loopspy-step-by-step",
            "## [Linked](x.md) heading": "linked-heading",
        }
        for heading, anchor in cases.items():
            with self.subTest(heading):
                self.assertEqual(anchors(heading + "\n"), {anchor})
        self.assertEqual(anchors("# A\n## A\n## A\n"), {"a", "a-1", "a-2"})
        self.assertEqual(anchors("```\n# not a heading\n```\n"), set())


# --- Tables in the documents -------------------------------------------------

DELIMITER_ROW = re.compile(r"^\|?\s*:?-+:?\s*(\|\s*:?-+:?\s*)*\|?\s*$")


def cells(row):
    """The cells of a table row. A '|' splits cells even inside a code span
    (as the page is rendered); only an escaped '\\|' does not."""
    row = row.strip()
    row = row[1:] if row.startswith("|") else row
    row = row[:-1] if row.endswith("|") and not row.endswith("\\|") else row
    return re.split(r"(?<!\\)\|", row)


def table_problems(text):
    """Each table row whose number of cells differs from its header's, as
    'line N: ...'. A table is a row of cells followed by a delimiter row."""
    problems = []
    lines = list(prose_lines(text))
    for index, (number, line) in enumerate(lines[:-1]):
        following_number, following = lines[index + 1]
        if "|" not in line or following_number != number + 1 or not DELIMITER_ROW.match(following):
            continue
        width = len(cells(line))
        if len(cells(following)) != width:
            problems.append(f"line {following_number}: the delimiter row has "
                            f"{len(cells(following))} cells, the header {width}")
        expected_number = following_number + 1
        for row_number, row in lines[index + 2:]:
            if row_number != expected_number or "|" not in row or not row.strip():
                break
            if len(cells(row)) != width:
                problems.append(f"line {row_number}: {len(cells(row))} cells, the header has {width}")
            expected_number += 1
    return problems


class Tables(unittest.TestCase):
    def test_every_row_has_as_many_cells_as_its_header(self):
        for document in documents(ROOT):
            with self.subTest(str(document.relative_to(ROOT))):
                self.assertEqual(table_problems(document.read_text(encoding="utf-8")), [])

    def test_misshapen_tables_are_found(self):
        cases = [
            ("| a | b |\n|---|---|\n| 1 | 2 |\n", []),
            ("a | b\n--- | ---:\n1 | 2\n", []),
            ("| a | b |\n|---|---|\n| 1 | 2 | 3 |\n", ["line 3: 3 cells, the header has 2"]),
            ("| a | b |\n|---|\n| 1 | 2 |\n", ["line 2: the delimiter row has 1 cells, the header 2"]),
            ("| a | b |\n|---|---|\n| `x|y` | 2 |\n", ["line 3: 3 cells, the header has 2"]),
            ("| a | b |\n|---|---|\n| `x\\|y` | 2 |\n", []),
            ("| a | b |\n|---|---|\n| 1 | 2 |\n\nafter | the | table\n", []),
            ("    | a | b |\n    |---|---|\n    | 1 |\n", []),  # a code block
        ]
        for text, expected in cases:
            with self.subTest(text):
                self.assertEqual(table_problems(text), expected)


# --- Test files and their CTest names ----------------------------------------

REGISTRATION = re.compile(r"add_python_test_groups\(\s*([^\s)]+)\s+([^\s)]+)")
ADD_TEST = re.compile(r"add_test\(\s*NAME\s+(\S+)")


def registrations(cmake_text):
    """{test file name: CTest prefix} from add_python_test_groups calls."""
    code = "\n".join(line.split("#", 1)[0] for line in cmake_text.splitlines())
    return {os.path.basename(file): prefix for prefix, file in REGISTRATION.findall(code)}


def registration_problems(test_files, cmake_text):
    """Each test file not registered, or registered under a prefix that is not
    named after it (test_<prefix>.py, or test_<prefix>_<part>.py)."""
    registered = registrations(cmake_text)
    problems = []
    for name in sorted(test_files):
        prefix = registered.get(name)
        if prefix is None:
            problems.append(f"{name}: not registered by add_python_test_groups (by its path)")
        elif not re.fullmatch(rf"test_{re.escape(prefix)}(_\w+)?\.py", name):
            problems.append(f"{name}: registered as {prefix}., not named after its file")
    return problems


def test_files():
    return sorted((ROOT / "tests").glob("test_*.py"))


# A dotted name such as check_loops.FlagMatrix, not inside a path or a call.
MENTION = re.compile(r"(?<![\w./$-])([a-z][a-z0-9_]*)\.([A-Za-z_]\w*)(?![\w(/-])")


def unknown_test_mentions(text, names):
    """Each dotted name in `text` that reads as a CTest test name but is not
    one of `names`: a registered prefix with a capitalised group (or with a
    registered test's own name, like check_loops.check), or a known group or
    test name under another prefix, as a renamed prefix leaves behind."""
    prefixes = {name.split(".", 1)[0] for name in names}
    parts = {name.split(".", 1)[1] for name in names}
    unknown = []
    for prefix, part in MENTION.findall(text):
        looks_like_group = part[0].isupper() or part in parts
        if (prefix in prefixes and looks_like_group) or part in parts:
            if f"{prefix}.{part}" not in names:
                unknown.append(f"{prefix}.{part}")
    return unknown


def listed_groups(path):
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(
        filter(None, [str(ROOT / "tools"), os.environ.get("PYTHONPATH")])))
    result = subprocess.run([sys.executable, str(path), "--list-groups"], env=environment,
                            capture_output=True, text=True, timeout=60, check=False)
    if result.returncode != 0:
        raise AssertionError(f"{path.name} --list-groups failed: {result.stderr}")
    return [line.split()[0] for line in result.stdout.splitlines() if line.strip()]


class TestFiles(unittest.TestCase):
    def test_every_test_file_is_registered_under_its_own_name(self):
        files = [path.name for path in test_files()]
        self.assertIn("test_repo.py", files)
        self.assertEqual(registration_problems(files, read("tests/CMakeLists.txt")), [])

    def test_every_test_file_is_an_executable_with_a_shebang(self):
        for path in test_files():
            with self.subTest(path.name):
                self.assertTrue(os.access(path, os.X_OK), f"{path.name} is not executable")
                self.assertEqual(path.read_text(encoding="utf-8").splitlines()[0],
                                 "#!/usr/bin/env python3")

    def test_test_names_in_the_documents_exist(self):
        cmake_text = read("tests/CMakeLists.txt")
        registered = registrations(cmake_text)
        names = set(ADD_TEST.findall(cmake_text))
        for path in test_files():
            if path.name in registered:
                names |= {f"{registered[path.name]}.{group}" for group in listed_groups(path)}
        self.assertIn("check_loops.check", names)
        for document in documents(ROOT):
            with self.subTest(str(document.relative_to(ROOT))):
                self.assertEqual(
                    unknown_test_mentions(document.read_text(encoding="utf-8"), names), [])

    def test_stale_test_names_are_found(self):
        names = {"bench.Clock", "check_loops.check", "check_loops.FlagMatrix", "compare.Statistics"}
        cases = {
            "`check_loops.FlagMatrix` and bench.Clock": [],
            "ctest -R check_loops.FlagMatrix": [],
            "the old `loops.check` and `loops.FlagMatrix`": ["loops.check", "loops.FlagMatrix"],
            "`report.Clock` before the rename": ["report.Clock"],
            "a group that went away: `check_loops.Periods`": ["check_loops.Periods"],
            "tools/compare.py, check_loops.py, `report.parse`, e.g. x.y, 3.20": [],
            "`compare.main(argv)` and `tools/check_loops.FlagMatrix`": [],
        }
        for text, expected in cases.items():
            with self.subTest(text):
                self.assertEqual(unknown_test_mentions(text, names), expected)

    def test_faulty_registrations_are_found(self):
        cmake = ("function(add_python_test_groups prefix file)\nendfunction()\n"
                 "add_python_test_groups(bench ${DIR}/test_bench.py --bench x)\n"
                 "add_python_test_groups(tools ${DIR}/test_compare.py)\n"
                 "# add_python_test_groups(floor ${DIR}/test_floor.py)\n"
                 "add_python_test_groups(compare ${DIR}/test_compare_plot.py)\n"
                 "add_python_test_groups(jit ${jit_test})\n")
        problems = registration_problems(["test_bench.py", "test_compare.py", "test_floor.py",
                                          "test_compare_plot.py", "test_jit.py"], cmake)
        self.assertEqual(problems, [
            "test_compare.py: registered as tools., not named after its file",
            "test_floor.py: not registered by add_python_test_groups (by its path)",
            "test_jit.py: not registered by add_python_test_groups (by its path)",
        ])


def add_arguments(parser):
    parser.add_argument("--cmake", default="cmake", help="the cmake to read the presets with")


if __name__ == "__main__":
    sys.exit(harness.main(OPTIONS, __doc__.split("\n\n")[0], add_arguments))
