"""Interrupts and kills of a whole Linux run on a real volume: SIGINT, SIGTERM and SIGHUP at each
stage and at many random moments end the run in order (no wiper file left, the channel closed,
no "disk.shrink" after the interrupt, status 4); SIGKILL leaves no wiper file either, and a
following run is not disturbed."""
import random
import re
import unittest

import harness

# Starts the tool in the background; $pid is its process id.
START = "sh /tmp/tool.sh > /out/stdout 2> /out/stderr < /dev/null &\npid=$!\n"
FINISH = "wait $pid\necho $? > /out/status\n"
# The waits end when the tool does, so that a run too quick to catch cannot hang the test.
ALIVE = "kill -0 $pid 2>/dev/null"
# The wiper files are held open without a name: the tool's descriptors show them.
OPEN_FILES = "ls -l /proc/$pid/fd 2>/dev/null | grep -q tzl_wiper_"
WHILE_FILES = "until %s || ! %s; do sleep 0.002; done\n" % (OPEN_FILES, ALIVE)
AFTER_FILES = WHILE_FILES + "while %s && %s; do sleep 0.002; done\n" % (OPEN_FILES, ALIVE)


class InterruptTest(unittest.TestCase):
    def setUp(self):
        if harness.OPTIONS.platform != "posix":
            self.skipTest("signals to the Linux build")

    def run_with(self, runner, size=96, script=""):
        return harness.run_linux(self, "shrink-sim", script, images=((size, "ext4", ""),),
                                 runner=runner)

    def check_orderly(self, result):
        self.assertEqual(4, result.status, result.stderr)
        self.assertEqual([], result.wiper_files_left())
        for volume, files in result.before.items():
            self.assertEqual(files, result.after[volume], volume)
        self.assertNotIn("disk.shrink", result.commands())
        self.assertEqual(["close 1"], [e for e in result.events() if e.startswith("close ")])

    def test_interrupt_during_the_wipe_acts_as_the_cancel_key(self):
        for signal in ("INT", "TERM", "HUP"):
            with self.subTest(signal):
                result = self.run_with(START + WHILE_FILES + "kill -%s $pid\n" % signal + FINISH)
                self.check_orderly(result)
                self.assertTrue(result.stdout.endswith("Cencelled.\n"), result.stdout[-200:])
                self.assertEqual("", result.stderr)

    def test_interrupt_during_the_pause_ends_it_at_once(self):
        runner = (START + AFTER_FILES + "start=$(date +%s%N)\nkill -INT $pid\n" + FINISH +
                  "echo $(( ($(date +%s%N) - start) / 1000000 )) > /out/took\n")
        result = self.run_with(runner, size=48)
        self.check_orderly(result)
        self.assertEqual("Interrupted\n", result.stderr)
        self.assertNotIn("Cencelled.\n", result.stdout)
        # The one-second pause did not run out: the run ended soon after the signal.
        self.assertLess(int(result.extra["took"]), 700)

    def test_random_moments(self):
        rng = random.Random(20261211)
        outcomes = {"before the channel": 0, "in order": 0, "after the shrink": 0}
        for round_ in range(24):
            signal = rng.choice(["INT", "TERM"])
            delay = rng.uniform(0.0, 1.6)
            with self.subTest(round=round_, signal=signal, delay=delay):
                runner = START + "sleep %.3f\nkill -%s $pid 2>/dev/null\n" % (delay, signal) + FINISH
                result = self.run_with(runner, size=40)
                self.assertEqual([], result.wiper_files_left())
                for volume, files in result.before.items():
                    self.assertEqual(files, result.after[volume], volume)
                if result.status in (130, 143):
                    # Killed by the default action before the channel was open: nothing to undo.
                    self.assertEqual([], result.events())
                    outcomes["before the channel"] += 1
                elif result.status == 0:
                    self.assertEqual(["disk.wiper.enable", "disk.shrink"], result.commands())
                    outcomes["after the shrink"] += 1
                else:
                    self.check_orderly_or_late(result)
                    outcomes["in order"] += 1
        print("random interrupts:", outcomes)
        self.assertGreater(outcomes["in order"], 0)

    def check_orderly_or_late(self, result):
        self.assertEqual(4, result.status, result.stderr)
        self.assertEqual(["close 1"], [e for e in result.events() if e.startswith("close ")])
        # "disk.shrink" only goes out when the interrupt came after it was sent.
        if "disk.shrink" in result.commands():
            self.assertIn("Complete\n", result.stderr)

    def test_kill_leaves_nothing_and_the_next_run_is_undisturbed(self):
        runner = (START + WHILE_FILES + "kill -KILL $pid\nwait $pid\necho $? > /out/killed\n"
                  "ls -a /vol/1 > /out/left\n" + PLAIN_SECOND)
        result = self.run_with(runner, size=48)
        self.assertEqual("137", result.extra["killed"].strip())
        self.assertEqual([], [n for n in result.extra["left"].split() if "tzl_wiper_" in n])
        # The second run found nothing to remove, wiped and went on to the shrink.
        self.assertEqual(0, result.status, result.stderr)
        self.assertEqual("Complete\n", result.stderr)
        self.assertNotIn("Removed", result.stdout)
        self.assertEqual([], result.wiper_files_left())


PLAIN_SECOND = "sh /tmp/tool.sh > /out/stdout 2> /out/stderr < /dev/null; echo $? > /out/status\n"

if __name__ == "__main__":
    harness.main()
