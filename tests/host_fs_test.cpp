// The fixture that mounts real host file systems of each kind.
#include "host_fs.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
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

// The kinds that can be mounted here; says why each other one is left out.
std::vector<HostKind> usable_kinds() {
  std::vector<HostKind> kinds;
  for (HostKind kind : ALL_HOST_KINDS) {
    if (const std::string reason = host_unavailable_reason(kind);
        !reason.empty()) {
      std::cout << host_kind_name(kind) << " not run: " << reason << "\n";
    } else {
      kinds.push_back(kind);
    }
  }
  return kinds;
}

}  // namespace

TEST(HostFs, MountsEachKind) {
  // Each kind mounts empty, keeps a file across a remount, and leaves neither
  // the mount, the loop device or the ssh server, nor the image or the served
  // folder behind.
  const std::vector<HostKind> kinds = usable_kinds();
  if (kinds.empty()) {
    GTEST_SKIP() << "no kind of host can be mounted here";
  }
  for (HostKind kind : kinds) {
    SCOPED_TRACE(host_kind_name(kind));
    std::string root;
    std::string device;
    std::string image;
    pid_t server = -1;
    {
      MountedHost host(kind);
      ASSERT_TRUE(host.mounted());
      root = host.root();
      device = host.loop_device();
      image = host.image();
      server = host.server();
      EXPECT_EQ(mounted_type(root), host_mount_type(kind));
      EXPECT_TRUE(kind == HostKind::SSHFS ? kill(server, 0) == 0
                                          : loop_holds_image(device, image));
      EXPECT_TRUE(fs::is_empty(root));
      std::ofstream(root + "/Notiz.txt") << "grün";
      ASSERT_TRUE(host.remount());
      std::ifstream in(root + "/Notiz.txt");
      std::string content;
      std::getline(in, content);
      EXPECT_EQ(content, "grün");
    }
    EXPECT_EQ(mounted_type(root), "");
    EXPECT_FALSE(kind == HostKind::SSHFS ? kill(server, 0) == 0
                                         : loop_holds_image(device, image));
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
  const char* what = "";
  Files local = {};
  Files host = {};
  std::function<Files(HostKind)> expected = {};
  std::function<std::map<std::string, int>(HostKind)> failures = {};
  mode_t mode = 0;  // given to every local file when set
  // The local files' first names come in two spellings that a host without
  // case takes as one: only those of the spelling copied first get there.
  bool collide = false;
  std::int64_t host_time = 1000000000;  // older than the local files'
  long long open_files_limit = -1;
  // A run ended by this signal before the others: it must end within
  // seconds and leave neither a hidden entry nor an empty folder it made.
  int interrupt = 0;
};

// The entries below `root` that a run may not leave: hidden ones of its
// own, and empty folders.
std::vector<std::string> leftovers(const std::string& root) {
  std::vector<std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.path().filename().native().starts_with(".kelvoda-") ||
        (entry.is_directory() && fs::is_empty(entry.path()))) {
      found.push_back(entry.path().lexically_relative(root).native());
    }
  }
  return found;
}

// How a run is interrupted by `signal` while it copies: strace sends it at
// a write, or, for SIGPIPE, the reader of stdout goes away after the first
// copy's line while each write is slowed down.
std::vector<std::string> interrupting(int signal) {
  const std::string writes = "copy_file_range,pwrite64";
  if (signal != SIGPIPE) {
    return strace_injecting(writes,
                            "signal=" + std::to_string(signal) + ":when=6");
  }
  return {"bash", "-c",
          "strace -f -qq -o /dev/null -e trace=" + writes +
              " -e inject=" + writes +
              ":delay_exit=20000 \"$0\" \"$@\" | grep -q -F -e '-> /'; "
              "exit ${PIPESTATUS[0]}"};
}

// `text` in small letters, as lowntfs-3g -o ignore_case lists names (ASCII
// names only).
std::string small_letters(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return text;
}

bool ignores_case(HostKind kind) {
  return kind == HostKind::EXFAT || kind == HostKind::NTFS_IGNORE_CASE;
}

// Whether `kind` takes the names that Windows refuses (":", "?", "*").
bool takes_any_name(HostKind kind) {
  return kind == HostKind::EXT4 || kind == HostKind::NTFS_IGNORE_CASE ||
         kind == HostKind::SSHFS;
}

}  // namespace

TEST(HostFs, MirrorsOntoEachKind) {
  // A case-only rename, of a file or a folder, in any script, converges in
  // one run; names a host keeps as one are never written over each other
  // and the second always fails; bits, long UTF-8 names and refused names
  // fail nothing but the refused copy; the next run changes nothing.
  // lowntfs-3g -o ignore_case lists every name in small letters: there a
  // rename shows in small letters, and the next run still changes nothing.
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
  std::vector<HostCase> cases = {
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
      {"folder renamed in case, its files unchanged",
       {{"docs/a", "a"}, {"docs/b", "b"}, {"docs/c", "c"}},
       {{"Docs/a", "a"}, {"Docs/b", "b"}, {"Docs/c", "c"}, {"Docs/gone", "g"}},
       [](HostKind) {
         return Files{{"docs/a", "a"}, {"docs/b", "b"}, {"docs/c", "c"}};
       },
       {},
       0,
       false,
       2000000000},
      {"Greek renamed in case",
       {{"νομος.txt", "new"}},
       {{"ΝΟΜΟΣ.txt", "old"}},
       [](HostKind) {
         return Files{{"νομος.txt", "new"}};
       }},
      {"Vietnamese folder renamed in case",
       {{"ảnh/1", "1"},
        {"ảnh/2", "2"},
        {"ảnh/3", "3"},
        {"ảnh/4", "4"},
        {"ảnh/5", "5"}},
       {{"Ảnh/1", "o"},
        {"Ảnh/2", "o"},
        {"Ảnh/3", "o"},
        {"Ảnh/4", "o"},
        {"Ảnh/5", "o"}},
       [](HostKind) {
         return Files{{"ảnh/1", "1"},
                      {"ảnh/2", "2"},
                      {"ảnh/3", "3"},
                      {"ảnh/4", "4"},
                      {"ảnh/5", "5"}};
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
      {"names differing in case beside a host-only name with a dot",
       {{"A", "A"}, {"a", "a"}},
       {{"a.", "dot"}},
       [](HostKind) {
         return Files{{"A", "A"}, {"a", "a"}};
       },
       {},
       0,
       true},
      {"folders differing in case, under a low limit on open files",
       [] {
         Files files;
         for (int i = 0; i < 20; ++i) {
           files["X/" + std::to_string(i)] = "X" + std::to_string(i);
           files["x/" + std::to_string(i)] = "x" + std::to_string(i);
         }
         return files;
       }(),
       {},
       [](HostKind) {
         Files files;
         for (int i = 0; i < 20; ++i) {
           files["X/" + std::to_string(i)] = "X" + std::to_string(i);
           files["x/" + std::to_string(i)] = "x" + std::to_string(i);
         }
         return files;
       },
       {},
       0,
       true,
       1000000000,
       100},
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
         return takes_any_name(k) ? Files{{"co:lon.txt", "c"},
                                          {"what?.txt", "w"},
                                          {"a*b/f", "f"}}
                                  : Files{};
       },
       [](HostKind k) {
         return takes_any_name(k)
                    ? std::map<std::string, int>{}
                    : std::map<std::string, int>{{"co:lon.txt", EINVAL},
                                                 {"what?.txt", EINVAL},
                                                 {"a*b/f", EINVAL}};
       }},
  };
  if (strace_unavailable().empty()) {
    Files many;
    for (int i = 0; i < 20; ++i) {
      many["new/" + std::to_string(i)] =
          std::string(100000, static_cast<char>('a' + i % 26));
    }
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
      cases.push_back({.what = strsignal(signal),
                       .local = many,
                       .host = {},
                       .expected = [=](HostKind) { return many; },
                       .interrupt = signal});
    }
  }
  const std::vector<HostKind> kinds = usable_kinds();
  if (kinds.empty()) {
    GTEST_SKIP() << "no kind of host can be mounted here";
  }
  for (HostKind kind : kinds) {
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
        const timespec old[2] = {{c.host_time, 0}, {c.host_time, 0}};
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
      const RunOptions options = {.open_files_limit = c.open_files_limit,
                                  .timeout_seconds = 60};
      if (c.interrupt != 0) {
        const RunResult interrupted = run_kelvoda(
            {"-y", "-c", "20", local, host},
            {.wrapper = interrupting(c.interrupt), .timeout_seconds = 20});
        EXPECT_EQ(interrupted.status, 128 + c.interrupt) << interrupted.err;
        EXPECT_EQ(leftovers(host), std::vector<std::string>{});
      }
      const RunResult first =
          run_kelvoda({"-y", "-c", "20", local, host}, options);
      if (c.collide && ignores_case(kind)) {
        // Names the host keeps as one: the spelling copied first wins, the
        // other's copies fail.
        const auto first_name = [](const std::string& rel) {
          return rel.substr(0, rel.find('/'));
        };
        const auto at = [&](const std::string& rel) {
          return first.out.find(copying(local + "/" + rel, host + "/" + rel));
        };
        std::string winner;
        for (const auto& [rel, content] : c.local) {
          if (winner.empty() || at(rel) < at(winner)) {
            winner = rel;
          }
        }
        expected.clear();
        failures.clear();
        for (const auto& [rel, content] : c.local) {
          if (first_name(rel) != first_name(winner)) {
            failures[rel] = EEXIST;
          } else {
            expected[kind == HostKind::NTFS_IGNORE_CASE ? small_letters(rel)
                                                        : rel] = content;
          }
        }
      }
      // In the order of the progress lines; a refused file in a folder
      // stands for the folder's failure.
      std::vector<std::pair<std::size_t, std::string>> lines;
      for (const auto& [rel, error] : failures) {
        const std::size_t slash = rel.rfind('/');
        lines.emplace_back(
            first.out.find(copying(local + "/" + rel, host + "/" + rel)),
            slash == std::string::npos || error == EEXIST
                ? copy_failure(local, host, rel, error)
                : folder_failure(host + "/" + rel.substr(0, slash), error));
      }
      std::sort(lines.begin(), lines.end());
      for (const auto& line : lines) {
        err += line.second;
      }
      EXPECT_EQ(first.status, err.empty() ? 0 : 2);
      EXPECT_EQ(first.err, err);
      ASSERT_TRUE(mounted.remount());
      EXPECT_EQ(listed_files(host), expected);
      const RunResult second =
          run_kelvoda({"-y", "-c", "20", local, host}, options);
      EXPECT_EQ(second.status, err.empty() ? 0 : 2);
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
      if (failures.empty()) {
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
