// The fixture that mounts real host file systems of each kind.
#include "host_fs.hpp"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "gtest/gtest.h"

namespace fs = std::filesystem;

namespace {

// The file system type /proc/self/mountinfo lists for `path`, or "".
std::string mounted_type(const std::string& path) {
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string field;
    std::string mount_point;
    for (int i = 0; i < 5 && fields >> field; ++i) {
      mount_point = field;
    }
    while (fields >> field && field != "-") {
    }
    if (mount_point == path && fields >> field) {
      return field;
    }
  }
  return "";
}

}  // namespace

TEST(HostFs, MountsEachKind) {
  // Each kind mounts empty, keeps a file across a remount, and leaves neither
  // the mount, the loop device nor the image behind.
  for (HostKind kind :
       {HostKind::EXT4, HostKind::EXFAT, HostKind::NTFS_CASE_SENSITIVE,
        HostKind::NTFS_IGNORE_CASE}) {
    const std::string reason = host_unavailable_reason(kind);
    if (!reason.empty()) {
      GTEST_SKIP() << host_kind_name(kind) << ": " << reason;
    }
    SCOPED_TRACE(host_kind_name(kind));
    std::string root;
    std::string device;
    std::string image;
    {
      MountedHost host(kind);
      ASSERT_TRUE(host.mounted());
      root = host.root();
      device = host.loop_device();
      image = host.image();
      EXPECT_EQ(mounted_type(root),
                kind == HostKind::EXT4 ? "ext4" : "fuseblk");
      EXPECT_TRUE(loop_holds_image(device, image));
      EXPECT_TRUE(fs::is_empty(root));
      std::ofstream(root + "/Notiz.txt") << "grün";
      ASSERT_TRUE(host.remount());
      std::ifstream in(root + "/Notiz.txt");
      std::string content;
      std::getline(in, content);
      EXPECT_EQ(content, "grün");
    }
    EXPECT_EQ(mounted_type(root), "");
    EXPECT_FALSE(loop_holds_image(device, image));
    EXPECT_FALSE(fs::exists(image));
  }
}
