// The sysfs source reads nothing outside <root>/sys, nor ID databases
// outside <root>: links that lead out are dead ends, links inside work. Every
// case runs twice: with openat2 and with the walk older kernels get.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "devices/sysfs/OpenBeneath.h"
#include "devices/sysfs/SysfsService.h"
#include "devices/sysfs/SysfsTree.h"
#include "tests/devices/sysfs/SysfsTestSupport.h"

namespace quillon::devices::testing {
namespace {

namespace fs = std::filesystem;
using sysfs::Confine;

class Confinement : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { sysfs::UseComponentWalkForTesting(GetParam()); }
  void TearDown() override { sysfs::UseComponentWalkForTesting(false); }
};

std::string Describe(const ::testing::TestParamInfo<bool>& info) {
  return info.param ? "ComponentWalk" : "Openat2";
}

// The instance IDs a tree lists, or "<open fails>".
std::vector<std::string> Ids(const FakeSysfs& tree) {
  const auto service = MakeSysfsService(SysfsOptions{tree.Root(), ""});
  const DeviceInfoSetPtr set = OpenPresentDevices(*service, nullptr);
  if (!set)
    return {"<open fails>"};
  std::vector<std::string> ids;
  for (const SysfsRow& row : ReadAll(*service))
    ids.push_back(row.instanceId);
  return ids;
}

// Renames to "<name>.real", which no listing of the tree reads.
void MoveAside(const FakeSysfs& tree, const std::string& relative) {
  fs::rename(tree.Root() + "/" + relative, tree.Root() + "/" + relative + ".real");
}

TEST_P(Confinement, LinksOutOfTheTreeAreDeadEnds) {
  struct Row {
    const char* what;
    void (*arrange)(FakeSysfs& inside, const FakeSysfs& outside);
    std::vector<std::string> ids;
  };
  const Row rows[] = {
      {"untouched",
       [](FakeSysfs&, const FakeSysfs&) {},
       {"STORAGE\\DISK\\sdz", "ROOT\\INSIDE\\inside"}},
      {"sys leads out",
       [](FakeSysfs& inside, const FakeSysfs& outside) {
         MoveAside(inside, "sys");
         inside.Symlink("sys", outside.Root() + "/sys");
       },
       {"<open fails>"}},
      {"sys/bus leads out",
       [](FakeSysfs& inside, const FakeSysfs& outside) {
         MoveAside(inside, "sys/bus");
         inside.Symlink("sys/bus", outside.Root() + "/sys/bus");
       },
       {"STORAGE\\DISK\\sdz"}},
      {"sys/bus/platform leads out",
       [](FakeSysfs& inside, const FakeSysfs& outside) {
         fs::remove_all(inside.Root() + "/sys/bus/platform");
         inside.Symlink("sys/bus/platform", outside.Root() + "/sys/bus/platform");
       },
       {"STORAGE\\DISK\\sdz"}},
      {"sys/class/block leads out",
       [](FakeSysfs& inside, const FakeSysfs& outside) {
         MoveAside(inside, "sys/class/block");
         inside.Symlink("sys/class/block", outside.Root() + "/sys/class/block");
       },
       {"ROOT\\INSIDE\\inside"}},
      {"links within the tree",
       [](FakeSysfs& inside, const FakeSysfs&) {
         MoveAside(inside, "sys/bus");
         inside.Symlink("sys/bus", "bus.real");
         MoveAside(inside, "sys");
         inside.Symlink("sys", "sys.real");
       },
       {"STORAGE\\DISK\\sdz", "ROOT\\INSIDE\\inside"}},
      // A device link whose way passes a folder that is itself a link: one
      // that leaves sys is a dead end, even when it would come back.
      {"a folder on a device link's way is absolute",
       [](FakeSysfs& inside, const FakeSysfs&) {
         MoveAside(inside, "sys/devices/platform");
         inside.Symlink("sys/devices/platform", inside.Root() + "/sys/devices/platform.real");
       },
       {"STORAGE\\DISK\\sdz"}},
      {"a folder on a device link's way climbs out and back",
       [](FakeSysfs& inside, const FakeSysfs&) {
         MoveAside(inside, "sys/devices/platform");
         inside.Symlink("sys/devices/platform", "../../sys/devices/platform.real");
       },
       {"STORAGE\\DISK\\sdz"}},
      {"a device link climbs above sys and back",
       [](FakeSysfs& inside, const FakeSysfs&) {
         inside.Symlink("sys/bus/platform/devices/inside",
                        "../../../../sys/devices/platform/inside");
       },
       {"STORAGE\\DISK\\sdz"}},
      {"a folder on a device link's way stays inside",
       [](FakeSysfs& inside, const FakeSysfs&) {
         MoveAside(inside, "sys/devices/platform");
         inside.Symlink("sys/devices/platform", "platform.real");
       },
       {"STORAGE\\DISK\\sdz", "ROOT\\INSIDE\\inside"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    FakeSysfs inside;
    // ghost and sdx are device directories no listing of this tree names.
    ASSERT_TRUE(inside.Load(R"(
bus platform platform/inside driver=a
dir platform/ghost modalias=platform:ghost
class block host/block/sdz dev=8:0
dir host/block/sdx dev=8:32
)"));
    // The outside tree's listings name the inside tree's hidden devices.
    FakeSysfs outside;
    ASSERT_TRUE(outside.Load("bus platform platform/outside driver=b"));
    const std::string devices = inside.Root() + "/sys/devices";
    outside.Symlink("sys/bus/platform/devices/ghost", devices + "/platform/ghost");
    outside.Symlink("sys/class/block/sdx", devices + "/host/block/sdx");
    row.arrange(inside, outside);
    EXPECT_EQ(Ids(inside), row.ids);
  }
}

// Debian's usb.ids is an absolute link: within a root it means that root's file.
TEST_P(Confinement, DatabaseLinksResolveWithinTheRoot) {
  FakeSysfs outside;
  outside.WriteFile("pci.ids", "1234  Outside\n\t0001  Name from outside the root\n");
  struct Row {
    const char* what;
    std::string link;
    const char* description;
  };
  const Row rows[] = {
      {"out of the root", outside.Root() + "/pci.ids", "Network controller"},
      {"absolute, within the root", "/opt/ids/pci.ids", "Name from inside the root"},
      {"relative, through ..", "../../../opt/ids/pci.ids", "Name from inside the root"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    FakeSysfs tree;
    ASSERT_TRUE(tree.Load("bus pci p/0000:00:03.0 vendor=0x1234 device=0x0001 class=0x020000"));
    tree.WriteFile("opt/ids/pci.ids",
                   "1234  Inside\n\t0001  Name from inside the root\nC 02  Network controller\n"
                   "\t00  Ethernet controller\n");
    tree.Symlink("usr/share/misc/pci.ids", row.link);
    const auto service = MakeSysfsService(SysfsOptions{tree.Root(), ""});
    const auto nodes = ReadAll(*service);
    ASSERT_EQ(nodes.size(), 1U);
    EXPECT_EQ(nodes[0].description, row.description);
  }
}

// The opener itself, link by link.
TEST_P(Confinement, OpenBeneathFollowsOnlyLinksThatStayBelow) {
  FakeSysfs tree;
  const std::string base = tree.Root() + "/sys/devices";
  tree.WriteFile("sys/devices/a/b/file", "x");
  tree.Symlink("sys/devices/in", "a/b");
  tree.Symlink("sys/devices/a/up", "../a/b/file");
  tree.Symlink("sys/devices/out", "../../sys");
  tree.Symlink("sys/devices/absolute", base + "/a");
  tree.Symlink("sys/devices/loop", "loop");
  tree.Symlink("sys/devices/dangling", "nothing");
  const sysfs::UniqueFd dir(open(base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(dir);
  struct Row {
    const char* path;
    int flags;
    Confine confine;
    int error;  // 0: opens
  };
  const Row rows[] = {
      {"a/b/file", O_RDONLY, Confine::kBeneath, 0},
      {"in/file", O_RDONLY, Confine::kBeneath, 0},
      {"a/up", O_RDONLY, Confine::kBeneath, 0},
      {"a/../in/./file", O_RDONLY, Confine::kBeneath, 0},
      {"", O_RDONLY | O_DIRECTORY, Confine::kBeneath, 0},
      {"out", O_PATH, Confine::kBeneath, EXDEV},
      {"..", O_PATH, Confine::kBeneath, EXDEV},
      {"absolute", O_PATH, Confine::kBeneath, EXDEV},
      {"loop", O_PATH, Confine::kBeneath, ELOOP},
      {"dangling", O_PATH, Confine::kBeneath, ENOENT},
      {"dangling", O_PATH | O_NOFOLLOW, Confine::kBeneath, 0},
      {"in/file", O_RDONLY | O_NOFOLLOW, Confine::kBeneath, 0},
      {"a/up", O_RDONLY | O_NOFOLLOW, Confine::kBeneath, ELOOP},
      {"a/b/file/x", O_PATH, Confine::kBeneath, ENOTDIR},
      // In a root, ".." stops at the top and absolute links start there.
      {"../../a/b/file", O_RDONLY, Confine::kInRoot, 0},
      {"out", O_PATH | O_DIRECTORY, Confine::kInRoot, ENOENT},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    errno = 0;
    const sysfs::UniqueFd fd = sysfs::OpenBeneath(dir.Get(), row.path, row.flags, row.confine);
    EXPECT_EQ(fd ? 0 : errno, row.error);
  }
  EXPECT_EQ(sysfs::ResolveBeneath(dir.Get(), base, "in/../up", Confine::kBeneath),
            base + "/a/b/file");
  EXPECT_EQ(sysfs::ResolveBeneath(dir.Get(), base, "out/devices", Confine::kBeneath), std::nullopt);
}

// A node's folder is still where it was found only while no link stands
// on the way to it.
TEST_P(Confinement, CanonicalDirectoryStaysOnlyWhileNothingMoved) {
  struct Row {
    const char* what;
    void (*arrange)(FakeSysfs& tree);
    bool still;
  };
  const Row rows[] = {
      {"untouched", [](FakeSysfs&) {}, true},
      {"removed", [](FakeSysfs& tree) { tree.RemoveDevice("a/b"); }, false},
      {"moved, a link in its place",
       [](FakeSysfs& tree) {
         MoveAside(tree, "sys/devices/a/b");
         tree.Symlink("sys/devices/a/b", "b.real");
       },
       false},
      {"its parent moved, a link in its place",
       [](FakeSysfs& tree) {
         MoveAside(tree, "sys/devices/a");
         tree.Symlink("sys/devices/a", "a.real");
       },
       false},
      {"a file in its place",
       [](FakeSysfs& tree) {
         tree.RemoveDevice("a/b");
         tree.WriteFile("sys/devices/a/b", "x");
       },
       false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    FakeSysfs tree;
    tree.WriteFile("sys/devices/a/b/uevent", "");
    const sysfs::SysfsTree sysfs(tree.Root());
    const std::string path = sysfs.Sys() + "/devices/a/b";
    ASSERT_EQ(sysfs.Resolve(path), path);
    row.arrange(tree);
    EXPECT_EQ(sysfs.Fresh().IsCanonicalDirectory(path), row.still);
  }
}

INSTANTIATE_TEST_SUITE_P(Sysfs, Confinement, ::testing::Bool(), Describe);

// A folder of more entries than one batch of the directory reader holds is
// listed whole, and folders of the same entries list alike.
TEST(SysfsListing, ManyBatchesAndSharedListings) {
  FakeSysfs tree;
  constexpr int kEntries = 600;
  for (int i = 0; i < kEntries; ++i) {
    const std::string name = std::string(200, 'a') + std::to_string(i);
    tree.WriteFile("sys/devices/big/" + name, "x");
    if (i < 3) {
      tree.WriteFile("sys/devices/one/" + name, "1");
      tree.WriteFile("sys/devices/two/" + name, "2");
    }
  }
  const sysfs::SysfsTree sysfs(tree.Root());
  EXPECT_EQ(sysfs.List(sysfs.Sys() + "/devices/big").size(), static_cast<std::size_t>(kEntries));
  EXPECT_EQ(sysfs.List(sysfs.Sys() + "/devices/one"), sysfs.List(sysfs.Sys() + "/devices/two"));
  EXPECT_EQ(sysfs.Read(sysfs.Sys() + "/devices/two", std::string(200, 'a') + "2"), "2");
  EXPECT_EQ(sysfs.KnownListing(sysfs.Sys() + "/devices/one"),
            sysfs.KnownListing(sysfs.Sys() + "/devices/two"));
}

}  // namespace
}  // namespace quillon::devices::testing
