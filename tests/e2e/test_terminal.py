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


def type_while_wiping(test, command, key, status_path, timeout):
    """Starts `command` in a fresh pane, types `key` once a progress line shows, waits until the
    run has left its status in `status_path`, and returns the screen."""
    tmux("kill-session", "-t", SESSION, check=False)
    tmux("new-session", "-d", "-s", SESSION, "-x", "120", "-y", "50", command)
    deadline = time.time() + timeout
    while "MB complete" not in screen():
        test.assertLess(time.time(), deadline, screen())
        time.sleep(0.01)
    tmux("send-keys", "-t", SESSION, key)
    while not harness.read(status_path).strip():
        test.assertLess(time.time(), deadline, screen())
        time.sleep(0.05)
    time.sleep(0.2)
    return screen()


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
            ended = os.path.join(sandbox.out, "ended")
            command = " ".join(sandbox.command()) + "; touch %s; sleep 30" % ended
            text = type_while_wiping(self, command, key, os.path.join(sandbox.out, "status"), 120)
            # The script goes on after the status, listing the volumes: the pane is closed only
            # once the sandbox has ended.
            deadline = time.time() + 120
            while not os.path.exists(ended):
                self.assertLess(time.time(), deadline, screen())
                time.sleep(0.05)
            tmux("kill-session", "-t", SESSION, check=False)
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


class WindowsTerminalTest(unittest.TestCase):
    """The Windows build under Wine in tmux: Wine's console passes the keys and Ctrl+C on."""

    def setUp(self):
        if harness.OPTIONS.platform != "win32":
            self.skipTest("a Windows build under Wine")
        if shutil.which("tmux") is None or not harness.is_root():
            self.skipTest("needs tmux and root")
        if harness.emulated_i386_windows("shrink-sim.exe"):
            # A console interrupt runs its handler on a thread of its own, and Wine through
            # qemu-i386 gives every thread the last-made thread's TEB after a trapped fault.
            self.skipTest("Wine through qemu-i386 hangs on a console interrupt; the x86-64 build "
                          "and the i686 build where it runs natively are tested")

    def run_typing(self, key):
        prefix = harness.wine_prefix()
        subprocess.run([os.path.join(harness.SCRIPTS, "wine-prefix"), prefix], check=True)
        scratch = harness.Scratch(16)
        drives = None
        try:
            drives = harness.WineDrives(prefix, (("d", 3072), ("e", 32)))
            status = os.path.join(scratch.path, "status")
            transcript = os.path.join(prefix, "drive_c", "terminal-transcript.txt")
            if os.path.exists(transcript):
                os.unlink(transcript)
            command = ("SHRINK_SIM_SCRIPT='' SHRINK_SIM_TRANSCRIPT='C:\\terminal-transcript.txt' "
                       "SHRINK_WINEPREFIX=%s %s %s; echo $? > %s; sleep 30" % (
                           prefix, os.path.join(harness.SCRIPTS, "wine-run"),
                           os.path.join(harness.OPTIONS.build_dir, "shrink-sim.exe"), status))
            text = type_while_wiping(self, command, key, status, 600)
            left = [name for path in drives.paths for name in os.listdir(path)]
            return (text, int(harness.read(status)), left,
                    harness.read(transcript).splitlines())
        finally:
            tmux("kill-session", "-t", SESSION, check=False)
            if drives is not None:
                drives.close()
            scratch.close()

    def cases(self):
        # Every start of the i686 build through qemu is slow: Ctrl+C only there.
        i386 = harness.is_i386_pe(os.path.join(harness.OPTIONS.build_dir, "shrink-sim.exe"))
        return [("C-c", 4)] if i386 else [("C-c", 4), ("c", 4), ("s", 0)]

    def test_keys_and_ctrl_c(self):
        for key, status in self.cases():
            with self.subTest(key):
                text, code, left, transcript = self.run_typing(key)
                lines = [line.rstrip() for line in text.splitlines() if line.strip()]
                self.assertEqual(status, code, text)
                self.assertEqual([], left)
                self.assertIn("close 1", transcript)
                first_volume = [line for line in lines if "MB complete" in line]
                self.assertIn("Skipped." if key == "s" else "Cencelled.", lines)
                # Rewritten in place: one progress line per volume wiped.
                self.assertEqual(2 if key == "s" else 1, len(first_volume), text)
                commands = [l for l in transcript if l.startswith("command ")]
                self.assertEqual(2 if key == "s" else 1, len(commands))


if __name__ == "__main__":
    harness.main()
