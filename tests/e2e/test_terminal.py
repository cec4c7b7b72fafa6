"""The Linux tool on a real terminal (tmux): the progress line is rewritten in place, and the keys
S and C typed while a volume is wiped skip it or cancel the whole wipe."""
import os
import shutil
import subprocess
import time
import unittest

import harness

SESSION = "shrink-e2e-terminal"
# The run's status and screen stay in /out; the pane stays open until the test has read it.
RUNNER = "sh /tmp/tool.sh; echo $? > /out/status\n"


def tmux(*args, check=True):
    return subprocess.run(["tmux"] + list(args), check=check, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, text=True).stdout


def screen():
    return tmux("capture-pane", "-p", "-t", SESSION, "-S", "-200")


class TerminalTest(unittest.TestCase):
    def setUp(self):
        if harness.OPTIONS.platform != "posix":
            self.skipTest("the Linux build on a terminal")
        if shutil.which("tmux") is None:
            self.skipTest("needs tmux")

    def run_typing(self, key):
        # A large first volume on memory, so that the key lands while it is being wiped; a small
        # second one.
        sandbox = harness.LinuxSandbox(self, "shrink-sim", "", ((2048, "ext4", ""), (32, "ext4", "")),
                                       "", "", RUNNER)
        try:
            tmux("kill-session", "-t", SESSION, check=False)
            command = " ".join(sandbox.command()) + "; sleep 30"
            tmux("new-session", "-d", "-s", SESSION, "-x", "120", "-y", "50", command)
            deadline = time.time() + 120
            while "MB complete" not in screen():
                self.assertLess(time.time(), deadline, screen())
                time.sleep(0.01)
            tmux("send-keys", "-t", SESSION, key)
            while not harness.read(os.path.join(sandbox.out, "status")).strip():
                self.assertLess(time.time(), deadline, screen())
                time.sleep(0.05)
            time.sleep(0.2)
            text = screen()
            tmux("kill-session", "-t", SESSION, check=False)
            # The sandbox goes when its script has ended.
            time.sleep(0.5)
            return text, sandbox.collect()
        finally:
            tmux("kill-session", "-t", SESSION, check=False)
            sandbox.close()

    def progress_lines(self, text):
        return [line for line in text.splitlines() if "MB complete (C: cancel / S: skip)" in line]

    def test_s_skips_the_volume(self):
        text, result = self.run_typing("s")
        lines = [line.rstrip() for line in text.splitlines() if line.strip()]
        self.assertTrue(any(line.startswith("Wiping free space on /vol/1/") for line in lines),
                        text)
        # One progress line per volume on the screen: each was rewritten in place.
        self.assertEqual(2, len(self.progress_lines(text)), text)
        self.assertIn("Skipped.", lines)
        self.assertTrue(any(line.startswith("Wiping free space on /vol/2/") for line in lines), text)
        self.assertIn("Complete", lines)
        self.assertEqual(0, result.status)
        self.assertEqual(["disk.wiper.enable", "disk.shrink"], result.commands())
        self.assertEqual([], result.wiper_files_left())
        # The key was taken by the tool, not echoed on the screen.
        self.assertNotIn("s", [line.strip() for line in lines])

    def test_c_cancels_the_wipe(self):
        text, result = self.run_typing("c")
        lines = [line.rstrip() for line in text.splitlines() if line.strip()]
        self.assertEqual(1, len(self.progress_lines(text)), text)
        self.assertIn("Cencelled.", lines)
        self.assertFalse(any(line.startswith("Wiping free space on /vol/2/") for line in lines))
        self.assertEqual(4, result.status)
        self.assertEqual(["disk.wiper.enable"], result.commands())
        self.assertEqual([], result.wiper_files_left())
        for volume, files in result.before.items():
            self.assertEqual(files, result.after[volume], volume)


if __name__ == "__main__":
    harness.main()
