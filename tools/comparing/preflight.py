"""What compare checks before the first run, so that a mistake costs no
measuring time: every command's program resolves to an executable file (as
the run itself would find it: a word with a slash names a file, any other
is looked up on PATH), and the plot's file can be written; and, under
--skip-missing, which commands to leave out."""
import os
import re
import shutil

# A word with one of these is not taken for a path, even with a slash: a
# list (a class path), an assignment, a URL, a pattern, a command for sh -c.
# Such a word is left for the run to judge, which fails loudly; a command
# is left out only when what it names is surely missing.
NOT_ONE_PATH = re.compile(r"[\s:=*?\[]")


def program_problem(command):
    """Why `command`'s program cannot run, or None."""
    program = command.words[0]
    if "/" not in program:
        if shutil.which(program) is None:
            return f"{program!r} is not an executable file on PATH"
        return None
    if not os.path.lexists(program):
        return f"{program!r}: no such file"
    if not os.path.exists(program):
        return f"{program!r} is a symbolic link to nothing"
    if os.path.isdir(program):
        return f"{program!r} is a folder"
    if not os.access(program, os.X_OK):
        return f"{program!r} is not executable (no permission)"
    return None


def missing(command, paths=frozenset()):
    """Why --skip-missing leaves `command` out, or None: its program cannot
    run, or one of its other words names a path (it has a slash and is not
    an option, or is one of `paths`, known to be paths) where there is
    nothing."""
    problem = program_problem(command)
    if problem:
        return f"cannot run: {problem}"
    for word in command.words[1:]:
        if (word in paths or "/" in word and not word.startswith("-")
                and not NOT_ONE_PATH.search(word)) and not os.path.exists(word):
            return f"{word!r}: no such file or folder"
    return None


def plot_problem(path):
    """Why the plot cannot be written to `path`, or None. (It is written
    after the runs; the check cannot rule out a disk that fills meanwhile.)"""
    folder = os.path.dirname(path) or "."
    if os.path.isdir(path):
        return "it is a folder"
    if not os.path.isdir(folder):
        return f"no folder {folder!r}"
    if not os.access(folder, os.W_OK | os.X_OK):
        return f"cannot write into the folder {folder!r}"
    if os.path.exists(path) and not os.access(path, os.W_OK):
        return "the file cannot be written (no permission)"
    return None


def problems(commands, plot):
    """Every problem found, each a line naming what it is about."""
    found = []
    for command in commands:
        problem = program_problem(command)
        if problem:
            found.append(f"{command.text}: cannot run: {problem}")
    if plot is not None:
        problem = plot_problem(plot)
        if problem:
            found.append(f"cannot write {plot}: {problem}")
    return found
