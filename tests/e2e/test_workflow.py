"""The whole tool, end to end: every outcome of a run, with exact texts on each stream, the exit
status, the host's transcript and the volumes afterwards, for the Linux build in a sandbox and for
the Windows builds under Wine."""
import os
import re
import unittest

import harness

PROGRESS = re.compile(r"(\d+) / (\d+) MB complete \(C: cancel / S: skip\)$")


def windows():
    return harness.OPTIONS.platform == "win32"


def binary():
    return "shrink-sim.exe" if windows() else "shrink-sim"


def slow_emulation():
    # Every start of the i686 build under Wine costs time: only the main rows run there.
    return windows() and harness.is_i386_pe(os.path.join(harness.OPTIONS.build_dir, binary()))


def run(test, script, **kwargs):
    if windows():
        kwargs.pop("setup", None)
        kwargs.pop("images", None)
        return harness.run_wine(test, binary(), script, **kwargs)
    return harness.run_linux(test, binary(), script, **kwargs)


# name, host script, standard error, status, whether the volumes get wiped, the commands that
# arrive complete, and whether a channel was opened (and so must be closed)
OUTCOMES = [
    ("not under the hypervisor", "absent", "Not running on Tazelo\n", 2, False, [], False),
    ("open fails", "fail-step 0x1E 0 eax", "Backdoor command call 1Eh failed.\n", 2, False, [],
     False),
    ("open refused", "fail-step 0x1E 0 refuse", "Backdoor RPC command call 001Eh failed.\n", 3,
     False, [], False),
    ("enable send fails", "fail-step 0x1001E 0 refuse",
     "Backdoor RPC command call 1001Eh failed.\n", 3, False, [], True),
    ("enable length query fails", "fail-step 0x3001E 0 eax 7",
     "Backdoor command call 3001Eh failed.\n", 2, False, ["disk.wiper.enable"], True),
    ("enable fetch fails", "fail-step 0x4001E 0 refuse",
     "Backdoor RPC command call 4001Eh failed.\n", 3, False, ["disk.wiper.enable"], True),
    ("empty enable reply", "reply disk.wiper.enable=", "", 0, False, ["disk.wiper.enable"], True),
    ("unexpected reply", "reply disk.wiper.enable=0 1", "Unexpected RPC reply - '0 1'\n", 0,
     False, ["disk.wiper.enable"], True),
    ("shrinking disabled", "reply disk.wiper.enable=1 0", "Disk shrinking disabled\n", 0, False,
     ["disk.wiper.enable"], True),
    ("shrink completed", "reply disk.wiper.enable=1 1;reply disk.shrink=1", "Complete\n", 0, True,
     ["disk.wiper.enable", "disk.shrink"], True),
    ("shrink cancelled", "reply disk.shrink=0", "Cancelled\n", 0, True,
     ["disk.wiper.enable", "disk.shrink"], True),
    ("shrink send fails", "fail-step 0x1001E 1 eax", "Backdoor command call 1001Eh failed.\n", 2,
     True, ["disk.wiper.enable"], True),
    ("shrink fetch refused", "fail-step 0x4001E 1 refuse",
     "Backdoor RPC command call 4001Eh failed.\n", 3, True, ["disk.wiper.enable", "disk.shrink"],
     True),
    ("close fails after the shrink", "fail-step 0x6001E 0 refuse",
     "Complete\nBackdoor RPC command call 6001Eh failed.\n", 0, True,
     ["disk.wiper.enable", "disk.shrink"], True),
    # Replies of every awkward length: decided on their own bytes, cut to the buffer, bounded.
    ("one-byte reply", "reply disk.wiper.enable=1", "Unexpected RPC reply - '1'\n", 0, False,
     ["disk.wiper.enable"], True),
    ("two-byte reply", "reply disk.wiper.enable=1 ", "Unexpected RPC reply - '1 '\n", 0, False,
     ["disk.wiper.enable"], True),
    ("51-byte reply", "reply disk.wiper.enable=1 0" + "x" * 48, "Disk shrinking disabled\n", 0,
     False, ["disk.wiper.enable"], True),
    ("53-byte unexpected reply is cut to the buffer", "reply disk.wiper.enable=" + "z" * 53,
     "Unexpected RPC reply - '" + "z" * 51 + "'\n", 0, False, ["disk.wiper.enable"], True),
    ("200-byte reply still counts as 1 1", "reply disk.wiper.enable=1 1" + "y" * 197,
     "Complete\n", 0, True, ["disk.wiper.enable", "disk.shrink"], True),
    ("claimed length beyond the real reply", "claim-length disk.wiper.enable=200", "Complete\n",
     0, True, ["disk.wiper.enable", "disk.shrink"], True),
    ("claimed 64 KiB + 1", "claim-length disk.wiper.enable=65537",
     "RPC reply too long - 65537 bytes\n", 3, False, ["disk.wiper.enable"], True),
    ("claimed 0xFFFFFFFF", "claim-length disk.wiper.enable=0xFFFFFFFF",
     "RPC reply too long - 4294967295 bytes\n", 3, False, ["disk.wiper.enable"], True),
    ("empty shrink reply", "reply disk.shrink=", "Cancelled\n", 0, True,
     ["disk.wiper.enable", "disk.shrink"], True),
]

MAIN_ROWS = {"not under the hypervisor", "shrink completed", "enable send fails"}


class WorkflowTest(unittest.TestCase):
    def check_volumes(self, result, wiped):
        for volume, files in result.before.items():
            self.assertTrue(files, "no user files were made on " + volume)
            # Every file of the user's is still there, byte for byte, and nothing was added.
            self.assertEqual(files, result.after[volume], volume)
        self.assertEqual([], result.wiper_files_left())

    def check_wipe_output(self, stdout, wiped):
        if not wiped:
            self.assertEqual("", stdout)
            return
        lines = stdout.splitlines()
        self.assertTrue(lines, "no wiping output")
        heading = re.compile(r"Wiping free space on (\S+) \((\d+) / (\d+) MB free\)\.$")
        volumes = 0
        i = 0
        while i < len(lines):
            match = heading.match(lines[i])
            self.assertIsNotNone(match, "not a heading: %r" % lines[i])
            volumes += 1
            free = int(match.group(2))
            self.assertEqual("0 / %d MB complete (C: cancel / S: skip)" % free, lines[i + 1])
            i += 2
            last = 0
            # Redirected, the rewind does nothing: one more line per block, figures growing.
            while i < len(lines) and PROGRESS.match(lines[i]):
                done, total = map(int, PROGRESS.match(lines[i]).groups())
                self.assertEqual(free, total)
                self.assertGreaterEqual(done, last)
                last = done
                i += 1
            # The volume really filled: the progress reached about its free space.
            self.assertGreaterEqual(last + 2, free)
        expected = 2 if windows() else 1
        self.assertEqual(expected, volumes)

    def test_outcomes(self):
        for name, script, stderr, status, wiped, commands, opened in OUTCOMES:
            if slow_emulation() and name not in MAIN_ROWS:
                continue
            with self.subTest(name):
                kwargs = {}
                if windows():
                    kwargs["drives"] = (("d", 24), ("e", 16))
                result = run(self, script, **kwargs)
                self.assertEqual(stderr, result.stderr)
                self.assertEqual(status, result.status)
                self.assertEqual(commands, result.commands())
                opens = [e for e in result.events() if e.startswith("open ")]
                self.assertEqual(["open 1"] if opened else [], opens)
                # The close is asked for exactly when the open succeeded, and last.
                closes = result.step_calls(0x6001E)
                self.assertEqual(1 if opened else 0, len(closes))
                if opened:
                    self.assertEqual(closes[0], result.calls()[-1])
                self.check_wipe_output(result.stdout, wiped)
                self.check_volumes(result, wiped)

    def test_wiper_file_that_cannot_be_created_ends_with_status_4(self):
        if windows():
            self.skipTest("the Linux build's own case: an immutable volume root")
        result = run(self, "", setup="chattr +i /vol/1")
        self.assertRegex(result.stderr, r"^Failed to create a wiper file /vol/1/tzl_wiper_\d+\.0\n$")
        self.assertEqual(4, result.status)
        self.assertEqual(["disk.wiper.enable"], result.commands())
        self.assertEqual("close 1", result.events()[-1])
        self.check_volumes(result, False)


if __name__ == "__main__":
    harness.main()
