"""Every kind of file system a Linux guest uses, wiped through the whole tool and judged from the
disk itself: a file of marked blocks is written and deleted, the tool (shrink-sim answering
"1 1") runs its own volume walk in scripts/sandbox-run, and the marked 4 KiB blocks still in the
raw image are counted before and after. Prints the table of docs/reliability.md."""
import os
import re
import subprocess
import unittest

import harness

# Each marked block begins with this; the rest of the block is random, so that no compressing
# file system can store the deleted file in less than its blocks.
MARKER = b"TZL-DELETED-DATA"
BLOCK = 4096
MARKED_BLOCKS = 25600  # 100 MiB

# Written in the sandbox onto the volume, then deleted, with the data on the disk in between.
PATTERN_SCRIPT = r"""
set -eu
python3 - <<'PY'
import os
marker = %(marker)r
with open("/vol/1/deleted-data.bin", "wb") as f:
    for _ in range(%(blocks)d // 256):
        f.write(b"".join(marker + os.urandom(%(rest)d) for _ in range(256)))
    os.fsync(f.fileno())
PY
sync
rm /vol/1/deleted-data.bin
sync
"""

# The tool in the background, while the volume's free space is sampled.
SAMPLED_RUN = r"""
start=$(date +%s%N)
sh /tmp/tool.sh > /out/stdout 2> /out/stderr < /dev/null &
tool=$!
while kill -0 $tool 2>/dev/null; do
  stat -f -c '%a %S' /vol/1 >> /out/free
  sleep 0.02
done
wait $tool
echo $? > /out/status
end=$(date +%s%N)
echo $(( (end - start) / 1000000 )) > /out/milliseconds
"""

PROGRESS = re.compile(r"^\d+ / \d+ MB complete \(C: cancel / S: skip\)$", re.M)


def ext4_kept_back(size_mb):
    """The blocks that ext4 keeps back from every writer, root included: its reserved clusters,
    2 % of the blocks but at most 4,096, held for metadata and delayed allocation so that a
    full file system can still write what it has promised."""
    return min(size_mb * 256 // 50, 4096)


def count_marked(image):
    """Marked blocks in the raw image: the marker at any 512-byte boundary, since FAT and exFAT
    data areas need not start on a 4 KiB boundary of the image."""
    with open(image, "rb") as f:
        data = f.read()
    count, at = 0, data.find(MARKER)
    while at >= 0:
        if at % 512 == 0:
            count += 1
        at = data.find(MARKER, at + 1)
    return count


# name, kind of volume, mount options, size in MiB
CASES = [
    ("ext4", "ext4", "", 512),
    ("xfs", "xfs", "", 320),
    ("btrfs", "btrfs", "", 320),
    ("btrfs-zstd", "btrfs", "compress=zstd", 320),
    ("btrfs-force-zstd", "btrfs", "compress-force=zstd", 320),
    ("fat32", "fat32", "", 320),
    ("exfat", "exfat", "", 320),
    ("f2fs", "f2fs", "", 320),
]


def unavailable(kind):
    """Why a kind of volume cannot be made or mounted here, or None."""
    mkfs = harness.MKFS[kind][0]
    if subprocess.run(["sh", "-c", "command -v " + mkfs], stdout=subprocess.DEVNULL).returncode:
        return "no %s" % mkfs
    mount = harness.mount_type(kind)
    if mount in ("fusefat", "exfat-fuse"):
        driver = "fusefat" if mount == "fusefat" else "mount.exfat-fuse"
        if subprocess.run(["sh", "-c", "command -v " + driver],
                          stdout=subprocess.DEVNULL).returncode:
            return "no %s driver in the kernel and no %s" % (kind, driver)
        return None
    if not harness.kernel_has(mount):
        return "no %s driver in the kernel" % mount
    return None


class FileSystemMatrixTest(unittest.TestCase):
    results = []

    def setUp(self):
        if harness.OPTIONS.platform != "posix":
            self.skipTest("the Linux tool's own volume walk")

    @classmethod
    def tearDownClass(cls):
        print("\n| file system | marked blocks before | after | wipe time | exit status "
              "| lowest available during the wipe | wiper files left |")
        print("|---|---|---|---|---|---|---|")
        for row in cls.results:
            print("| %s | %d | %d | %.1f s | %d | %s | %d |" % row)

    def wipe(self, name, kind, options, size_mb):
        reason = unavailable(kind)
        if reason:
            self.skipTest(reason)
        counts = {}

        def prepare(image, fstype, mount_options):
            out = os.path.join(os.path.dirname(image), "prepare")
            os.mkdir(out)
            script = os.path.join(out, "pattern.sh")
            with open(script, "w") as f:
                f.write(PATTERN_SCRIPT % {"marker": MARKER, "blocks": MARKED_BLOCKS,
                                          "rest": BLOCK - len(MARKER)})
            volume = "%s:%s%s" % (image, harness.mount_type(fstype),
                                  ":" + mount_options if mount_options else "")
            subprocess.run([os.path.join(harness.SCRIPTS, "sandbox-run"), out, script, volume],
                           check=True, timeout=300)
            counts["before"] = count_marked(image)

        sandbox = harness.LinuxSandbox(self, "shrink-sim", "reply disk.wiper.enable=1 1",
                                       [(size_mb, kind, options)], "", "", SAMPLED_RUN, prepare)
        try:
            subprocess.run(sandbox.command(), check=True, timeout=600)
            run = sandbox.collect()
            after = count_marked(sandbox.images[0])
        finally:
            sandbox.close()
        free = [int(a) * int(b) for a, b in
                (line.split() for line in run.extra.get("free", "").splitlines())]
        lowest = min(free) if free else None
        self.results.append((name, counts["before"], after,
                             int(run.extra.get("milliseconds", "0")) / 1000.0, run.status,
                             "%.1f MiB" % (lowest / 2**20) if lowest is not None else "-",
                             len(run.wiper_files_left())))
        output = run.stdout + run.stderr
        self.assertEqual(0, run.status, output)
        self.assertIn("Wiping free space on /vol/1/ (", run.stdout)
        self.assertGreater(len(PROGRESS.findall(run.stdout)), 10, run.stdout)
        self.assertIn("Complete", run.stderr)
        self.assertEqual([], run.wiper_files_left())
        self.assertEqual(run.before, run.after)
        # The pattern really was on the disk, so that a count of 0 afterwards means something.
        self.assertGreater(counts["before"], MARKED_BLOCKS * 9 // 10)
        return after, lowest

    def test_ext4(self):
        after, _ = self.wipe(*CASES[0])
        self.assertLessEqual(after, ext4_kept_back(CASES[0][3]))

    def test_xfs(self):
        after, _ = self.wipe(*CASES[1])
        self.assertEqual(0, after)

    def test_btrfs(self):
        after, _ = self.wipe(*CASES[2])
        self.assertEqual(0, after)

    def test_btrfs_compress_zstd(self):
        after, _ = self.wipe(*CASES[3])
        self.assertEqual(0, after)

    def test_btrfs_compress_force_zstd(self):
        after, lowest = self.wipe(*CASES[4])
        self.assertEqual(0, after)
        # Forced compression would store the zeros in next to nothing; the wiper's files are
        # marked not to be compressed, so the free space really runs out.
        self.assertIsNotNone(lowest)
        self.assertLess(lowest, 2 * 2**20)

    def test_fat32(self):
        after, _ = self.wipe(*CASES[5])
        self.assertEqual(0, after)

    def test_exfat(self):
        after, _ = self.wipe(*CASES[6])
        self.assertEqual(0, after)

    def test_f2fs(self):
        after, _ = self.wipe(*CASES[7])
        self.assertEqual(0, after)


class NoFixedVolumeTest(unittest.TestCase):

    def test_a_guest_without_fixed_volumes_is_told_so(self):
        if harness.OPTIONS.platform != "posix":
            self.skipTest("the Linux tool's own volume walk")
        # Only memory-backed and read-only file systems: nothing to wipe, and the run says so
        # before it asks for the shrink as before.
        run = harness.run_linux(self, "shrink-sim", "reply disk.wiper.enable=1 1", images=())
        self.assertEqual(0, run.status, run.stderr)
        self.assertEqual("No fixed volume found\nComplete\n", run.stderr)
        self.assertEqual("", run.stdout)
        self.assertEqual(["disk.wiper.enable", "disk.shrink"], run.commands())


if __name__ == "__main__":
    harness.main()
