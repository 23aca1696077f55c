#!/usr/bin/env python3
"""Tests of tests/harness.py: how a built executable is started (directly,
or through a cross build's emulator with the program's variables handed to
the guest), and when a run of a group counts as skipped.

    test_harness.py [GROUP ...]
"""
import argparse
import os
import sys
import unittest
from unittest import mock

import harness

OPTIONS = argparse.Namespace()
QEMU = ["/usr/bin/qemu-aarch64", "-L", "/usr/aarch64-linux-gnu"]


class Program(unittest.TestCase):
    def test_commands_and_environments(self):
        preload = {"LD_PRELOAD": "/b/libfake.so", "FAKE_CLOCK_STEP_NS": "5"}
        cases = [  # (emulator, the program's variables, command, variables the emulator gets)
            ([], {}, ["./bench", "-x"], {}),
            ([], preload, ["./bench", "-x"], preload),
            (QEMU, {}, [*QEMU, "./bench", "-x"], {}),
            (QEMU, preload, [*QEMU, "-E", "LD_PRELOAD=/b/libfake.so", "-E",
                             "FAKE_CLOCK_STEP_NS=5", "./bench", "-x"], {}),
            (["box64"], {}, ["box64", "./bench", "-x"], {}),
        ]
        for emulator, env, command, given in cases:
            with self.subTest(emulator=emulator, env=env), \
                    mock.patch.object(harness, "EMULATOR", emulator), mock.patch.dict(os.environ):
                for name in preload:
                    os.environ.pop(name, None)
                got, environment = harness.program(["./bench", "-x"], env)
                self.assertEqual(got, command)
                self.assertEqual({k: environment[k] for k in preload if k in environment}, given)

    def test_what_cannot_reach_the_guest_is_refused(self):
        for emulator, env, words in ((QEMU, {"LD_PRELOAD": "/a,b.so"}, "with a comma"),
                                     (["box64"], {"LD_PRELOAD": "/b.so"}, "not qemu-user")):
            with self.subTest(emulator=emulator), mock.patch.object(harness, "EMULATOR", emulator):
                with self.assertRaisesRegex(ValueError, words):
                    harness.program(["./bench"], env)


class Skipped(unittest.TestCase):
    def test_a_run_is_skipped_only_when_every_test_is(self):
        def skip(self):
            self.skipTest("why")

        def skip_a_subtest(self):
            with self.subTest(1):
                self.skipTest("why")

        def up(cls):
            raise unittest.SkipTest("why")
        cases = [  # (the tests, a class set-up that skips, whether the run is skipped)
            ({"test_a": skip, "test_b": skip}, False, True),
            ({"test_a": lambda self: None}, up, True),
            ({"test_a": skip, "test_b": lambda self: None}, False, False),
            ({"test_a": skip_a_subtest, "test_b": skip_a_subtest}, False, False),
        ]
        for tests, set_up, expected in cases:
            with self.subTest(tests=sorted(tests), set_up=bool(set_up)):
                group = type("Group", (unittest.TestCase,),
                             {**tests, **({"setUpClass": classmethod(set_up)} if set_up else {})})
                result = unittest.TestResult()
                unittest.defaultTestLoader.loadTestsFromTestCase(group).run(result)
                self.assertTrue(result.wasSuccessful())
                self.assertEqual(harness.all_skipped(result), expected)


if __name__ == "__main__":
    sys.exit(harness.main(OPTIONS, __doc__.split("\n\n")[0]))
