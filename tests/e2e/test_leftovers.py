"""Nothing left on the disk when a whole run dies from outside: SIGKILL at random moments of the
file loop on ext4, xfs, btrfs and FAT32; a simulated power loss (the file system frozen in the
middle of a wipe and its image copied); a run whose open-file limit is far below its number of
wiper files; and under Wine, the process killed in the middle of a wipe and the leftovers of a
dead run.

Linux runs happen in scripts/sandbox-run. FAT is mounted there with fusefat on a loop device (this
kernel has no vfat): FUSE, like FAT itself, frees no file without a name after a crash, so the
wiper keeps its files named there, and the next run removes what a killed one left.
"""
import os
import random
import re
import shutil
import subprocess
import tempfile
import time
import unittest

import harness

MIB = 1024 * 1024

# Shell helpers of every sandboxed script: the volume's free bytes (as statfs gives them, and
# after a sync of the volume), the wiper files it has by name, whether a process has a wiper file
# open, and how many bytes it has written.
COMMON = r"""
set -u
v=/vol/1
freeb() { stat -f -c '%f %S' $v | awk '{ printf "%.0f\n", $1 * $2 }'; }
synced() { sync -f $v; freeb; }
named() { ls -a $v | grep '^tzl_wiper_' | tr '\n' ' '; }
wiping() { ls -l /proc/$1/fd 2>/dev/null | grep -q tzl_wiper_; }
written() { awk '/^wchar/ { print $2 }' /proc/$1/io 2>/dev/null || echo 0; }
"""

# One full run in the background, timing the file loop: from the first wiper file open to the
# last one closed (the tool's descriptors show them; free space would not: btrfs counts written
# blocks only once they are allocated). Leaves fill_ms, total (the bytes it wrote) and the run's
# streams in /out.
TIMED_RUN = r"""
base=$(synced)
sh /tmp/tool.sh > /out/full.out 2> /out/full.err < /dev/null &
pid=$!
start=0; end=0
while kill -0 $pid 2>/dev/null && [ $end = 0 ]; do
  if wiping $pid; then
    [ $start = 0 ] && start=$(date +%s%N)
  elif [ $start != 0 ]; then
    end=$(date +%s%N)
  fi
  sleep 0.002
done
wait $pid; echo $? > /out/full.status
[ $end = 0 ] && end=$(date +%s%N)
[ $start = 0 ] && start=$end
fill_ms=$(( (end - start) / 1000000 ))
echo $fill_ms > /out/fill_ms
# What it wrote, from its last progress line.
total=$(awk '/MB complete/ { n = $1 } END { printf "%.0f", n * 1048576 }' /out/full.out)
echo $total > /out/total
echo $base $(synced) > /out/full.space
"""

# Kills a run at each moment given as a fraction of 95 % of what the full run wrote; a fraction of
# 1 or more kills it after its file loop, in the pause before the shrink. One line per trial in
# /out/trials: number, status, pid, free bytes before, right after the reap and after syncs, the
# syncs it took, and the wiper files left by name.
KILL_TRIALS = r"""
i=0
for f in %(fractions)s; do
  i=$((i + 1))
  base=$(synced)
  sh /tmp/tool.sh > /out/trial.$i.out 2> /out/trial.$i.err < /dev/null &
  pid=$!
  if [ $(awk "BEGIN { print ($f >= 1) }") = 1 ]; then
    until wiping $pid || ! kill -0 $pid 2>/dev/null; do sleep 0.002; done
    while wiping $pid; do sleep 0.002; done
  else
    target=$(awk "BEGIN { printf \"%%.0f\", $f * 0.95 * $total }")
    while kill -0 $pid 2>/dev/null && [ $(written $pid) -lt $target ]; do sleep 0.001; done
  fi
  kill -KILL $pid 2>/dev/null
  { wait $pid; } 2>/dev/null; status=$?
  raw=$(freeb)
  # btrfs counts freed extents as free once a commit has seen them go, xfs once its background
  # worker has freed the file: a few syncs at most.
  after=$(synced); syncs=1
  while [ $((base - after)) -gt 1048576 ] && [ $syncs -lt 5 ]; do
    sleep 0.1; after=$(synced); syncs=$((syncs + 1))
  done
  echo "$i $status $pid $base $raw $after $syncs $(named)" >> /out/trials
done
# A last run after the kills: it removes what they left by name, and wipes.
base=$(synced)
sh /tmp/tool.sh > /out/last.out 2> /out/last.err < /dev/null; echo $? > /out/last.status
echo $base $(synced) $(named) > /out/last.space
"""


def full_matrix(test):
    """Skips a test outside the plain 64-bit build: the sanitizer and i386 builds run the ext4
    cases only, to keep the whole check's time."""
    cache = harness.read(os.path.join(harness.OPTIONS.build_dir, "CMakeCache.txt"))
    if "SHRINK_SANITIZE:BOOL=ON" in cache or "linux32.cmake" in cache:
        test.skipTest("the full file-system matrix runs in the linux build")


def tool_script():
    binary = os.path.join(harness.OPTIONS.build_dir, "shrink-sim")
    return "printf '%%s\\n' %s > /tmp/tool.sh\n" % harness.shell_quote(
        "exec env SHRINK_SIM_SCRIPT= " + binary)


# FAT is made as mkfs.vfat chooses for the size (FAT16 here) and mounted as FAT32 is: where the
# kernel has no vfat, fusefat reports no space at all for FAT32 (its cluster counts come as the
# inode counts), and a volume without free space is not wiped. The wiper treats every FAT alike.
MKFS = dict(harness.MKFS, fat=harness.MKFS["vfat"])


def make_image(path, size_mb, fstype):
    with open(path, "wb") as f:
        f.truncate(size_mb * MIB)
    subprocess.run(MKFS[fstype] + [path], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


# Sizes near each file system's smallest, so that a wipe takes well under a second.
SIZES = {"ext4": 64, "xfs": 300, "btrfs": 128, "fat": 40}


class Sandbox:
    """A tmpfs scratch with /out for one or more sandboxed runs of a script on images."""

    def __init__(self, test, size_mb):
        if not harness.is_root():
            test.skipTest("needs root for the mount namespace and loop devices")
        self.test = test
        self.scratch = harness.Scratch(size_mb)
        self.out = os.path.join(self.scratch.path, "out")
        os.mkdir(self.out)

    def volume(self, fstype, size_mb=None, directory=None):
        """Makes an image; returns its sandbox-run argument."""
        size_mb = size_mb or SIZES[fstype]
        mount_type = harness.mount_type("fat32" if fstype == "fat" else fstype)
        needed = [MKFS[fstype][0]] + (["fusefat", "losetup"]
                                              if mount_type == "fusefat" else [])
        for program in needed:
            if shutil.which(program) is None:
                self.test.skipTest("no %s for %s" % (program, fstype))
        image = os.path.join(directory or self.scratch.path, "%s.img" % fstype)
        make_image(image, size_mb, fstype)
        return "%s:%s" % (image, mount_type)

    def run(self, body, volume, timeout=300):
        script = os.path.join(self.scratch.path, "script.sh")
        with open(script, "w") as f:
            f.write(COMMON + tool_script() + body)
        command = [os.path.join(harness.SCRIPTS, "sandbox-run"), self.out, script]
        # A session of its own, so that a script that hangs is ended with all it started.
        process = subprocess.Popen(command + [volume], start_new_session=True)
        try:
            status = process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, 9)
            process.wait()
            raise
        self.test.assertEqual(0, status, "the sandboxed script failed")

    def read(self, name):
        return harness.read(os.path.join(self.out, name))

    def close(self):
        self.scratch.close()


class LinuxKillTest(unittest.TestCase):
    def setUp(self):
        if harness.OPTIONS.platform != "posix":
            self.skipTest("runs of the Linux build")

    def campaign(self, fstype, trials=20):
        # btrfs at times refuses a small volume's last tens of MiB when it was filled just before
        # (its frees wait for a commit): such a run ends by itself before its kill, so it gets
        # more trials.
        if fstype == "btrfs":
            trials = 30
        rng = random.Random("kill-%s" % fstype)
        # Moments all over the file loop, and a few just after it (the flush, the closes and the
        # pause).
        fractions = ["%.3f" % rng.uniform(0.0, 1.1) for _ in range(trials)]
        sandbox = Sandbox(self, 2 * SIZES[fstype] + 16)
        try:
            volume = sandbox.volume(fstype)
            sandbox.run(TIMED_RUN + KILL_TRIALS % {"fractions": " ".join(fractions)}, volume)
            full = sandbox.read("full.space").split()
            self.assertEqual("0", sandbox.read("full.status").strip(), sandbox.read("full.err"))
            self.assertGreater(int(sandbox.read("total")), MIB)
            self.assertLessEqual(abs(int(full[0]) - int(full[1])), MIB)
            rows = [line.split() for line in sandbox.read("trials").splitlines()]
            last = sandbox.read("last.space").split()
            for row in rows:
                if row[1] == "0":
                    print("trial %s ended by itself: %r %r" % (
                        row[0], sandbox.read("trial.%s.out" % row[0])[-300:],
                        sandbox.read("trial.%s.err" % row[0])))
                    break
            return (int(sandbox.read("fill_ms")), rows, sandbox.read("last.out"),
                    sandbox.read("last.status").strip(), last)
        finally:
            sandbox.close()

    def check_nothing_held(self, fstype):
        fill_ms, rows, _, last_status, last = self.campaign(fstype)
        killed = [row for row in rows if row[1] == "137"]
        worst_raw = most_syncs = 0
        for number, status, pid, base, raw, synced, syncs, *named in rows:
            worst_raw = max(worst_raw, int(base) - int(raw))
            most_syncs = max(most_syncs, int(syncs))
            with self.subTest(trial=number, status=status):
                self.assertEqual([], named)
                # Right after the reap the space is back; btrfs shows extents freed only once
                # a transaction commit has seen them go, and xfs frees the blocks of a file
                # without a name in a background worker after its last close: the syncs make
                # both happen at once.
                if fstype not in ("btrfs", "xfs"):
                    self.assertLessEqual(int(base) - int(raw), MIB)
                self.assertLessEqual(int(base) - int(synced), MIB)
        print("%s: %d of %d trials killed in a file loop of %d ms; most held right after a "
              "reap %d bytes; back after at most %d syncs" %
              (fstype, len(killed), len(rows), fill_ms, worst_raw, most_syncs))
        self.assertGreaterEqual(len(killed), 20 if fstype == "btrfs" else 19, rows)
        self.assertEqual("0", last_status)
        self.assertEqual(2, len(last))

    def test_sigkill_on_ext4(self):
        self.check_nothing_held("ext4")

    def test_sigkill_on_xfs(self):
        full_matrix(self)
        self.check_nothing_held("xfs")

    def test_sigkill_on_btrfs(self):
        full_matrix(self)
        self.check_nothing_held("btrfs")

    def test_sigkill_on_fat32(self):
        full_matrix(self)
        # FAT keeps the files named: a killed run leaves its own, and the next run removes them
        # before it writes, so no more than one killed run's files are ever there.
        fill_ms, rows, last_out, last_status, last = self.campaign("fat")
        killed = [row for row in rows if row[1] == "137"]
        left = 0
        for number, status, pid, base, raw, synced, syncs, *named in rows:
            with self.subTest(trial=number, status=status):
                for name in named:
                    self.assertRegex(name, r"^tzl_wiper_%s\.\d+$" % pid)
                if status != "137":
                    self.assertEqual([], named)
                left = len(named)
        print("fat: %d of %d trials killed in a file loop of %d ms; the last left %d files" %
              (len(killed), len(rows), fill_ms, left))
        self.assertGreaterEqual(len(killed), 19, rows)
        self.assertEqual("0", last_status)
        if left:
            self.assertIn("Removed %d wiper files left by an earlier run on /vol/1/\n" % left,
                          last_out)
        else:
            self.assertNotIn("Removed", last_out)
        # Nothing is left after the last run, and its space is what it was before the kills'
        # leftovers were removed, at least.
        self.assertEqual(2, len(last), last)
        self.assertGreaterEqual(int(last[1]) + MIB, int(last[0]))


# The wipe frozen half way, the volume's device copied as a power loss would leave it, and thawed;
# the run is then killed. /out/base holds the free bytes before the run, /out/named the names in
# the root while frozen.
FREEZE = r"""
base=$(synced)
echo $base > /out/base
sh /tmp/tool.sh > /out/stdout 2> /out/stderr < /dev/null &
pid=$!
# A quarter of the way by what it has written (btrfs shows written blocks as taken only once they
# are allocated, and its raw free figure is more than a small volume takes).
while kill -0 $pid 2>/dev/null && [ $(written $pid) -lt $((base / 4)) ]; do sleep 0.002; done
kill -0 $pid 2>/dev/null && echo $(written $pid) > /out/written
%(stop)s
named > /out/named
echo $pid > /out/pid
dd if=$(findmnt -n -o SOURCE $v) of=/out/copy.img bs=1M status=none
%(go)s
kill -KILL $pid 2>/dev/null
{ wait $pid; } 2>/dev/null || true
"""

# The copy mounted as it would be after the power came back, and then wiped by a whole run.
AFTER_POWER_LOSS = r"""
named > /out/copy.named
synced > /out/copy.free
sh /tmp/tool.sh > /out/stdout 2> /out/stderr < /dev/null; echo $? > /out/status
named > /out/after.named
synced > /out/after.free
"""


class LinuxPowerLossTest(unittest.TestCase):
    def setUp(self):
        if harness.OPTIONS.platform != "posix":
            self.skipTest("runs of the Linux build")
        if shutil.which("fsfreeze") is None:
            self.skipTest("no fsfreeze")

    def power_loss(self, fstype):
        sandbox = Sandbox(self, 3 * SIZES[fstype] + 16)
        try:
            volume = sandbox.volume(fstype)
            mount_type = volume.rsplit(":", 1)[1]
            if mount_type == "fusefat":
                # FUSE cannot be frozen, and fusefat does not cope with an image copied under it
                # in the middle of a write: the run is killed first. Its file keeps its name on
                # FAT, as it would after a power loss.
                steps = {"stop": "kill -KILL $pid\n{ wait $pid; } 2>/dev/null", "go": ""}
            else:
                steps = {"stop": "fsfreeze -f $v", "go": "fsfreeze -u $v"}
            sandbox.run(FREEZE % steps, volume)
            base, pid, named = (int(sandbox.read("base")), sandbox.read("pid").strip(),
                                sandbox.read("named").split())
            # Frozen while the run was still writing, a quarter through the free space.
            written = sandbox.read("written").strip()
            self.assertTrue(written, "the run ended before the freeze")
            self.assertGreaterEqual(int(written), base // 4)
            copy = os.path.join(sandbox.out, "copy.img")
            sandbox.run(AFTER_POWER_LOSS, "%s:%s" % (copy, mount_type))
            return (base, pid, named, sandbox.read("copy.named").split(),
                    int(sandbox.read("copy.free")), sandbox.read("stdout"),
                    sandbox.read("status").strip(), sandbox.read("after.named").split(),
                    int(sandbox.read("after.free")))
        finally:
            sandbox.close()

    def check_recovered(self, fstype):
        base, _, named, copy_named, copy_free, stdout, status, after_named, after_free = \
            self.power_loss(fstype)
        print("%s: free before %d, on the copy after its mount %d" % (fstype, base, copy_free))
        self.assertEqual([], named)
        self.assertEqual([], copy_named)
        self.assertLessEqual(abs(base - copy_free), MIB)
        self.assertNotIn("Removed", stdout)
        self.assertEqual("0", status)
        self.assertEqual([], after_named)

    def test_power_loss_on_ext4(self):
        self.check_recovered("ext4")

    def test_power_loss_on_xfs(self):
        full_matrix(self)
        self.check_recovered("xfs")

    def test_power_loss_on_btrfs(self):
        full_matrix(self)
        self.check_recovered("btrfs")

    def test_power_loss_on_fat32(self):
        full_matrix(self)
        base, pid, named, copy_named, copy_free, stdout, status, after_named, after_free = \
            self.power_loss("fat")
        print("fat: free before %d, on the copy %d, after the next run %d" %
              (base, copy_free, after_free))
        self.assertEqual(["tzl_wiper_%s.0" % pid], named)
        self.assertEqual(named, copy_named)
        self.assertLess(copy_free, base * 3 / 4)
        self.assertTrue(stdout.startswith(
            "Wiping free space on /vol/1/ (%d / " % (copy_free >> 20)), stdout[:200])
        self.assertIn("Removed 1 wiper files left by an earlier run on /vol/1/\n", stdout)
        self.assertEqual("0", status)
        self.assertEqual([], after_named)
        self.assertLessEqual(abs(base - after_free), MIB)


# A run whose open-file limit leaves descriptors for fewer files than it writes: the sampling
# notes the most wiper files open without a name and the most there by name at one time.
LIMITED = r"""
for limits in %(limits)s; do
  base=$(synced)
  prlimit --nofile=$limits sh /tmp/tool.sh > /out/stdout.$limits 2> /out/stderr.$limits < /dev/null &
  pid=$!
  held=0; byname=0
  while kill -0 $pid 2>/dev/null; do
    h=$(ls -l /proc/$pid/fd 2>/dev/null | grep -c 'tzl_wiper_.*(deleted)')
    n=$(ls $v | grep -c '^tzl_wiper_')
    [ $h -gt $held ] && held=$h
    [ $n -gt $byname ] && byname=$n
    sleep 0.02
  done
  { wait $pid; } 2>/dev/null; status=$?
  echo $limits $status $base $(synced) $held $byname $(named) >> /out/limited
done
"""


class OpenFileLimitTest(unittest.TestCase):
    def setUp(self):
        if harness.OPTIONS.platform != "posix":
            self.skipTest("runs of the Linux build")
        if shutil.which("prlimit") is None:
            self.skipTest("no prlimit")

    def test_more_files_than_descriptors(self):
        full_matrix(self)
        # About 2 GiB free: three wiper files. 12 descriptors (soft and hard) leave room for one
        # held file; a soft limit of 12 under a hard one of 4096 is raised, and all are held.
        disk = tempfile.mkdtemp(prefix="shrink-e2e-disk-", dir="/var/tmp")
        sandbox = Sandbox(self, 16)
        try:
            volume = sandbox.volume("ext4", size_mb=2200, directory=disk)
            sandbox.run(LIMITED % {"limits": "12:12 12:4096"}, volume, timeout=600)
            rows = [line.split() for line in sandbox.read("limited").splitlines()]
            outputs = {limits: sandbox.read("stdout." + limits) for limits in ("12:12", "12:4096")}
            errors = {limits: sandbox.read("stderr." + limits) for limits in ("12:12", "12:4096")}
        finally:
            sandbox.close()
            shutil.rmtree(disk)
        print("open-file limits: %s" % rows)
        self.assertEqual(2, len(rows))
        expected_counts = {"12:12": (1, 1), "12:4096": (3, 0)}
        for limits, status, base, after, held, byname, *named in rows:
            with self.subTest(limits=limits):
                self.assertEqual("0", status, errors[limits])
                self.assertEqual("Complete\n", errors[limits])
                # The whole volume was written: the last progress figure is its free space, but
                # for the blocks that ext4 takes for the files' own extent trees.
                figures = re.findall(r"(\d+) / (\d+) MB complete", outputs[limits])
                self.assertGreater(int(figures[-1][0]), 2000)
                self.assertGreaterEqual(int(figures[-1][0]) + 16, int(figures[-1][1]))
                self.assertEqual([], named)
                self.assertLessEqual(abs(int(base) - int(after)), MIB)
                most_held, most_named = expected_counts[limits]
                self.assertEqual(most_held, int(held))
                if most_named:
                    self.assertGreaterEqual(int(byname), most_named)
                else:
                    self.assertEqual(0, int(byname))


class WineKillTest(unittest.TestCase):
    def setUp(self):
        if harness.OPTIONS.platform != "win32":
            self.skipTest("runs of the Windows build")
        if not harness.is_root():
            self.skipTest("needs root for the tmpfs drives")

    def test_killed_in_the_middle_of_a_wipe_leaves_nothing(self):
        if harness.emulated_i386_windows("shrink-sim.exe"):
            self.skipTest("Wine through qemu-i386: a wipe there takes minutes")
        prefix = harness.wine_prefix()
        subprocess.run([os.path.join(harness.SCRIPTS, "wine-prefix"), prefix], check=True)
        rng = random.Random("wine-kill")
        for trial in range(3):
            drives = harness.WineDrives(prefix, (("d", 256),))
            try:
                root = drives.paths[0]
                before = os.statvfs(root)
                env = dict(os.environ, SHRINK_SIM_SCRIPT="", SHRINK_WINEPREFIX=prefix)
                process = subprocess.Popen(
                    [os.path.join(harness.SCRIPTS, "wine-run"),
                     os.path.join(harness.OPTIONS.build_dir, "shrink-sim.exe")],
                    env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                    stderr=subprocess.DEVNULL)
                deadline = time.time() + 60
                while time.time() < deadline and process.poll() is None:
                    if any(harness.WIPER_NAME.search(n) for n in os.listdir(root)):
                        break
                    time.sleep(0.005)
                time.sleep(rng.uniform(0.0, 0.05))
                with self.subTest(trial=trial):
                    self.assertIsNone(process.poll(), "the run ended before the kill")
                    taken = before.f_bfree - os.statvfs(root).f_bfree
                    # wine-run ends in an exec of the Wine loader, which becomes the program.
                    process.kill()
                    process.wait(timeout=30)
                    # The Wine server deletes the files of the handles that the dead process
                    # held, as Windows does, and then lets go of them; it may take a moment to see
                    # the death.
                    deadline = time.time() + 10
                    while time.time() < deadline and (
                            any(harness.WIPER_NAME.search(n) for n in os.listdir(root)) or
                            (before.f_bfree - os.statvfs(root).f_bfree) * before.f_frsize > MIB):
                        time.sleep(0.05)
                    self.assertEqual([], [n for n in os.listdir(root)
                                          if harness.WIPER_NAME.search(n)])
                    after = os.statvfs(root)
                    print("wine kill %d: %d MiB taken when killed, %d KiB held after" %
                          (trial, taken * before.f_frsize >> 20,
                           max(0, before.f_bfree - after.f_bfree) * before.f_frsize >> 10))
                    self.assertGreater(taken * before.f_frsize, MIB)
                    self.assertLessEqual((before.f_bfree - after.f_bfree) * before.f_frsize, MIB)
            finally:
                if process.poll() is None:
                    process.kill()
                    process.wait()
                drives.close()

    def test_leftovers_of_a_dead_run_are_removed(self):
        prefix = harness.wine_prefix()
        subprocess.run([os.path.join(harness.SCRIPTS, "wine-prefix"), prefix], check=True)
        drives = harness.WineDrives(prefix, (("d", 24),))
        outside = tempfile.mkdtemp(prefix="shrink-e2e-link-")
        try:
            root = drives.paths[0]
            # Windows process ids are multiples of 4 that stay far below this one.
            dead = 4194300
            with open(os.path.join(root, "tzl_wiper_%d.0" % dead), "wb") as f:
                f.write(b"\0" * (3 * MIB))
            target = os.path.join(outside, "target.txt")
            with open(target, "w") as f:
                f.write("outside the drive\n")
            os.symlink(target, os.path.join(root, "tzl_wiper_%d.1" % dead))
            os.mkdir(os.path.join(root, "tzl_wiper_%d.2" % dead))
            with open(os.path.join(root, "tzl_wiper_%d.2" % dead, "inside.txt"), "w") as f:
                f.write("inside\n")
            with open(os.path.join(root, "tzl_wiper_%d.3.txt" % dead), "w") as f:
                f.write("mine\n")
            env = dict(os.environ, SHRINK_SIM_SCRIPT="", SHRINK_WINEPREFIX=prefix)
            result = subprocess.run([os.path.join(harness.SCRIPTS, "wine-run"),
                                     os.path.join(harness.OPTIONS.build_dir, "shrink-sim.exe")],
                                    env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, timeout=900)
            stdout = result.stdout.decode("latin-1").replace("\r\n", "\n")
            self.assertEqual(0, result.returncode, result.stderr)
            lines = stdout.split("\n")
            self.assertRegex(lines[0], r"^Wiping free space on D:\\ \(\d+ / \d+ MB free\)\.$")
            self.assertEqual("Removed 1 wiper files left by an earlier run on D:\\", lines[1])
            self.assertEqual(sorted(["tzl_wiper_%d.1" % dead, "tzl_wiper_%d.2" % dead,
                                     "tzl_wiper_%d.3.txt" % dead]), sorted(os.listdir(root)))
            self.assertTrue(os.path.islink(os.path.join(root, "tzl_wiper_%d.1" % dead)))
            self.assertEqual("outside the drive\n", harness.read(target))
            self.assertEqual("inside\n", harness.read(
                os.path.join(root, "tzl_wiper_%d.2" % dead, "inside.txt")))
        finally:
            drives.close()
            shutil.rmtree(outside)


if __name__ == "__main__":
    harness.main()
