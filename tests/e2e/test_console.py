"""The console as a person at a terminal meets it: console-probe runs in a tmux pane, keys are
typed into the pane, and the screen and the terminal settings are read back. For the Windows
builds the probe runs under Wine in the pane, and the volume platform test is run once more with
drive D: mapped to a scratch mount (a mapping that only a runner outside Wine can make)."""
import os
import shutil
import subprocess
import tempfile
import time
import unittest

import harness


def windows():
    return harness.OPTIONS.platform == "win32"


def command_line(name):
    """The program of the build as a list for subprocess, through the emulator if there is one."""
    path = os.path.join(harness.OPTIONS.build_dir, "tests", name + (".exe" if windows() else ""))
    emulator = harness.OPTIONS.emulator
    return ([emulator] if emulator else []) + [path]


def shell_words(words):
    return " ".join(harness.shell_quote(word) for word in words)


def scratch_directory():
    # Small result files only, kept off the machine's disks where a memory file system is there.
    return tempfile.mkdtemp(prefix="shrink-console-", dir="/dev/shm" if os.path.isdir("/dev/shm")
                            else None)


def skip_when_emulated(test):
    # Each start of the i686 build through qemu-i386 costs tens of seconds: there the rewind and
    # the key poll are shown, and the rest by the x86-64 build and the unit tests.
    if harness.emulated_i386_windows(os.path.join("tests", "console-probe.exe")):
        test.skipTest("fewer starts of the i686 build under qemu-i386")


def line_index(lines, text):
    for index, line in enumerate(lines):
        if line.endswith(text):
            return index
    return None


class Terminal:
    """A tmux pane of 100 x 30 with a plain shell in it, on a tmux server of its own."""

    started = 0

    def __init__(self):
        # A new server for each terminal: one that is still going away cannot take a new session.
        Terminal.started += 1
        self.socket = "shrink-console-%d-%d" % (os.getpid(), Terminal.started)
        env = ["PATH=/usr/local/bin:/usr/bin:/bin", "HOME=" + os.environ.get("HOME", "/root"),
               "PS1=$ ", "TERM=screen"]
        if windows():
            prefix = harness.wine_prefix()
            env += ["SHRINK_WINEPREFIX=" + prefix, "WINEPREFIX=" + prefix]
        self.tmux("new-session", "-d", "-s", "console", "-x", "100", "-y", "30",
                  "env -i %s sh" % shell_words(env))

    def tmux(self, *args):
        return subprocess.run(["tmux", "-L", self.socket] + list(args), check=True,
                              stdout=subprocess.PIPE).stdout.decode("utf-8", "replace")

    def type_line(self, line):
        self.tmux("send-keys", "-t", "console", "-l", line)
        self.tmux("send-keys", "-t", "console", "Enter")

    def keys(self, *names):
        self.tmux("send-keys", "-t", "console", *names)

    def lines(self):
        """The screen's lines without trailing blanks, and without Wine's own notes."""
        screen = self.tmux("capture-pane", "-p", "-t", "console").splitlines()
        return [line.rstrip() for line in screen if not line.startswith("wine:")]

    def wait_for(self, text, timeout=180):
        """Waits for a line that ends with `text` and returns the screen's lines. Only the end
        counts: Wine's console host redraws the screen as it starts, over the prompt's line."""
        end = time.time() + timeout
        while time.time() < end:
            lines = self.lines()
            if line_index(lines, text) is not None:
                return lines
            time.sleep(0.2)
        raise AssertionError("no line %r on the screen:\n%s" % (text, "\n".join(self.lines())))

    def close(self):
        subprocess.run(["tmux", "-L", self.socket, "kill-server"], check=False,
                       stderr=subprocess.DEVNULL)


@unittest.skipUnless(shutil.which("tmux"), "needs tmux")
class ConsoleTest(unittest.TestCase):

    def setUp(self):
        self.directory = scratch_directory()
        self.addCleanup(shutil.rmtree, self.directory)
        self.terminal = Terminal()
        self.addCleanup(self.terminal.close)
        self.terminal.type_line("cd %s && clear" % harness.shell_quote(self.directory))

    def run_keys(self, *keys):
        """Runs the key probe in the pane, types the keys once it is ready, and returns the
        screen after it has ended."""
        probe = shell_words(command_line("console-probe") + ["keys"])
        # Keys come from the terminal, not from standard input. Wine's console reads the
        # terminal through standard input only, so there it has to stay the terminal.
        redirect = "" if windows() else " < /dev/null"
        # Wine's console host gives the terminal back after the program has ended: wait for it.
        settle = "; wineserver -w" if windows() else ""
        self.terminal.type_line("stty -g > before; %s%s%s; stty -g > after; echo fin\"\"ished"
                                % (probe, redirect, settle))
        self.terminal.wait_for("ready")
        for key in keys:
            if key.startswith("literal:"):
                self.terminal.keys("-l", key[len("literal:"):])
            else:
                self.terminal.keys(key)
        lines = self.terminal.wait_for("finished")
        with open(os.path.join(self.directory, "before")) as f:
            before = f.read()
        with open(os.path.join(self.directory, "after")) as f:
            after = f.read()
        self.assertNotEqual("", before.strip())
        self.assertEqual(before, after, "terminal settings changed by the probe")
        return lines

    def line_after(self, lines, text):
        return lines[line_index(lines, text) + 1]

    def test_rewound_lines_overwrite_each_other(self):
        probe = shell_words(command_line("console-probe") + ["rewind"])
        self.terminal.type_line("%s; echo fin\"\"ished" % probe)
        lines = self.terminal.wait_for("finished")
        self.assertEqual("done", self.line_after(lines, "progress 3 of 3"))
        screen = "\n".join(lines)
        self.assertNotIn("progress 1 of 3", screen)
        self.assertNotIn("progress 2 of 3", screen)

    def test_redirected_output_does_not_move(self):
        skip_when_emulated(self)
        with tempfile.TemporaryFile(dir=self.directory) as output:
            subprocess.run(command_line("console-probe") + ["rewind"], stdin=subprocess.DEVNULL,
                           stdout=output, stderr=subprocess.DEVNULL, check=True, timeout=300)
            output.seek(0)
            text = output.read().decode("latin-1").replace("\r\n", "\n")
        self.assertEqual("progress 1 of 3\nprogress 2 of 3\nprogress 3 of 3\ndone\n", text)

    def test_keys_are_polled_one_at_a_time_without_echo_or_enter(self):
        lines = self.run_keys("literal:ab")
        # An echo would stand on the line after "ready", in front of the report.
        self.assertEqual("keys 97 98 0", self.line_after(lines, "ready"))

    def test_cursor_and_function_keys_ahead_of_a_key_are_dropped(self):
        skip_when_emulated(self)
        lines = self.run_keys("Right", "Left", "F5", "Home", "literal:c")
        self.assertEqual("keys 99 0 0", self.line_after(lines, "ready"))

    def test_windows_console_platform_tests(self):
        # Wine gives a program a working console only when it starts on a terminal.
        if not windows():
            self.skipTest("the Windows console's own tests")
        skip_when_emulated(self)
        tests = shell_words(command_line("shrink_platform_tests")
                            + ["--gtest_filter=Cases/Console*"])
        self.terminal.type_line("%s > output 2>&1; echo $? > status; echo fin\"\"ished" % tests)
        self.terminal.wait_for("finished", timeout=600)
        with open(os.path.join(self.directory, "output"), encoding="latin-1") as f:
            output = f.read()
        with open(os.path.join(self.directory, "status")) as f:
            self.assertEqual("0", f.read().strip(), output)
        self.assertIn("ConsoleKeyTest", output)
        self.assertIn("ConsoleRewindTest", output)
        self.assertNotIn("SKIPPED", output)


class MappedDriveTest(unittest.TestCase):

    def test_mapped_drive_is_the_only_fixed_volume(self):
        if not windows():
            self.skipTest("the drive mapping is Wine's")
        if not harness.is_root():
            self.skipTest("needs root for the tmpfs drive")
        prefix = harness.wine_prefix()
        subprocess.run([os.path.join(harness.SCRIPTS, "wine-prefix"), prefix], check=True)
        # A Wine session still running keeps the drive list it has: let it end first, so that
        # the program below starts one that sees the new mapping.
        subprocess.run(["wineserver", "-w"], env=dict(os.environ, WINEPREFIX=prefix), check=False)
        mount = scratch_directory()
        link = os.path.join(prefix, "dosdevices", "d:")
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8m", "shrink-console", mount],
                       check=True)
        try:
            with open(os.path.join(mount, "user-data.bin"), "wb") as f:
                f.write(b"\1" * (1024 * 1024))
            space = os.statvfs(mount)
            kib = "%d %d" % (space.f_blocks * space.f_frsize >> 10,
                             space.f_bfree * space.f_frsize >> 10)
            if os.path.lexists(link):
                os.unlink(link)
            os.symlink(mount, link)
            env = dict(os.environ, SHRINK_TEST_VOLUME_D=mount, SHRINK_TEST_VOLUME_D_KIB=kib,
                       SHRINK_WINEPREFIX=prefix)
            result = subprocess.run(command_line("shrink_platform_tests")
                                    + ["--gtest_filter=VolumeWin32Test.*"],
                                    env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT, timeout=600)
            output = result.stdout.decode("latin-1")
            self.assertEqual(0, result.returncode, output)
            self.assertNotIn("SKIPPED", output)
            self.assertIn("VolumeWin32Test.ListsTheMappedFixedDrive", output)
        finally:
            if os.path.lexists(link):
                os.unlink(link)
            subprocess.run(["umount", "-l", mount], check=False)
            os.rmdir(mount)


if __name__ == "__main__":
    harness.main()
