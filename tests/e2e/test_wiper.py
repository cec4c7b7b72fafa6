"""The wiper's Windows file services on a real drive: the platform test's WiperWineTest cases run
under Wine with drive D: mapped to a small tmpfs, which only a runner outside Wine can map. The
Linux file services have their own platform test on loop-mounted images."""
import os
import unittest

import harness


class WiperWineDriveTest(unittest.TestCase):

    def test_wiper_fills_and_frees_a_mapped_drive(self):
        if harness.OPTIONS.platform != "win32":
            self.skipTest("the drive mapping is Wine's")
        saved = dict(os.environ)
        os.environ.update(GTEST_FILTER="WiperWineTest.*", SHRINK_WIPER_ROOT="D:\\")
        try:
            result = harness.run_wine(self, os.path.join("tests", "shrink_platform_tests.exe"),
                                      "", drives=(("d", 16),))
        finally:
            os.environ.clear()
            os.environ.update(saved)
        output = result.stdout + result.stderr
        self.assertEqual(0, result.status, output)
        self.assertNotIn("SKIPPED", output)
        self.assertIn("[       OK ] WiperWineTest.FillsTheDriveAndFreesItAgain", output)
        self.assertIn("[       OK ] WiperWineTest.NamesInTheWayAreLeftAlone", output)
        self.assertIn("[       OK ] WiperWineTest.LeftoversOfDeadRunsOnly", output)
        # The user's files are as they were, and nothing of the wipe is left.
        self.assertEqual(result.before, result.after)


if __name__ == "__main__":
    harness.main()
