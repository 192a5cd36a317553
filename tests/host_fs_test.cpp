// The fixture that mounts real host file systems of each kind.
#include "host_fs.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "test_util.hpp"

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
  for (HostKind kind : ALL_HOST_KINDS) {
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

namespace {

using Files = std::map<std::string, std::string>;  // relative path -> content

// Every file below `root` with its content, by the spellings the host lists.
Files listed_files(const std::string& root) {
  Files files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) {
      std::ifstream in(entry.path(), std::ios::binary);
      std::ostringstream content;
      content << in.rdbuf();
      files[entry.path().lexically_relative(root).native()] = content.str();
    }
  }
  return files;
}

// One behaviour of a host: the trees before the run, and per kind of host
// the files it lists afterwards and the copies that fail with an error.
struct HostCase {
  const char* what;
  Files local;
  Files host;
  std::function<Files(HostKind)> expected;
  std::function<std::map<std::string, int>(HostKind)> failures = {};
  mode_t mode = 0;       // given to every local file when set
  bool collide = false;  // the two local names are one on a host without case
};

bool ignores_case(HostKind kind) {
  return kind == HostKind::EXFAT || kind == HostKind::NTFS_IGNORE_CASE;
}

}  // namespace

TEST(HostFs, MirrorsOntoEachKind) {
  // A case-only rename converges in one run; names a host keeps as one are
  // never written over each other; bits, long UTF-8 names and refused names
  // fail nothing but the refused copy; the next run changes nothing.
  // lowntfs-3g -o ignore_case lists every name in small letters, so there a
  // rename shows in small letters and is copied again on every run.
  const std::string umlauts = "x" + [] {
    std::string text;
    for (int i = 0; i < 120; ++i) {
      text += "ä";
    }
    return text;
  }() + ".txt";
  const auto lower = [](HostKind kind, const char* upper, const char* low) {
    return kind == HostKind::NTFS_IGNORE_CASE ? low : upper;
  };
  const std::vector<HostCase> cases = {
      {"file renamed in case",
       {{"Report.txt", "new"}},
       {{"report.txt", "old"}},
       [&](HostKind k) {
         return Files{{lower(k, "Report.txt", "report.txt"), "new"}};
       }},
      {"folder renamed in case",
       {{"Dir/a.txt", "new"}, {"Dir/b.txt", "b"}},
       {{"dir/a.txt", "old"}, {"dir/gone.txt", "g"}},
       [&](HostKind k) {
         const std::string dir = lower(k, "Dir", "dir");
         return Files{{dir + "/a.txt", "new"}, {dir + "/b.txt", "b"}};
       }},
      {"names differing in case",
       {{"A.txt", "A"}, {"a.txt", "a"}},
       {},
       [](HostKind) {
         return Files{{"A.txt", "A"}, {"a.txt", "a"}};
       },
       {},
       0,
       true},
      {"trailing dot",
       {{"a.", "dot"}, {"a", "plain"}},
       {},
       [](HostKind k) {
         return k == HostKind::NTFS_CASE_SENSITIVE
                    ? Files{{"a", "plain"}}
                    : Files{{"a.", "dot"}, {"a", "plain"}};
       },
       [](HostKind k) {
         return k == HostKind::NTFS_CASE_SENSITIVE
                    ? std::map<std::string, int>{{"a.", EINVAL}}
                    : std::map<std::string, int>{};
       }},
      {"set-id and sticky bits",
       {{"s", "s"}},
       {},
       [](HostKind) {
         return Files{{"s", "s"}};
       },
       {},
       03775},
      {"long UTF-8 name",
       {{umlauts, "u"}},
       {},
       [&](HostKind) {
         return Files{{umlauts, "u"}};
       }},
      {"refused names",
       {{"co:lon.txt", "c"}, {"what?.txt", "w"}, {"a*b/f", "f"}},
       {},
       [](HostKind k) {
         return k == HostKind::EXT4 || k == HostKind::NTFS_IGNORE_CASE
                    ? Files{{"co:lon.txt", "c"},
                            {"what?.txt", "w"},
                            {"a*b/f", "f"}}
                    : Files{};
       },
       [](HostKind k) {
         return k == HostKind::EXT4 || k == HostKind::NTFS_IGNORE_CASE
                    ? std::map<std::string, int>{}
                    : std::map<std::string, int>{{"co:lon.txt", EINVAL},
                                                 {"what?.txt", EINVAL},
                                                 {"a*b/f", EINVAL}};
       }},
  };
  for (HostKind kind : ALL_HOST_KINDS) {
    const std::string reason = host_unavailable_reason(kind);
    if (!reason.empty()) {
      GTEST_SKIP() << host_kind_name(kind) << ": " << reason;
    }
    MountedHost mounted(kind);
    ASSERT_TRUE(mounted.mounted());
    TempTree locals;
    int serial = 0;
    for (const HostCase& c : cases) {
      SCOPED_TRACE(std::string(host_kind_name(kind)) + ": " + c.what);
      const std::string folder = std::to_string(serial++);
      const std::string local = locals.path(folder);
      const std::string host = mounted.root() + "/" + folder;
      fs::create_directories(host);
      locals.mkdir(folder);
      for (const auto& [rel, content] : c.host) {
        fs::create_directories(fs::path(host + "/" + rel).parent_path());
        std::ofstream(host + "/" + rel) << content;
        const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
        utimensat(AT_FDCWD, (host + "/" + rel).c_str(), old, 0);
      }
      for (const auto& [rel, content] : c.local) {
        locals.write(folder + "/" + rel, content, 1500000000);
        if (c.mode != 0) {
          locals.chmod(folder + "/" + rel, c.mode);
        }
      }
      Files expected = c.expected(kind);
      std::string err;
      std::map<std::string, int> failures =
          c.failures ? c.failures(kind) : std::map<std::string, int>{};
      const RunResult first = run_kelvoda({"-y", "-c", "20", local, host});
      if (c.collide && ignores_case(kind)) {
        // Names the host keeps as one: the first copy wins, the other fails.
        const auto at = [&](const std::string& rel) {
          return first.out.find(copying(local + "/" + rel, host + "/" + rel));
        };
        const auto [winner, loser] =
            at(c.local.begin()->first) < at(c.local.rbegin()->first)
                ? std::pair(*c.local.begin(), *c.local.rbegin())
                : std::pair(*c.local.rbegin(), *c.local.begin());
        expected = {
            {lower(kind, winner.first.c_str(), "a.txt"), winner.second}};
        failures = {{loser.first, EEXIST}};
      }
      // In the order of the progress lines; a file in a folder stands for
      // the folder's failure.
      std::vector<std::pair<std::size_t, std::string>> lines;
      for (const auto& [rel, error] : failures) {
        const std::size_t slash = rel.rfind('/');
        lines.emplace_back(
            first.out.find(copying(local + "/" + rel, host + "/" + rel)),
            slash == std::string::npos
                ? copy_failure(local, host, rel, error)
                : folder_failure(host + "/" + rel.substr(0, slash), error));
      }
      std::sort(lines.begin(), lines.end());
      for (const auto& line : lines) {
        err += line.second;
      }
      EXPECT_EQ(first.status, 0);
      EXPECT_EQ(first.err, err);
      ASSERT_TRUE(mounted.remount());
      EXPECT_EQ(listed_files(host), expected);
      const RunResult second = run_kelvoda({"-y", "-c", "20", local, host});
      EXPECT_EQ(second.status, 0);
      // Listing only small letters, lowntfs-3g shows the winner under the
      // loser's name when that is the small one, and the error moves to the
      // other name.
      if (!(c.collide && kind == HostKind::NTFS_IGNORE_CASE)) {
        EXPECT_EQ(second.err, err);
      }
      if (kind != HostKind::NTFS_IGNORE_CASE || failures.empty()) {
        ASSERT_TRUE(mounted.remount());
        EXPECT_EQ(listed_files(host), expected);
      }
      if (kind != HostKind::NTFS_IGNORE_CASE && failures.empty()) {
        EXPECT_TRUE(second.out.ends_with(NOTHING_PENDING)) << second.out;
      }
    }
    // A root inside the other, spelled in another case: refused where the
    // host ignores case, two trees apart where it does not.
    const std::string root = mounted.root();
    fs::create_directories(root + "/Data/sub");
    std::ofstream(root + "/Data/sub/f") << "f";
    std::error_code ec;
    fs::create_directory(root + "/data", ec);
    const RunResult nested =
        run_kelvoda({"-y", "-c", "20", root + "/Data/sub", root + "/data"});
    EXPECT_EQ(nested.status, ignores_case(kind) ? 1 : 0);
    EXPECT_EQ(nested.err, ignores_case(kind) ? NESTED_TREES : "");
    EXPECT_EQ(listed_files(root + "/Data"), (Files{{"sub/f", "f"}}));
  }
}
