"""The shared entry point of the Python test files.

Each test file calls `main` with its options. `FILE --list-groups` prints the
file's test groups (its unittest.TestCase classes that hold tests), one per
line; tests/CMakeLists.txt registers one CTest test per listed group, so a
group added to a file is registered without anyone keeping a list. Otherwise
the named groups (all when none is named) run, verbosely.
"""
import argparse
import sys
import unittest


def groups(module):
    """Names of the TestCase classes defined in `module` that hold tests."""
    loader = unittest.TestLoader()
    return [name for name, value in vars(module).items()
            if isinstance(value, type) and issubclass(value, unittest.TestCase)
            and value.__module__ == module.__name__ and loader.getTestCaseNames(value)]


def main(options, description, add_arguments=lambda parser: None, before_run=lambda: None):
    """Lists the groups or parses the options into `options` and runs the
    groups; returns the exit status."""
    module = sys.modules["__main__"]
    if sys.argv[1:] == ["--list-groups"]:
        print("\n".join(groups(module)))
        return 0
    parser = argparse.ArgumentParser(description=description)
    add_arguments(parser)
    parser.add_argument("groups", nargs="*", help="test groups to run (default: all)")
    parser.parse_args(namespace=options)
    status = before_run()
    if status is not None:
        return status
    program = unittest.main(module=module, argv=[sys.argv[0], "-v", *options.groups], exit=False)
    return 0 if program.result.wasSuccessful() else 1
