"""The shipped tool, without the simulated host, on a machine that is not a Tazelo guest: it says
so and exits with status 2, whatever the platform; the Windows builds import system DLLs only."""
import os
import re
import subprocess
import unittest

import harness

SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "ntdll.dll", "user32.dll", "advapi32.dll"}


class ShippedToolTest(unittest.TestCase):
    def tool(self):
        name = "shrink.exe" if harness.OPTIONS.platform == "win32" else "shrink"
        return os.path.join(harness.OPTIONS.build_dir, name)

    def test_not_running_on_tazelo(self):
        command = [self.tool()]
        if harness.OPTIONS.platform == "win32":
            command = [os.path.join(harness.SCRIPTS, "wine-run")] + command
        elif harness.OPTIONS.emulator:
            command = [harness.OPTIONS.emulator] + command
        result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, timeout=600)
        self.assertEqual(b"Not running on Tazelo", result.stderr.rstrip(b"\r\n"))
        self.assertEqual(b"", result.stdout)
        self.assertEqual(2, result.returncode)

    def test_windows_build_needs_no_dll_beside_it(self):
        if harness.OPTIONS.platform != "win32":
            self.skipTest("a Windows build")
        dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", self.tool()], check=True,
                              stdout=subprocess.PIPE, text=True).stdout
        imports = {name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)}
        self.assertTrue(imports)
        self.assertLessEqual(imports, SYSTEM_DLLS)


if __name__ == "__main__":
    harness.main()
