// The fixture that mounts real host file systems of each kind.
#include "host_fs.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

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

// `content` as a failed comparison shows it: long ones by their start and
// size.
std::string summarised(const std::string& content) {
  return content.size() <= 40 ? content
                              : content.substr(0, 20) + "… (" +
                                    std::to_string(content.size()) + " bytes)";
}

// Every file below `root` with its content (long ones summarised), by the
// spellings the host lists.
Files listed_files(const std::string& root) {
  Files files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) {
      std::ifstream in(entry.path(), std::ios::binary);
      std::ostringstream content;
      content << in.rdbuf();
      files[entry.path().lexically_relative(root).native()] =
          summarised(content.str());
    }
  }
  return files;
}

// A copy that fails: its error, and for a folder's failure the host folder
// named (relative), else the copy itself is named.
struct Failure {
  int error = 0;
  std::string folder = "";
};
using Failures = std::map<std::string, Failure>;  // by local relative path

// One behaviour of a host: the trees before the run, and per kind of host
// the files it lists afterwards and the copies that fail with an error. The
// first run must leave neither a hidden entry nor an empty folder, and the
// second must print the same errors and change nothing.
struct HostCase {
  const char* what = "";
  Files local = {};
  Files host = {};
  std::function<Files(HostKind)> expected = {};
  std::function<Failures(HostKind)> failures = {};
  mode_t mode = 0;                      // given to every local file when set
  std::int64_t host_time = 1000000000;  // older than the local files'
  long long open_files_limit = -1;
  // A run ended by this signal before the others: it must end within
  // seconds and leave neither a hidden entry nor an empty folder it made.
  int interrupt = 0;
  // The host is full before the run: less is free than one local file.
  bool full = false;
  std::vector<std::string> host_folders = {};  // made empty on the host
  // The local tree of a third run, which the host then mirrors.
  Files local_after = {};
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

// `files` as the host of `kind` lists them.
Files listed_on(HostKind kind, const Files& files) {
  Files listed;
  for (const auto& [rel, content] : files) {
    listed[kind == HostKind::NTFS_IGNORE_CASE ? small_letters(rel) : rel] =
        summarised(content);
  }
  return listed;
}

// Fills the file system of `root` until less than `room` bytes are free, in
// the file `path`.
void fill_up(const std::string& root, const std::string& path,
             std::uint64_t room) {
  struct statvfs st {};
  ASSERT_EQ(statvfs(root.c_str(), &st), 0);
  const std::uint64_t free_bytes = std::uint64_t{st.f_bfree} * st.f_frsize;
  std::ofstream out(path, std::ios::binary);
  const std::string chunk(1 << 20, 'f');
  for (std::uint64_t left = free_bytes > room ? free_bytes - room : 0;
       left > 0 && out;) {
    const std::uint64_t part = std::min<std::uint64_t>(left, chunk.size());
    out.write(chunk.data(), static_cast<std::streamsize>(part));
    left -= part;
  }
}

// Whether `kind` takes the names that Windows refuses (":", "?", "*").
bool takes_any_name(HostKind kind) {
  return kind == HostKind::EXT4 || kind == HostKind::NTFS_IGNORE_CASE ||
         kind == HostKind::SSHFS;
}

}  // namespace

TEST(HostFs, MirrorsOntoEachKind) {
  // A case-only rename, of a file or a folder, in any script, converges in
  // one run, needs no room and keeps every host copy; of names a host keeps
  // as one the first in byte order owns the host's entry and the others
  // fail with "File exists" on every run; bits, long UTF-8 names and
  // refused names fail nothing but the refused copy; the next run changes
  // nothing. lowntfs-3g -o ignore_case lists every name in small letters:
  // there the pairs keep the host's spelling, and the next run still
  // changes nothing.
  const std::string umlauts = "x" + [] {
    std::string text;
    for (int i = 0; i < 120; ++i) {
      text += "ä";
    }
    return text;
  }() + ".txt";
  const auto on_every = [](Files files) {
    return [=](HostKind) { return files; };
  };
  // The local files for all hosts, or `one` where the host ignores case.
  const auto either = [](Files all, Files one) {
    return [=](HostKind k) { return ignores_case(k) ? one : all; };
  };
  const auto exists_where_case_is_ignored = [](Failures failures) {
    return [=](HostKind k) { return ignores_case(k) ? failures : Failures{}; };
  };
  const auto numbered = [](const std::string& folder, int count,
                           const std::string& prefix) {
    Files files;
    for (int i = 0; i < count; ++i) {
      files[folder + "/" + std::to_string(i)] = prefix + std::to_string(i);
    }
    return files;
  };
  const Files photos = [] {
    Files files;
    for (int i = 1; i <= 5; ++i) {
      files["photos/" + std::to_string(i) + ".jpg"] =
          std::string(300000, static_cast<char>('0' + i));
    }
    return files;
  }();
  Files photos_on_host;
  for (const auto& [rel, content] : photos) {
    photos_on_host["P" + rel.substr(1)] = content;
  }
  Files twenty_each = numbered("X", 20, "X");
  twenty_each.merge(numbered("x", 20, "x"));
  std::vector<HostCase> cases = {
      {.what = "file renamed in case",
       .local = {{"Report.txt", "new"}},
       .host = {{"report.txt", "old"}},
       .expected = on_every({{"Report.txt", "new"}})},
      {.what = "another file under a case variant, dated before the host's",
       .local = {{"report.docx", "the new report"}},
       .host = {{"Report.docx", "old"}},
       .expected = on_every({{"report.docx", "the new report"}}),
       .host_time = 2000000000},
      {.what = "folder renamed in case",
       .local = {{"Dir/a.txt", "new"}, {"Dir/b.txt", "b"}},
       .host = {{"dir/a.txt", "old"}, {"dir/gone.txt", "g"}},
       .expected =
           [](HostKind k) {
             return k == HostKind::NTFS_IGNORE_CASE
                        ? Files{{"dir/a.txt", "new"}, {"dir/b.txt", "b"}}
                        : Files{{"Dir/a.txt", "new"}, {"Dir/b.txt", "b"}};
           }},
      {.what = "folder renamed in case, its files unchanged",
       .local = {{"docs/a", "a"}, {"docs/b", "b"}, {"docs/c", "c"}},
       .host = {{"Docs/a", "a"},
                {"Docs/b", "b"},
                {"Docs/c", "c"},
                {"Docs/gone", "g"}},
       .expected =
           on_every({{"docs/a", "a"}, {"docs/b", "b"}, {"docs/c", "c"}}),
       .host_time = 2000000000},
      {.what = "folder renamed in case on a full host",
       .local = photos,
       .host = photos_on_host,
       .expected = on_every(photos),
       .host_time = 2000000000,
       .full = true},
      {.what = "a full host: a new file in place of an old one",
       .local = {{"new.bin", std::string(300000, 'n')}},
       .host = {{"old.bin", std::string(300000, 'o')}},
       .expected = on_every({{"new.bin", std::string(300000, 'n')}}),
       .full = true},
      {.what = "folder renamed in case with 500 files",
       .local = numbered("bulk", 500, ""),
       .host = numbered("BULK", 500, ""),
       .expected = on_every(numbered("bulk", 500, "")),
       .host_time = 2000000000},
      {.what = "folder renamed in case, its files changed",
       .local = numbered("Deep", 50, "new"),
       .host = numbered("deep", 50, "old"),
       .expected =
           [&](HostKind k) {
             return numbered(k == HostKind::NTFS_IGNORE_CASE ? "deep" : "Deep",
                             50, "new");
           }},
      {.what = "a folder's spelling changed beside a file of the other",
       .local = {{"FOO/a", "new"}, {"Foo/b", "b"}},
       .host = {{"Foo/a", "old"}},
       .expected = either({{"FOO/a", "new"}, {"Foo/b", "b"}},
                          {{"FOO/a", "new"}, {"FOO/b", "b"}})},
      {.what = "Greek renamed in case",
       .local = {{"νομος.txt", "new"}},
       .host = {{"ΝΟΜΟΣ.txt", "old"}},
       .expected = on_every({{"νομος.txt", "new"}})},
      {.what = "Vietnamese folder renamed in case",
       .local = numbered("ảnh", 5, ""),
       .host = numbered("Ảnh", 5, "o"),
       .expected = on_every(numbered("ảnh", 5, ""))},
      {.what = "names differing in case, the first in byte order owns",
       .local = {{"A.txt", "AAA"}, {"a.txt", "a"}},
       .expected =
           either({{"A.txt", "AAA"}, {"a.txt", "a"}}, {{"A.txt", "AAA"}}),
       .failures = exists_where_case_is_ignored({{"a.txt", {EEXIST}}}),
       .local_after = {{"a.txt", "a"}}},
      {.what = "names differing in case beside a host-only name with a dot",
       .local = {{"A", "A"}, {"a", "a"}},
       .host = {{"a.", "dot"}},
       .expected = either({{"A", "A"}, {"a", "a"}}, {{"A", "A"}}),
       .failures = exists_where_case_is_ignored({{"a", {EEXIST}}})},
      {.what = "a new file beside a folder of the same name",
       .local = {{"notes", "n"}, {"NOTES/keep.txt", "edited"}},
       .host = {{"NOTES/keep.txt", "old"}},
       .expected = either({{"notes", "n"}, {"NOTES/keep.txt", "edited"}},
                          {{"NOTES/keep.txt", "edited"}}),
       .failures = exists_where_case_is_ignored({{"notes", {EEXIST}}})},
      {.what = "folders differing in case share the host's",
       .local = {{"Proj/a", "pa"},
                 {"Proj/c", "pc"},
                 {"proj/b", "xb"},
                 {"proj/c", "xc"}},
       .expected =
           either({{"Proj/a", "pa"},
                   {"Proj/c", "pc"},
                   {"proj/b", "xb"},
                   {"proj/c", "xc"}},
                  {{"Proj/a", "pa"}, {"Proj/b", "xb"}, {"Proj/c", "pc"}}),
       .failures = exists_where_case_is_ignored({{"proj/c", {EEXIST}}})},
      {.what = "folders differing in case, the second's on the host",
       .local = {{"Proj/a", "pa"}, {"proj/b", "xb"}},
       .host = {{"proj/b", "xb"}},
       .expected = either({{"Proj/a", "pa"}, {"proj/b", "xb"}},
                          {{"Proj/a", "pa"}, {"Proj/b", "xb"}}),
       .host_time = 2000000000},
      {.what = "folders differing in case, under a low limit on open files",
       .local = twenty_each,
       .expected = either(twenty_each, numbered("X", 20, "X")),
       .failures =
           [](HostKind k) {
             Failures failures;
             for (int i = 0; ignores_case(k) && i < 20; ++i) {
               failures["x/" + std::to_string(i)] = {EEXIST};
             }
             return failures;
           },
       .open_files_limit = 100},
      {.what = "what killed runs left",
       .local = {{"new.txt", "n"}},
       .host = {{".kelvoda-2147483647-1.tmp", "junk"},
                {".kelvoda-2147483646-2.tmp/x", "junk"}},
       .expected = on_every({{"new.txt", "n"}}),
       .host_folders = {".kelvoda-2147483645-Marke.tmp"}},
      {.what = "trailing dot",
       .local = {{"a.", "dot"}, {"a", "plain"}},
       .expected =
           [](HostKind k) {
             return k == HostKind::NTFS_CASE_SENSITIVE
                        ? Files{{"a", "plain"}}
                        : Files{{"a.", "dot"}, {"a", "plain"}};
           },
       .failures =
           [](HostKind k) {
             return k == HostKind::NTFS_CASE_SENSITIVE
                        ? Failures{{"a.", {EINVAL}}}
                        : Failures{};
           }},
      {.what = "set-id and sticky bits",
       .local = {{"s", "s"}},
       .expected = on_every({{"s", "s"}}),
       .mode = 03775},
      {.what = "long UTF-8 name",
       .local = {{umlauts, "u"}},
       .expected = on_every({{umlauts, "u"}})},
      {.what = "refused names",
       .local = {{"co:lon.txt", "c"}, {"what?.txt", "w"}, {"a*b/f", "f"}},
       .expected =
           [](HostKind k) {
             return takes_any_name(k) ? Files{{"co:lon.txt", "c"},
                                              {"what?.txt", "w"},
                                              {"a*b/f", "f"}}
                                      : Files{};
           },
       .failures =
           [](HostKind k) {
             return takes_any_name(k) ? Failures{}
                                      : Failures{{"co:lon.txt", {EINVAL}},
                                                 {"what?.txt", {EINVAL}},
                                                 {"a*b/f", {EINVAL, "a*b"}}};
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
      if (c.full && kind == HostKind::SSHFS) {
        continue;  // its folder lies on the machine's own disk
      }
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
      for (const std::string& rel : c.host_folders) {
        fs::create_directories(host + "/" + rel);
      }
      const std::string filler = mounted.root() + "/filler";
      if (c.full) {
        fill_up(mounted.root(), filler, 100000);
      }
      for (const auto& [rel, content] : c.local) {
        locals.write(folder + "/" + rel, content, 1500000000);
        if (c.mode != 0) {
          locals.chmod(folder + "/" + rel, c.mode);
        }
      }
      const Files expected = listed_on(kind, c.expected(kind));
      const Failures failures = c.failures ? c.failures(kind) : Failures{};
      // A person answers: a case-only rename on a host that keeps case
      // apart deletes the old spelling's files, which -y would withhold.
      const RunOptions options = {.stdin_text = "j\n",
                                  .open_files_limit = c.open_files_limit,
                                  .timeout_seconds = 60};
      const std::vector<std::string> args = {"-c", "20", local, host};
      if (c.interrupt != 0) {
        const RunResult interrupted = run_kelvoda(
            {"-y", "-c", "20", local, host},
            {.wrapper = interrupting(c.interrupt), .timeout_seconds = 20});
        EXPECT_EQ(interrupted.status, 128 + c.interrupt) << interrupted.err;
        EXPECT_EQ(leftovers(host), std::vector<std::string>{});
      }
      const RunResult first = run_kelvoda(args, options);
      // In the order of the progress lines.
      std::vector<std::pair<std::size_t, std::string>> lines;
      for (const auto& [rel, failure] : failures) {
        lines.emplace_back(
            first.out.find(copying(local + "/" + rel, host + "/" + rel)),
            failure.folder.empty()
                ? copy_failure(local, host, rel, failure.error)
                : folder_failure(host + "/" + failure.folder, failure.error));
      }
      std::sort(lines.begin(), lines.end());
      std::string err;
      for (const auto& line : lines) {
        err += line.second;
      }
      EXPECT_EQ(first.status, err.empty() ? 0 : 2);
      EXPECT_EQ(first.err, err);
      EXPECT_EQ(leftovers(host), std::vector<std::string>{});
      ASSERT_TRUE(mounted.remount());
      EXPECT_EQ(listed_files(host), expected);
      const RunResult second = run_kelvoda(args, options);
      EXPECT_EQ(second.status, err.empty() ? 0 : 2);
      EXPECT_EQ(second.err, err);
      ASSERT_TRUE(mounted.remount());
      EXPECT_EQ(listed_files(host), expected);
      if (failures.empty()) {
        EXPECT_TRUE(second.out.ends_with(NOTHING_PENDING)) << second.out;
      }
      if (!c.local_after.empty()) {
        fs::remove_all(local);
        for (const auto& [rel, content] : c.local_after) {
          locals.write(folder + "/" + rel, content, 1500000000);
        }
        const RunResult third = run_kelvoda(args, options);
        EXPECT_EQ(third.err, "");
        ASSERT_TRUE(mounted.remount());
        EXPECT_EQ(listed_files(host), listed_on(kind, c.local_after));
      }
      if (c.full) {
        fs::remove(filler);
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
