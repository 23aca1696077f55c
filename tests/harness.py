"""The shared entry point of the Python test files, and the one place that
knows how to start a built executable.

Each test file calls `main` with its options. `FILE --list-groups` prints the
file's test groups (its unittest.TestCase classes that hold tests), one per
line; tests/CMakeLists.txt registers one CTest test per listed group, so a
group added to a file is registered without anyone keeping a list. A group
that must run with no other test beside it is listed as `NAME alone`: it
declares it with a class attribute RUN_ALONE saying why (what it times that
a parallel neighbour could change), and CTest runs it with RUN_SERIAL. Otherwise the named groups (all when none is named) run,
verbosely; the exit status is 77 (skipped) when every test skipped.

Every file takes `--emulator=WORD`, once per word of the command that runs
the build's executables (CMAKE_CROSSCOMPILING_EMULATOR: qemu-user for a
cross build); `program` puts it in front of a built executable's command.
"""
import argparse
import os
import sys
import unittest

SKIP = 77  # CTest's SKIP_RETURN_CODE

# The command that runs a built executable, from --emulator; empty: run it
# directly.
EMULATOR = []


def groups(module):
    """Names of the TestCase classes defined in `module` that hold tests."""
    loader = unittest.TestLoader()
    return [name for name, value in vars(module).items()
            if isinstance(value, type) and issubclass(value, unittest.TestCase)
            and value.__module__ == module.__name__ and loader.getTestCaseNames(value)]


def lone_groups(module):
    """The groups whose class says, in RUN_ALONE, why it must run alone."""
    return [name for name in groups(module) if getattr(vars(module)[name], "RUN_ALONE", None)]


def program(argv, env=None):
    """(command, environment) that start the built executable argv[0] with
    the arguments argv[1:] and the variables `env` set for it, through the
    build's emulator when it has one. Under qemu-user the program's own
    variables go to the guest with -E, not into qemu's environment: a
    preloaded library (LD_PRELOAD) is the guest's, which the host's loader
    must not load into qemu."""
    environment = dict(os.environ)
    if not EMULATOR:
        environment.update(env or {})
        return list(argv), environment
    if env and not os.path.basename(EMULATOR[0]).startswith("qemu-"):
        raise ValueError(f"{EMULATOR[0]}: the tests hand a program its variables with "
                         "qemu-user's -E, and this emulator is not qemu-user")
    settings = []
    for name, value in (env or {}).items():
        if "," in name + value:  # qemu splits -E's argument at commas
            raise ValueError(f"{name}={value}: qemu-user cannot pass a value with a comma")
        settings += ["-E", f"{name}={value}"]
    return [*EMULATOR, *settings, *argv], environment


def main(options, description, add_arguments=lambda parser: None, before_run=lambda: None):
    """Lists the groups or parses the options into `options` and runs the
    groups; returns the exit status."""
    module = sys.modules["__main__"]
    if sys.argv[1:] == ["--list-groups"]:
        alone = lone_groups(module)
        print("\n".join(name + (" alone" if name in alone else "") for name in groups(module)))
        return 0
    parser = argparse.ArgumentParser(description=description)
    add_arguments(parser)
    parser.add_argument("--emulator", action="append", default=[], metavar="WORD",
                        help="a word of the command that runs the build's executables, "
                             "in order (--emulator=qemu-aarch64 --emulator=-L ...)")
    parser.add_argument("groups", nargs="*", help="test groups to run (default: all)")
    parser.parse_args(namespace=options)
    EMULATOR[:] = options.emulator
    status = before_run()
    if status is not None:
        return status
    run = unittest.main(module=module, argv=[sys.argv[0], "-v", *options.groups], exit=False)
    if not run.result.wasSuccessful():
        return 1
    return SKIP if all_skipped(run.result) else 0


def all_skipped(result):
    """Whether every test of the run was skipped (then CTest says so, not
    "Passed"): a subtest skipped is not its test skipped; a class whose set-up
    skips counts once, run or not."""
    whole = sum(1 for test, _ in result.skipped if not hasattr(test, "test_case"))
    return whole > 0 and whole >= result.testsRun
