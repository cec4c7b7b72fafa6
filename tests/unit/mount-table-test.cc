// The choice of fixed volumes from Linux mount tables: texts as /proc/self/mountinfo gives them,
// with the answers of the device nodes and of the mount ids that the paths show now.
#include <stdint.h>
#include <string.h>

#include <ostream>
#include <string>
#include <vector>

#include "gtest/gtest.h"

#include "wiper/mount-table.h"

namespace {

// A block device node: its path and numbers.
struct NodeAnswer {
  const char* path;  // null ends the list
  unsigned major;
  unsigned minor;
};

// The mount that a path shows now; a path not listed cannot be looked at.
struct ShownAnswer {
  const char* path;  // null ends the list
  uint64_t mountId;
};

struct TableCase {
  const char* name;
  const char* table;
  NodeAnswer nodes[4];
  ShownAnswer shown[8];
  bool noMountIds;     // the kernel gives no mount ids: every path answers so
  const char* chosen;  // the chosen mount points, one per line
};

void PrintTo(const TableCase& c, std::ostream* os) { *os << c.name; }

const TableCase* g_case = nullptr;

bool TableBlockDevice(const char* path, unsigned* major, unsigned* minor) {
  for (const NodeAnswer* node = g_case->nodes; node->path != nullptr; ++node) {
    if (strcmp(node->path, path) == 0) {
      *major = node->major;
      *minor = node->minor;
      return true;
    }
  }
  return false;
}

MountIdAnswer TableMountIdAt(const char* path, uint64_t* mountId) {
  if (g_case->noMountIds)
    return MOUNT_ID_UNSUPPORTED;
  for (const ShownAnswer* shown = g_case->shown; shown->path != nullptr; ++shown) {
    if (strcmp(shown->path, path) == 0) {
      *mountId = shown->mountId;
      return MOUNT_ID_FOUND;
    }
  }
  return MOUNT_ID_FAILED;
}

// The head of a table that every case shares: the pseudo file systems of a guest.
#define PSEUDO                                                           \
  "21 1 0:20 / /proc rw,relatime - proc proc rw\n"                     \
  "22 1 0:21 / /sys rw,relatime - sysfs sysfs rw\n"                    \
  "23 1 0:6 / /dev rw,relatime - devtmpfs devtmpfs rw,mode=755\n"      \
  "24 23 0:23 / /dev/shm rw,relatime shared:3 - tmpfs tmpfs rw\n"

const TableCase kTableCases[] = {
    {"OneDiskAmongPseudoFileSystems",
     "20 1 8:1 / / rw,relatime shared:1 - ext4 /dev/vda1 rw\n" PSEUDO,
     {{"/dev/vda1", 8, 1}, {}},
     {{"/", 20}, {"/proc", 21}, {"/sys", 22}, {"/dev", 23}, {"/dev/shm", 24}, {}},
     false,
     "/\n"},
    // Every btrfs mount has a device number of its own in the table (0:47, 0:48) and another
    // again from stat: the mount ids and the source device decide, so the disk counts once.
    {"BtrfsSubvolumesOneDisk",
     "30 1 0:47 / / rw,relatime shared:1 - btrfs /dev/vda2 rw,compress=zstd:3,subvol=/@\n" PSEUDO
     "31 30 0:48 / /home rw,relatime shared:5 - btrfs /dev/vda2 rw,subvol=/@home\n"
     "32 30 8:1 / /boot rw,relatime shared:6 - ext4 /dev/vda1 rw\n",
     {{"/dev/vda2", 254, 2}, {"/dev/vda1", 8, 1}, {}},
     {{"/", 30}, {"/home", 31}, {"/boot", 32}, {}},
     false,
     "/\n/boot\n"},
    {"BtrfsSubvolumesNoMountIds",
     "30 1 0:47 / / rw,relatime shared:1 - btrfs /dev/vda2 rw,subvol=/@\n" PSEUDO
     "31 30 0:48 / /home rw,relatime shared:5 - btrfs /dev/vda2 rw,subvol=/@home\n",
     {{"/dev/vda2", 254, 2}, {}},
     {{}},
     true,
     "/\n"},
    // A subdirectory of a mounted disk bound elsewhere is that disk again; a subdirectory bind
    // of a disk whose own mount is gone is the only way to it.
    {"BindMountsOfSubdirectories",
     "20 1 8:1 / / rw,relatime - ext4 /dev/vda1 rw\n" PSEUDO
     "40 20 8:1 /srv/data /mnt/data rw,relatime - ext4 /dev/vda1 rw\n"
     "41 20 8:17 /exports /exports rw,relatime - xfs /dev/vdb1 rw\n",
     {{"/dev/vda1", 8, 1}, {"/dev/vdb1", 8, 17}, {}},
     {{"/", 20}, {"/mnt/data", 40}, {"/exports", 41}, {}},
     false,
     "/\n/exports\n"},
    // A disk covered by a later mount at its mount point is not the one found there; the same
    // disk mounted again elsewhere is.
    {"OverMountedThenMountedAgain",
     "20 1 8:1 / / rw,relatime - ext4 /dev/vda1 rw\n" PSEUDO
     "50 20 8:16 / /data rw,relatime - ext4 /dev/vdb rw\n"
     "51 20 0:60 / /data rw,relatime - tmpfs cover rw\n"
     "52 20 8:16 / /second rw,relatime - ext4 /dev/vdb rw\n",
     {{"/dev/vda1", 8, 1}, {"/dev/vdb", 8, 16}, {}},
     {{"/", 20}, {"/data", 51}, {"/second", 52}, {}},
     false,
     "/\n/second\n"},
    {"CoveredFromAbove",
     "20 1 8:1 / / rw,relatime - ext4 /dev/vda1 rw\n" PSEUDO
     "50 20 0:61 / /srv rw,relatime - tmpfs srv rw\n"
     "51 50 8:16 / /srv/disk rw,relatime - ext4 /dev/vdb rw\n"
     "52 20 0:62 / /srv rw,relatime - tmpfs over rw\n",
     {{"/dev/vda1", 8, 1}, {"/dev/vdb", 8, 16}, {}},
     {{"/", 20}, {"/srv", 52}, {}},
     false,
     "/\n"},
    // The table names a mount whose point now shows another one (its mount is gone, and the
    // directory shows the one below), or cannot be looked at at all.
    {"MountIdsThatNoLongerExist",
     "20 1 8:1 / / rw,relatime - ext4 /dev/vda1 rw\n" PSEUDO
     "60 20 8:32 / /gone rw,relatime - ext4 /dev/vdc rw\n"
     "61 20 8:48 / /vanished rw,relatime - ext4 /dev/vdd rw\n",
     {{"/dev/vda1", 8, 1}, {"/dev/vdc", 8, 32}, {"/dev/vdd", 8, 48}, {}},
     {{"/", 20}, {"/gone", 20}, {}},
     false,
     "/\n"},
    // Ids that the table does not have (an emulator that sets the mask and leaves the id 0) are
    // no answer: the order of the table decides, as without mount ids.
    {"MountIdsUnknownToTheTable",
     "20 1 8:1 / / rw,relatime - ext4 /dev/vda1 rw\n" PSEUDO
     "50 20 8:16 / /data rw,relatime - ext4 /dev/vdb rw\n"
     "51 20 0:60 / /data rw,relatime - tmpfs cover rw\n"
     "52 20 8:32 / /second rw,relatime - ext4 /dev/vdc rw\n",
     {{"/dev/vda1", 8, 1}, {"/dev/vdb", 8, 16}, {"/dev/vdc", 8, 32}, {}},
     {{"/", 0}, {"/data", 0}, {"/second", 0}, {}},
     false,
     "/\n/second\n"},
    {"NoMountIdsLaterMountsDecide",
     "20 1 8:1 / / rw,relatime - ext4 /dev/vda1 rw\n" PSEUDO
     "50 20 8:16 / /data rw,relatime - ext4 /dev/vdb rw\n"
     "51 20 0:60 / /data rw,relatime - tmpfs cover rw\n"
     "52 20 8:32 / /srv/disk rw,relatime - ext4 /dev/vdc rw\n"
     "53 20 0:61 / /srv rw,relatime - tmpfs over rw\n"
     "54 20 8:48 / /data2 rw,relatime - ext4 /dev/vdd rw\n"
     "55 54 0:62 / /data2/cache rw,relatime - tmpfs cache rw\n",
     {{"/dev/vda1", 8, 1}, {"/dev/vdb", 8, 16}, {"/dev/vdc", 8, 32}, {"/dev/vdd", 8, 48}},
     {{}},
     true,
     "/\n/data2\n"},
    // The root moved into place after the mounts inside it, as the switch from an initial
    // ramdisk leaves the table: the root is what they hang from, not a mount over them.
    {"NoMountIdsRootListedAfterItsChildren",
     "70 80 8:2 / /usr rw,relatime - ext4 /dev/vda2 rw\n"
     "80 1 8:1 / / rw,relatime - ext4 /dev/vda1 rw\n",
     {{"/dev/vda1", 8, 1}, {"/dev/vda2", 8, 2}, {}},
     {{}},
     true,
     "/usr\n/\n"},
    {"ReadOnlyNetworkAndMemoryLeftOut",
     "20 1 8:1 / / ro,relatime - ext4 /dev/vda1 rw\n"
     "21 20 8:16 / /data rw,relatime - ext4 /dev/vdb ro\n"
     "22 20 0:50 / /net rw,relatime - nfs4 server:/export rw,vers=4.2\n"
     "23 20 8:32 / /mem rw,relatime - tmpfs /dev/vdc rw\n"
     "24 20 0:51 / /fuse rw,relatime - fuse.sshfs me@host:/ rw\n"
     "25 20 8:48 / /rw rw,relatime - ext4 /dev/vdd rw\n",
     {{"/dev/vda1", 8, 1}, {"/dev/vdb", 8, 16}, {"/dev/vdc", 8, 32}, {"/dev/vdd", 8, 48}},
     {{"/", 20}, {"/data", 21}, {"/net", 22}, {"/mem", 23}, {"/fuse", 24}, {"/rw", 25}, {}},
     false,
     "/rw\n"},
    // Escapes undone in the mount point and the source; a device node that is not there
    // ("/dev/root") leaves the table's own device number, which a disk file system has.
    {"SpacesAndAMissingDeviceNode",
     "20 1 8:1 / / rw,relatime - ext4 /dev/root rw\n"
     "21 20 8:16 / /disk\\040one rw,relatime - ext4 /dev/disk\\040b rw\n"
     "22 20 8:16 / /again rw,relatime - ext4 /dev/vdb rw\n"
     "bad line\n"
     "23 20 8:32 / /mnt/tab\\011bed\\134 rw - vfat /dev/vdc rw\n",
     {{"/dev/disk b", 8, 16}, {"/dev/vdb", 8, 16}, {"/dev/vdc", 8, 32}, {}},
     {{"/", 20}, {"/disk one", 21}, {"/again", 22}, {"/mnt/tab\tbed\\", 23}, {}},
     false,
     "/\n/disk one\n/mnt/tab\tbed\\\n"},
};

class MountTableTest : public testing::TestWithParam<TableCase> {};

TEST_P(MountTableTest, ChoosesEachShownDiskOnce) {
  g_case = &GetParam();
  std::string text = GetParam().table;
  std::vector<MountEntry> entries;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    text[end] = '\0';
    MountEntry entry;
    if (MountParseLine(&text[at], &entry))
      entries.push_back(entry);
    at = end + 1;
  }
  std::vector<MountChoice> choices(entries.size());
  MountLookup lookup = {TableBlockDevice, TableMountIdAt};
  uint32_t chosen =
      MountChooseFixed(entries.data(), (uint32_t)entries.size(), lookup, choices.data());
  std::string names;
  for (uint32_t n = 0; n < chosen; ++n)
    names += std::string(entries[choices[n].entry].mountPoint) + "\n";
  EXPECT_EQ(GetParam().chosen, names);
}

INSTANTIATE_TEST_SUITE_P(Tables, MountTableTest, testing::ValuesIn(kTableCases),
                         [](const testing::TestParamInfo<TableCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(MountParseLineTest, TakesTheFieldsAroundTheSeparator) {
  char line[] =
      "36 35 98:0 /mnt1 /mnt\\040two rw,noatime master:1 propagate_from:2 - ext3 /dev/root "
      "rw,errors=continue";
  MountEntry entry;
  ASSERT_TRUE(MountParseLine(line, &entry));
  EXPECT_EQ(36u, entry.mountId);
  EXPECT_EQ(35u, entry.parentId);
  EXPECT_EQ(98u, entry.major);
  EXPECT_EQ(0u, entry.minor);
  EXPECT_STREQ("/mnt two", entry.mountPoint);
  EXPECT_STREQ("rw,noatime", entry.options);
  EXPECT_STREQ("ext3", entry.type);
  EXPECT_STREQ("/dev/root", entry.source);
  EXPECT_STREQ("rw,errors=continue", entry.superOptions);

  const char* const kBroken[] = {
      "",
      "36 35 98:0 /mnt1 /mnt rw,noatime master:1 ext3 /dev/root rw",  // no separator
      "36 35 98:0 /mnt1 /mnt rw - ext3 /dev/root",                    // too few fields
      "x6 35 98:0 /mnt1 /mnt rw,noatime - ext3 /dev/root rw",        // id not a number
      "36 35 98-0 /mnt1 /mnt rw,noatime - ext3 /dev/root rw",        // no major:minor
  };
  for (const char* broken : kBroken) {
    std::string copy = broken;
    EXPECT_FALSE(MountParseLine(&copy[0], &entry)) << broken;
  }
}

}  // namespace
