#!/usr/bin/env python3
"""Tests, in process, of what compare says on standard error: the bounded
excerpt of a failing command's output (tools/comparing/excerpt.py), the
progress line with its estimate of the time left (progress.py) and the line
naming what may distort the figures, from made-up /proc and /sys files
(noise.py).

    test_compare_messages.py [GROUP ...]
"""
import argparse
import os
import sys
import tempfile
import unittest

import harness
from comparing import excerpt
from comparing.noise import look
from comparing.progress import CLEAR_LINE, Progress, left_text, time_left

OPTIONS = argparse.Namespace()


def escaped_only(text):
    """Whether `text` holds no control character: what a terminal would act
    on (move the cursor, clear the screen, ring) rather than show."""
    return all(c.isprintable() for c in text)


class Excerpts(unittest.TestCase):
    def test_lines_shown_whole_or_cut_in_the_middle(self):
        limit = excerpt.MAX_LINE_BYTES
        cases = [  # (raw line, what is shown; or the start and the end kept around the
            # marker, and how many bytes show each byte of the line there)
            (b"plain words", "plain words"),
            (b"", ""),
            (b"nul\x00 esc\x1b[2J bell\x07 cr\r tab\t del\x7f", "nul\\x00 esc\\x1b[2J bell\\x07 "
                                                               "cr\\r tab\\t del\\x7f"),
            (b"not utf-8 \xff\xfe, cut \xe6\x97", "not utf-8 \\xff\\xfe, cut \\xe6\\x97"),
            ("kept: caf\u00e9 \u65e5\u672c".encode(), "kept: caf\u00e9 \u65e5\u672c"),
            ("line\u2028separator".encode(), "line\\u2028separator"),
            (b"x" * limit, "x" * limit),
            (b"S" * 1000 + b"m" * 2_000_000 + b"E" * 1000, ("S" * 150, "E" * 150, 1)),
            (b"\x00" * 3000, ("\\x00" * 40, "\\x00" * 40, 4)),
            ("\u65e5".encode() * 2000, ("\u65e5" * 50, "\u65e5" * 50, 1)),
        ]
        for raw, expected in cases:
            with self.subTest(raw=raw[:40]):
                shown = excerpt.line(raw)
                self.assertLessEqual(len(shown.encode("utf-8")), limit)
                self.assertTrue(escaped_only(shown), shown)
                if isinstance(expected, str):
                    self.assertEqual(shown, expected)
                    continue
                head, _, tail = shown.partition(" [...")
                self.assertTrue(head.startswith(expected[0]) and tail.endswith(expected[1]),
                                shown)
                self.assertGreater(len(head) + len(tail), limit // 4)
                # The marker says how many bytes of the line are not shown.
                cut, _, tail = tail.partition(" bytes cut...] ")
                shown_bytes = len((head + tail).encode())
                self.assertEqual(int(cut) + shown_bytes // expected[2], len(raw))

    def test_the_end_of_a_stream(self):
        cases = [  # (output, lines shown)
            (b"", ["(nothing)"]),
            (b"\n\n", ["(nothing)"]),
            (b"one\ntwo\n", ["one", "two"]),
            (b"".join(b"line %d\n" % i for i in range(100)), [f"line {i}" for i in range(90, 100)]),
            (b"a\r\nb", ["a\\r", "b"]),  # only a newline ends a line
            (b"\x00" * (20 << 20), None),  # 20 MiB without a newline
            (b"y" * 5000 + b"\n" * 3 + b"z" * 5000, None),
        ]
        for output, expected in cases:
            with self.subTest(output=output[:20]):
                text = excerpt.tail("standard output", output)
                head, *lines = text.split("\n")
                self.assertEqual(head, "  the end of its standard output:")
                self.assertTrue(all(line.startswith("    | ") for line in lines), lines)
                self.assertLessEqual(len(lines), excerpt.TAIL_LINES)
                self.assertLessEqual(len(text.encode()), 4096 + 1024)
                self.assertTrue(escaped_only(text.replace("\n", "")), text[:200])
                if expected is not None:
                    self.assertEqual([line[6:] for line in lines], expected)

    def test_a_stream_kept_in_part_says_so(self):
        self.assertEqual(excerpt.tail("standard error", b"end\n", length=70000),
                         "  the end of its standard error (of its 70000 bytes, the last 4 were "
                         "kept):\n    | end")
        self.assertEqual(excerpt.tail("standard error", b"end\n", length=4),
                         "  the end of its standard error:\n    | end")

    def test_a_quoted_message_is_bounded(self):
        message = "line 3: 'Inc loop: " + "9" * 100000 + " ms': the time is too large"
        shown = excerpt.text(message)
        self.assertTrue(shown.startswith("line 3: 'Inc loop: 999"), shown)
        self.assertTrue(shown.endswith(" ms': the time is too large"), shown)
        self.assertLessEqual(len(shown.encode()), excerpt.MAX_LINE_BYTES)


class ProgressLine(unittest.TestCase):
    def test_time_left(self):
        cases = [  # (means, rounds, round, command, elapsed, seconds left)
            ([None, 2.0], 3, 0, 0, 0.5, None),  # a command not yet run once: unknown
            ([2.0, 4.0], 3, 1, 0, 0.5, 1.5 + 4.0 + 6.0),
            ([2.0, 4.0], 3, 1, 1, 1.0, 3.0 + 6.0),
            ([2.0, 4.0], 3, 2, 1, 1.0, 3.0),  # the last run
            ([2.0, 4.0], 3, 2, 1, 9.0, 0.0),  # longer than its mean so far
            ([1.0, 1.0, 1.0], 11, 0, 2, 0.0, 1.0 + 30.0),
        ]
        for means, rounds, round_number, index, elapsed, left in cases:
            with self.subTest(means=means, round=round_number, index=index):
                self.assertEqual(time_left(means, rounds, round_number, index, elapsed), left)

    def test_left_text(self):
        for seconds, text in ((0.0, "under 1 s"), (0.4, "under 1 s"), (1.0, "about 1 s"),
                              (41.2, "about 42 s"), (60, "about 1 min 00 s"),
                              (185, "about 3 min 05 s"), (3599.5, "about 1 h 00 min"),
                              (7620, "about 2 h 07 min")):
            self.assertEqual(left_text(seconds), text + " left", seconds)

    def test_the_line_on_a_terminal(self):
        written = []
        progress = Progress(True, ["./ref", "java -jar " + "x" * 200 + ".jar"], rounds=3,
                            write=written.append, columns=lambda: 60)
        progress.update(0, 0, "warm-up run 1 of 1", 0.2)
        self.assertEqual(written[-1], CLEAR_LINE + "warm-up run 1 of 1: ./ref (0 s)")
        progress.update(0, 0, "warm-up run 1 of 1", 0.3)  # the same text: not redrawn
        self.assertEqual(len(written), 1)
        progress.finished(0, 2.0)
        progress.update(0, 1, "warm-up run 1 of 1", 1.0)  # the second command's mean unknown
        self.assertNotIn("left", written[-1])
        progress.finished(1, 8.0)
        progress.update(1, 1, "run 1 of 2", 3.0)
        line = written[-1][len(CLEAR_LINE):]
        # 5 s more of this run, then a round of 2 + 8 s.
        self.assertTrue(line.startswith("run 1 of 2, about 15 s left: java -jar ...xxx"), line)
        self.assertTrue(line.endswith("xxx.jar (3 s)"), line)
        self.assertEqual(len(line), 59)  # one column short of the terminal's width
        progress.clear()
        self.assertEqual(written[-1], CLEAR_LINE)

    def test_nothing_when_not_a_terminal(self):
        written = []
        progress = Progress(False, ["./ref"], rounds=2, write=written.append)
        progress.finished(0, 1.0)
        progress.update(1, 0, "run 1 of 1", 0.5)
        progress.clear()
        self.assertEqual(written, [])


CPU = "sys/devices/system/cpu/"
GOVERNOR = CPU + "cpu{}/cpufreq/scaling_governor"
IDLE = "cpu  9 9 9 9\ncpu0 10 0 10 80 0 0 0 0\ncpu1 10 0 10 80 0 0 0 0\n"


def write(root, files):
    for name, text in files.items():
        os.makedirs(os.path.dirname(os.path.join(root, name)), exist_ok=True)
        with open(os.path.join(root, name), "w", encoding="utf-8") as f:
            f.write(text)


class NoiseLine(unittest.TestCase):
    def test_what_may_distort_the_figures_is_named(self):
        stolen, waiting = (IDLE.replace("10 80 0 0 0 0\ncpu1", f"10 160 {t}\ncpu1")
                           for t in ("0 0 0 20", "20 0 0 0"))
        for files, named in (  # (made-up files, "after": /proc/stat after the look; named)
                ({}, None),
                ({"proc/cpuinfo": "flags\t: fpu hypervisor sse2\n"}, "a virtual machine"),
                ({"proc/cpuinfo": "flags\t: fpu hypervisorish\n"}, None),
                ({"proc/loadavg": "1.93 0.40 0.10 2/99 7\n"}, "load average 1.93"),
                ({"proc/loadavg": "0.49 3.0 3.0 2/99 7\n"}, None),
                ({"proc/loadavg": "9" * 400 + " 1 1 1/1 7\n"}, None),  # no JSON number
                ({"after": IDLE.replace("cpu1 10 0 10 80", "cpu1 60 0 10 60")},  # idle went back
                 "other work on cpu1 100% of"),
                ({GOVERNOR.format(0): "power\nsave\x1b\n"}, "governor power\\nsave\\x1b (not"),
                ({"after": IDLE.replace("cpu1 10 0 10 80", "cpu1 70 0 10 100")},
                 "other work on cpu1 75% of the 0.2 s"),
                ({"after": stolen}, "other work on cpu0 20%"), ({"after": waiting}, None),
                ({GOVERNOR.format(0): "performance\n", GOVERNOR.format(1): "powersave\n"},
                 "cpufreq governor performance, powersave (not performance"),
                ({GOVERNOR.format(0): "performance\n"}, None),
                ({CPU + "cpufreq/boost": "1\n"}, "frequency boost on"),
                ({CPU + "intel_pstate/no_turbo": "0\n"}, "frequency boost on"),
                ({CPU + "intel_pstate/no_turbo": "1\n", CPU + "cpu0/cpufreq/boost": "0"}, None)):
            with self.subTest(files=files, named=named), tempfile.TemporaryDirectory() as root:
                write(root, {"proc/stat": IDLE, **files})
                noise = look(f"{root}/proc", f"{root}/sys", sleep=lambda _, root=root, f=files:
                             write(root, {"proc/stat": f.get("after", IDLE)}))
                self.assertEqual(len(noise.found), named is not None, noise.found)
                self.assertIn(named or "", noise.line or "")

if __name__ == "__main__":
    sys.exit(harness.main(OPTIONS, __doc__.split("\n\n")[0]))
