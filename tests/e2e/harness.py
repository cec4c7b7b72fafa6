"""Runs the real shrink executables on scratch volumes that the test makes, and collects what
they did: standard output and standard error apart, the exit status, the simulated host's
transcript, and every file on every volume before and after.

Linux runs happen inside scripts/sandbox-run, a private mount namespace whose only block-device
file systems are the test's own images. Windows runs use the test run's Wine prefix, where C: is a
CD-ROM drive, there is no Z: mapping of /, and drives D: to H: are the test's own tmpfs mounts.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import hashlib
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
SCRIPTS = os.path.join(SOURCE, "scripts")
WIPER_NAME = re.compile(r"tzl_wiper_\d+\.\d+$")

OPTIONS = argparse.Namespace(build_dir=None, platform=None, emulator="")


def parse_options():
    """Takes the suite's own options off the command line and leaves the rest to unittest."""
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--platform", required=True)
    parser.add_argument("--emulator", default="")
    known, rest = parser.parse_known_args()
    OPTIONS.build_dir = os.path.abspath(known.build_dir)
    OPTIONS.platform = known.platform
    OPTIONS.emulator = known.emulator
    sys.argv[1:] = rest


def is_i386_pe(path):
    """Whether the Windows program at `path` is an i686 one (its PE machine is 0x14C)."""
    with open(path, "rb") as f:
        data = f.read(4096)
    offset = int.from_bytes(data[0x3C:0x40], "little")
    return int.from_bytes(data[offset + 4:offset + 6], "little") == 0x14C


def emulated_i386_windows(exe):
    """Whether `exe` of the build is an i686 Windows program that Wine runs here through
    qemu-i386 user emulation, where every start costs tens of seconds and console interrupts
    hang."""
    if OPTIONS.platform != "win32" or not os.path.exists("/proc/sys/fs/binfmt_misc/qemu-i386"):
        return False
    return is_i386_pe(os.path.join(OPTIONS.build_dir, exe))


def is_root():
    return os.geteuid() == 0


class Scratch:
    """A tmpfs mount of its own that holds images, drive directories and results; removed by
    close() with everything in it."""

    def __init__(self, size_mb):
        self.path = tempfile.mkdtemp(prefix="shrink-e2e-")
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%dm" % size_mb, "shrink-e2e",
                        self.path], check=True)

    def close(self):
        subprocess.run(["umount", "-l", self.path], check=False)
        os.rmdir(self.path)


class Run:
    """What one run of the tool left: texts, status, transcript and the volumes' files."""

    def __init__(self, stdout, stderr, status, transcript, before, after):
        self.stdout = stdout
        self.stderr = stderr
        self.status = status
        self.transcript = transcript
        self.before = before  # {volume: {relative path: sha256}}
        self.after = after

    def commands(self):
        return [line[len("command "):] for line in self.transcript if line.startswith("command ")]

    def events(self):
        return [line for line in self.transcript
                if line.startswith(("open ", "close ", "command "))]

    def calls(self):
        return [line for line in self.transcript if line.startswith(("in ", "outsb ", "insb "))]

    def step_calls(self, word):
        """The low-bandwidth calls made with this command word in ecx."""
        return [line for line in self.calls()
                if line.startswith("in ") and int(line.split()[3], 16) == word]

    def wiper_files_left(self):
        return [(volume, name) for volume, files in self.after.items() for name in files
                if WIPER_NAME.search(name)]


def parse_manifest(text):
    files = {}
    for line in text.splitlines():
        digest, _, name = line.partition("  ")
        if name:
            files[name[2:] if name.startswith("./") else name] = digest
    return files


# Files a user had on each volume before the run, checked byte for byte after it.
USER_FILES_SCRIPT = r"""
for v in "$@"; do
  head -c 300000 /dev/urandom > "$v/user-data.bin"
  mkdir -p "$v/docs"
  printf 'keep me\n' > "$v/docs/note.txt"
done
"""

LINUX_SCRIPT = r"""
set -u
volumes="%(volumes)s"
user_files() { %(user_files)s }
user_files $volumes
for v in $volumes; do
  name=$(echo "$v" | tr / _)
  (cd "$v" && find . -type f ! -name 'lost+found' -exec sha256sum {} + 2>/dev/null | sort -k 2) > "/out/before$name"
done
%(setup)s
cd /tmp
%(run)s
for v in $volumes; do
  name=$(echo "$v" | tr / _)
  (cd "$v" && find . -type f -exec sha256sum {} + 2>/dev/null | sort -k 2) > "/out/after$name"
done
"""


def shell_quote(text):
    return "'" + text.replace("'", "'\\''") + "'"


# The plain run; a test may give its own, which starts /tmp/tool.sh (the tool with its
# environment; its process id is the tool's) with its streams in /out and leaves the exit status
# in /out/status.
PLAIN_RUN = "sh /tmp/tool.sh > /out/stdout 2> /out/stderr < /dev/null; echo $? > /out/status"


# How each kind of test volume is made; "fat32" and "exfat" are mounted by the kernel where it has
# the driver, else through FUSE (see mount_type). exFAT gets 4 KiB clusters: the unwritten end of
# a larger cluster that holds a small file belongs to that file, not to the free space.
MKFS = {"ext4": ["mkfs.ext4", "-q", "-F"], "vfat": ["mkfs.vfat"],
        "fat32": ["mkfs.vfat", "-F", "32"], "btrfs": ["mkfs.btrfs", "-q", "-f"],
        "xfs": ["mkfs.xfs", "-q", "-f"], "exfat": ["mkfs.exfat", "-c", "4K"],
        "f2fs": ["mkfs.f2fs", "-q", "-f"]}


def kernel_has(fstype):
    """Whether the running kernel offers a file system type (without loading a module)."""
    with open("/proc/filesystems") as f:
        return any(line.split()[-1] == fstype for line in f if line.strip())


def mount_type(fstype):
    """The type that scripts/sandbox-run mounts a kind of test volume as."""
    if fstype == "fat32":
        return "vfat" if kernel_has("vfat") else "fusefat"
    if fstype == "exfat":
        return "exfat" if kernel_has("exfat") else "exfat-fuse"
    return fstype


class LinuxSandbox:
    """Scratch images and the script of one sandboxed Linux run, made but not yet started."""

    def __init__(self, test, binary, sim_script, images, setup, wrapper, runner, prepare=None):
        if not is_root():
            test.skipTest("needs root for the mount namespace and loop devices")
        total = sum(size for size, _, _ in images) + 32
        self.scratch = Scratch(total)
        self.volume_args = []
        self.images = []
        for index, (size, fstype, options) in enumerate(images):
            image = os.path.join(self.scratch.path, "volume%d.img" % index)
            with open(image, "wb") as f:
                f.truncate(size * 1024 * 1024)
            subprocess.run(MKFS[fstype] + [image], check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            if prepare:
                prepare(image, fstype, options)
            self.images.append(image)
            self.volume_args.append("%s:%s%s" % (image, mount_type(fstype),
                                                 ":" + options if options else ""))
        self.out = os.path.join(self.scratch.path, "out")
        os.mkdir(self.out)
        self.volumes = ["/vol/%d" % (i + 1) for i in range(len(images))] + ["/vol/tmp"]
        env = "SHRINK_SIM_SCRIPT=%s SHRINK_SIM_TRANSCRIPT=/out/transcript" % shell_quote(sim_script)
        tool = "exec env %s %s%s" % (env, wrapper + " " if wrapper else "",
                                     os.path.join(OPTIONS.build_dir, binary))
        script = LINUX_SCRIPT % {
            "volumes": " ".join(self.volumes),
            "user_files": USER_FILES_SCRIPT.replace("\n", "\n  ") + "\n",
            "setup": setup,
            "run": "printf '%%s\\n' %s > /tmp/tool.sh\n%s" % (shell_quote(tool), runner),
        }
        self.script = os.path.join(self.scratch.path, "script.sh")
        with open(self.script, "w") as f:
            f.write(script)

    def command(self):
        return [os.path.join(SCRIPTS, "sandbox-run"), self.out, self.script] + self.volume_args

    def collect(self):
        return collect(self.out, self.volumes)

    def close(self):
        self.scratch.close()


def run_linux(test, binary, sim_script, images=((24, "ext4", ""),), setup="", wrapper="",
              runner=PLAIN_RUN):
    """Runs a Linux executable of the build in a sandbox with the given images (size in MiB,
    file system type, mount options) at /vol/1... and a tmpfs at /vol/tmp. Returns a Run."""
    sandbox = LinuxSandbox(test, binary, sim_script, images, setup, wrapper, runner)
    try:
        subprocess.run(sandbox.command(), check=True, timeout=600)
        return sandbox.collect()
    finally:
        sandbox.close()


def read(path, mode="r"):
    try:
        with open(path, mode) as f:
            return f.read()
    except FileNotFoundError:
        return "" if mode == "r" else b""


def collect(out, volumes, transcript_path=None):
    before, after = {}, {}
    for v in volumes:
        name = v.replace("/", "_")
        before[v] = parse_manifest(read(os.path.join(out, "before" + name)))
        after[v] = parse_manifest(read(os.path.join(out, "after" + name)))
    status_text = read(os.path.join(out, "status")).strip()
    transcript = read(transcript_path or os.path.join(out, "transcript")).splitlines()
    run = Run(read(os.path.join(out, "stdout"), "rb").decode("latin-1"),
              read(os.path.join(out, "stderr"), "rb").decode("latin-1"),
              int(status_text) if status_text else None, transcript, before, after)
    # Whatever else the run's script left in /out, by file name.
    run.extra = {name: read(os.path.join(out, name)) for name in os.listdir(out)}
    return run


def wine_prefix():
    return os.environ.get("SHRINK_WINEPREFIX", os.path.join(SOURCE, "build", "wineprefix"))


class WineDrives:
    """Drive letters of the Wine prefix mapped to tmpfs mounts of their own (letter, MiB), until
    close() removes the mappings and the mounts."""

    def __init__(self, prefix, drives):
        self.paths = []
        self.links = []
        try:
            for letter, size in drives:
                path = tempfile.mkdtemp(prefix="shrink-drive-%s-" % letter)
                self.paths.append(path)
                subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%dm" % size, "shrink-drive",
                                path], check=True)
                link = os.path.join(prefix, "dosdevices", letter + ":")
                if os.path.lexists(link):
                    os.unlink(link)
                os.symlink(path, link)
                self.links.append(link)
        except BaseException:
            self.close()
            raise
        # Wine looks at the drive mappings again only once their directory's time has moved on,
        # which it counts in whole seconds.
        time.sleep(1.1)

    def close(self):
        for link in self.links:
            if os.path.lexists(link):
                os.unlink(link)
        for path in self.paths:
            subprocess.run(["umount", "-l", path], check=False)
            os.rmdir(path)
        self.links, self.paths = [], []


def run_wine(test, exe, sim_script, drives=(("d", 24),), timeout=900):
    """Runs a Windows executable of the build under Wine with the given drive letters mapped to
    tmpfs mounts of the given sizes (MiB). Returns a Run."""
    if not is_root():
        test.skipTest("needs root for the tmpfs drives")
    prefix = wine_prefix()
    # The prefix is made by the first program started through wine-run.
    subprocess.run([os.path.join(SCRIPTS, "wine-prefix"), prefix], check=True)
    mapped = WineDrives(prefix, drives)
    try:
        volumes = mapped.paths
        subprocess.run(["sh", "-c", USER_FILES_SCRIPT, "user-files"] + volumes, check=True)
        manifests = {v: manifest(v) for v in volumes}
        transcript = os.path.join(prefix, "drive_c", "transcript.txt")
        if os.path.exists(transcript):
            os.unlink(transcript)
        env = dict(os.environ, SHRINK_SIM_SCRIPT=sim_script,
                   SHRINK_SIM_TRANSCRIPT="C:\\transcript.txt", SHRINK_WINEPREFIX=prefix)
        result = subprocess.run([os.path.join(SCRIPTS, "wine-run"),
                                 os.path.join(OPTIONS.build_dir, exe)],
                                env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, timeout=timeout)
        after = {v: manifest(v) for v in volumes}
        # The Windows runtime writes its line ends as CR LF in text mode.
        return Run(result.stdout.decode("latin-1").replace("\r\n", "\n"),
                   result.stderr.decode("latin-1").replace("\r\n", "\n"),
                   result.returncode, read(transcript).splitlines(), manifests, after)
    finally:
        mapped.close()


def manifest(volume):
    files = {}
    for dirpath, _, names in os.walk(volume):
        for name in names:
            path = os.path.join(dirpath, name)
            with open(path, "rb") as f:
                files[os.path.relpath(path, volume)] = hashlib.sha256(f.read()).hexdigest()
    return files


def main():
    parse_options()
    unittest.main(verbosity=2)
