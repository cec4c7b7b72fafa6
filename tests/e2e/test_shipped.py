"""The shipped tool, without the simulated host, on a machine that is not a Tazelo guest: it says
so and exits with status 2, whatever the platform. It is copied into a guest on its own: the Linux
builds need no loader and no library (they run in a root that holds nothing else), the Windows
builds import system DLLs only."""
import os
import re
import struct
import subprocess
import unittest

import harness

SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "ntdll.dll", "user32.dll", "advapi32.dll"}

PT_DYNAMIC, PT_INTERP = 2, 3
DT_NULL, DT_NEEDED = 0, 1

WIPE_SCRIPT = "reply disk.wiper.enable=1 1;reply disk.shrink=1"


def elf_dependencies(path):
    """What the loader would have to find for the ELF file at `path`: (interpreter or None,
    number of NEEDED entries of its dynamic section), read from its program headers."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] != b"\x7fELF":
        raise ValueError("%s is not an ELF file" % path)
    wide = data[4] == 2
    order = "<" if data[5] == 1 else ">"
    if wide:
        phoff, = struct.unpack_from(order + "Q", data, 0x20)
        phentsize, phnum = struct.unpack_from(order + "HH", data, 0x36)
        header, entry = order + "IIQQQQQQ", order + "qQ"
    else:
        phoff, = struct.unpack_from(order + "I", data, 0x1C)
        phentsize, phnum = struct.unpack_from(order + "HH", data, 0x2A)
        header, entry = order + "IIIIIIII", order + "iI"
    interpreter, needed = None, 0
    for n in range(phnum):
        fields = struct.unpack_from(header, data, phoff + n * phentsize)
        if wide:
            kind, offset, filesz = fields[0], fields[2], fields[5]
        else:
            kind, offset, filesz = fields[0], fields[1], fields[4]
        if kind == PT_INTERP:
            interpreter = data[offset:offset + filesz].rstrip(b"\0").decode()
        elif kind == PT_DYNAMIC:
            size = struct.calcsize(entry)
            for at in range(offset, offset + filesz, size):
                tag, _ = struct.unpack_from(entry, data, at)
                if tag == DT_NULL:
                    break
                needed += tag == DT_NEEDED
    return interpreter, needed


def windows():
    return harness.OPTIONS.platform == "win32"


def build_file(name):
    return os.path.join(harness.OPTIONS.build_dir, name)


def skip_unless_shipped_linux(test):
    if windows():
        test.skipTest("a Linux build")
    if harness.sanitized_build():
        test.skipTest("the sanitizer build is not shipped and needs its libraries")


def skip_unless_empty_root_runs(test):
    """An empty root has no qemu-i386 to start: i386 programs run there only natively or through
    a binfmt_misc entry whose F flag opened the interpreter when it was registered."""
    if not harness.is_root():
        test.skipTest("needs root for the mount namespace")
    if not harness.OPTIONS.emulator or os.environ.get("SHRINK_NATIVE_I386"):
        return
    entry = harness.read("/proc/sys/fs/binfmt_misc/qemu-i386")
    if not re.search(r"^flags: \S*F", entry, re.M):
        test.skipTest("qemu-i386 is not registered with the F flag")


def make_marked_image(path, size_mb):
    """An ext4 image whose free blocks all hold old data that scripts/image-blocks can count."""
    with open(path, "wb") as f:
        f.truncate(size_mb * 1024 * 1024)
    subprocess.run([os.path.join(harness.SCRIPTS, "image-blocks"), "mark", path], check=True)
    subprocess.run(["mkfs.ext4", "-q", "-F", "-E",
                    "nodiscard,lazy_itable_init=0,lazy_journal_init=0", path], check=True)


def image_blocks(path):
    """{"marked": n, "zero": n, "blocks": n} of the image, read from its blocks."""
    words = subprocess.run([os.path.join(harness.SCRIPTS, "image-blocks"), "count", path],
                           check=True, stdout=subprocess.PIPE, text=True).stdout.split()
    return dict(zip(words[0::2], map(int, words[1::2])))


def image_root_names(path):
    """The names in the root directory of an ext4 image, read without mounting it."""
    listing = subprocess.run(["debugfs", "-R", "ls -p /", path], check=True,
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout
    return sorted(line.split("/")[5] for line in listing.splitlines() if line.count("/") >= 6)


class ShippedToolTest(unittest.TestCase):
    def tool(self):
        return build_file("shrink.exe" if windows() else "shrink")

    def test_not_running_on_tazelo(self):
        command = [self.tool()]
        if windows():
            command = [os.path.join(harness.SCRIPTS, "wine-run")] + command
        elif harness.OPTIONS.emulator:
            command = [harness.OPTIONS.emulator] + command
        result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, timeout=600)
        self.assertEqual(b"Not running on Tazelo", result.stderr.rstrip(b"\r\n"))
        self.assertEqual(b"", result.stdout)
        self.assertEqual(2, result.returncode)

    def test_windows_build_needs_no_dll_beside_it(self):
        if not windows():
            self.skipTest("a Windows build")
        dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", self.tool()], check=True,
                              stdout=subprocess.PIPE, text=True).stdout
        imports = {name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)}
        self.assertTrue(imports)
        self.assertLessEqual(imports, SYSTEM_DLLS)

    def test_linux_builds_need_no_loader_and_no_library(self):
        skip_unless_shipped_linux(self)
        for name in ("shrink", "shrink-sim-static"):
            with self.subTest(name):
                self.assertEqual((None, 0), elf_dependencies(build_file(name)))
        # The same reading finds what the dynamic test build needs.
        interpreter, needed = elf_dependencies(build_file("shrink-sim"))
        self.assertRegex(interpreter or "", r"^/lib.*/ld-linux")
        self.assertGreater(needed, 0)

    def run_in_empty_root(self, program, images=(), environment=None):
        """Runs a program of the build alone in a root that holds it, /proc, /dev, /out and the
        given images at /vol/1...; returns (stdout, stderr, status, transcript lines)."""
        scratch = harness.Scratch(8)
        try:
            env = dict(os.environ, **(environment or {}))
            result = subprocess.run([os.path.join(harness.SCRIPTS, "sandbox-run"), "--bare",
                                     scratch.path, build_file(program)] + list(images),
                                    env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, timeout=600)
            transcript = harness.read(os.path.join(scratch.path, "transcript")).splitlines()
            return (result.stdout.decode("latin-1"), result.stderr.decode("latin-1"),
                    result.returncode, transcript)
        finally:
            scratch.close()

    def test_shipped_tool_in_an_empty_root(self):
        skip_unless_shipped_linux(self)
        skip_unless_empty_root_runs(self)
        stdout, stderr, status, _ = self.run_in_empty_root("shrink")
        self.assertEqual(("", "Not running on Tazelo\n", 2), (stdout, stderr, status))
        # The root really is empty: a dynamically linked program finds no loader there (chroot
        # says so, or qemu-i386 where it runs the i386 build).
        _, stderr, status, _ = self.run_in_empty_root("shrink-sim")
        self.assertIn(status, (127, 255), stderr)
        self.assertIn("No such file or directory", stderr)

    def test_static_sim_wipes_in_an_empty_root_as_the_dynamic_one_does(self):
        skip_unless_shipped_linux(self)
        skip_unless_empty_root_runs(self)
        scratch = harness.Scratch(80)
        try:
            images = {}
            for kind in ("static", "dynamic"):
                images[kind] = os.path.join(scratch.path, kind + ".img")
                make_marked_image(images[kind], 24)
            before = image_blocks(images["static"])
            self.assertEqual(before, image_blocks(images["dynamic"]))
            environment = {"SHRINK_SIM_SCRIPT": WIPE_SCRIPT,
                           "SHRINK_SIM_TRANSCRIPT": "/out/transcript"}
            static = self.run_in_empty_root("shrink-sim-static", [images["static"] + ":ext4"],
                                            environment)
            dynamic = self.run_dynamic(scratch, images["dynamic"])
            after = {kind: image_blocks(path) for kind, path in images.items()}
            names = [name for name in image_root_names(images["static"])
                     if name not in (".", "..")]
        finally:
            scratch.close()
        stdout, stderr, status, transcript = static
        self.assertEqual("Complete\n", stderr)
        self.assertEqual(0, status)
        commands = [line for line in transcript if line.startswith("command ")]
        self.assertEqual(["command disk.wiper.enable", "command disk.shrink"], commands)
        self.assertTrue(stdout.startswith("Wiping free space on /vol/1/ ("), stdout)
        self.assertEqual(1, stdout.count("Wiping free space"), stdout)
        # Both runs printed the same, and left as much old data on identical images: to a few
        # blocks, as ext4 places its metadata and the last partial blocks a little differently
        # from one mount to the next.
        self.assertEqual(static[:3], dynamic[:3])
        self.assertLessEqual(abs(after["dynamic"]["marked"] - after["static"]["marked"]), 8)
        # Nearly all of the old data is gone, zeroed: what is left lies in blocks that ext4 keeps
        # back from files even for root.
        self.assertGreater(before["marked"], 5000)
        for kind in ("static", "dynamic"):
            self.assertLess(after[kind]["marked"], before["marked"] // 10)
            self.assertGreater(after[kind]["zero"], before["zero"] + before["marked"] * 9 // 10)
        self.assertEqual(["lost+found"], names)

    def run_dynamic(self, scratch, image):
        """The dynamic shrink-sim on the same kind of image, in the ordinary sandbox."""
        out = os.path.join(scratch.path, "out")
        os.mkdir(out)
        script = os.path.join(scratch.path, "run.sh")
        with open(script, "w") as f:
            f.write("cd /tmp\nSHRINK_SIM_SCRIPT=%s SHRINK_SIM_TRANSCRIPT=/out/transcript %s "
                    "> /out/stdout 2> /out/stderr < /dev/null\necho $? > /out/status\n"
                    % (harness.shell_quote(WIPE_SCRIPT), build_file("shrink-sim")))
        subprocess.run([os.path.join(harness.SCRIPTS, "sandbox-run"), out, script,
                        image + ":ext4"], check=True, timeout=600)
        return (harness.read(os.path.join(out, "stdout")),
                harness.read(os.path.join(out, "stderr")),
                int(harness.read(os.path.join(out, "status"))))


if __name__ == "__main__":
    harness.main()
