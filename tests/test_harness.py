#!/usr/bin/env python3
"""Tests of tests/harness.py: how a built executable is started (directly,
or through a cross build's emulator with the program's variables handed to
the guest), and when a run of a group counts as skipped.

    test_harness.py [GROUP ...]
"""
import argparse
import contextlib
import os
import sys
import unittest
from unittest import mock

import harness

OPTIONS = argparse.Namespace()
QEMU = ["/usr/bin/qemu-aarch64", "-L", "/usr/aarch64-linux-gnu"]
PRELOAD = {"LD_PRELOAD": "/b/libfake.so", "FAKE_CLOCK_STEP_NS": "5"}


class Program(unittest.TestCase):
    def test_commands_and_environments(self):
        cases = [  # (emulator, the program's variables, command or error, what the emulator gets)
            ([], PRELOAD, ["./bench", "-x"], PRELOAD),
            (QEMU, {}, [*QEMU, "./bench", "-x"], {}),
            (QEMU, PRELOAD, [*QEMU, "-E", "LD_PRELOAD=/b/libfake.so", "-E",
                             "FAKE_CLOCK_STEP_NS=5", "./bench", "-x"], {}),
            (QEMU, {"LD_PRELOAD": "/a,b.so"}, "a value with a comma", None),
            (["box64"], {}, ["box64", "./bench", "-x"], {}),
            (["box64"], PRELOAD, "this emulator is not qemu-user", None),
        ]
        for emulator, env, command, given in cases:
            with self.subTest(emulator=emulator, env=env), \
                    mock.patch.object(harness, "EMULATOR", emulator), mock.patch.dict(os.environ):
                for name in PRELOAD:
                    os.environ.pop(name, None)
                if isinstance(command, str):
                    self.assertRaisesRegex(ValueError, command, harness.program, ["./bench"], env)
                    continue
                got, environment = harness.program(["./bench", "-x"], env)
                self.assertEqual(got, command)
                self.assertEqual({k: environment[k] for k in PRELOAD if k in environment}, given)


class Skipped(unittest.TestCase):
    def test_a_run_is_skipped_only_when_every_test_is(self):
        def skip(self):
            with self.subTest(1) if self.id().endswith("sub") else contextlib.nullcontext():
                self.skipTest("why")

        def skip_class(cls):
            raise unittest.SkipTest("why")
        cases = [  # (the tests, whether the class's set-up skips, whether the run is skipped)
            ({"test_a": skip, "test_b": skip}, False, True),
            ({"test_a": lambda self: None}, True, True),
            ({"test_a": skip, "test_b": lambda self: None}, False, False),
            ({"test_a_sub": skip, "test_b_sub": skip}, False, False),  # only subtests skipped
        ]
        for tests, set_up, expected in cases:
            with self.subTest(tests=sorted(tests), set_up=set_up):
                group = type("Group", (unittest.TestCase,), dict(
                    tests, **({"setUpClass": classmethod(skip_class)} if set_up else {})))
                result = unittest.TestResult()
                unittest.defaultTestLoader.loadTestsFromTestCase(group).run(result)
                self.assertTrue(result.wasSuccessful())
                self.assertEqual(harness.all_skipped(result), expected)


if __name__ == "__main__":
    sys.exit(harness.main(OPTIONS, __doc__.split("\n\n")[0]))
