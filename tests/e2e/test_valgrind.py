"""A full Linux run under valgrind memcheck: no error and no leak."""
import shutil
import unittest

import harness


class ValgrindTest(unittest.TestCase):
    def test_full_run_is_clean(self):
        if harness.OPTIONS.platform != "posix" or harness.OPTIONS.emulator:
            self.skipTest("the x86-64 Linux build")
        if harness.sanitized_build():
            self.skipTest("memcheck does not run sanitized binaries")
        if shutil.which("valgrind") is None:
            self.skipTest("needs valgrind")
        wrapper = ("valgrind --quiet --error-exitcode=97 --leak-check=full "
                   "--show-leak-kinds=definite,indirect,possible "
                   "--errors-for-leak-kinds=definite,indirect,possible")
        result = harness.run_linux(self, "shrink-sim", "", images=((24, "ext4", ""),),
                                   wrapper=wrapper)
        self.assertEqual("Complete\n", result.stderr)
        self.assertEqual(0, result.status)
        self.assertEqual(["disk.wiper.enable", "disk.shrink"], result.commands())
        self.assertEqual([], result.wiper_files_left())


if __name__ == "__main__":
    harness.main()
