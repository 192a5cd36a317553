// Tests of the tree scanner: walks of real trees in-process, its exit paths,
// and the permission failures of an unprivileged run.
#include "scan.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "file_map.hpp"
#include "gtest/gtest.h"
#include "test_util.hpp"

namespace fs = std::filesystem;

namespace {

using Times = std::map<std::string, std::int64_t>;

Times scan(const std::string& root) {
  const FileTimeMap map = scan_directory(root);
  Times result;
  for (const auto& [key, time, size] : map.files) {
    result.emplace(key, time);
  }
  return result;
}

// The files of `map` in its order, each with its time and size, after
// checking that the index finds each of them.
std::vector<std::tuple<std::string, std::int64_t, std::uint64_t>> in_order(
    const FileTimeMap& map) {
  std::vector<std::tuple<std::string, std::int64_t, std::uint64_t>> files;
  for (const auto& [key, time, size] : map.files) {
    const std::int64_t* found = find_file_time(map, key);
    EXPECT_TRUE(found != nullptr && *found == time) << key;
    files.emplace_back(key, time, size);
  }
  return files;
}

// The names in the folder at `path`, in the order it lists them.
std::vector<std::string> listed(const std::string& path) {
  std::vector<std::string> names;
  DIR* folder = opendir(path.c_str());
  EXPECT_NE(folder, nullptr) << path;
  while (const dirent* entry = folder == nullptr ? nullptr : readdir(folder)) {
    if (entry->d_name[0] != '.') {
      names.emplace_back(entry->d_name);
    }
  }
  if (folder != nullptr) {
    closedir(folder);
  }
  return names;
}

// Threads that walk both trees at once, more than a run uses.
constexpr std::size_t MANY_THREADS = 16;

void make_socket(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  close(fd);
}

}  // namespace

TEST(Scan, EmptyRootGivesEmptyMap) {
  // Neither an empty root nor empty folders leave a key.
  TempTree tree;
  EXPECT_EQ(scan(tree.root()), Times{});
  tree.mkdir("empty/deeper");
  EXPECT_EQ(scan(tree.root()), Times{});
}

TEST(Scan, KeysAreRelativePathsAndTimesWholeSeconds) {
  // Keys join the names below the root by "/"; times keep the seconds field.
  const std::tuple<std::string, std::int64_t, long, std::int64_t> cases[] = {
      {"a", 1700000000, 0, 1700000000},
      {"sub/b.txt", 1, 900000000, 1},
      {"sub/deeper/c d", -6, 500000000, -6},  // 5.5 s before the epoch
      {"zero", 0, 0, 0}};
  TempTree tree;
  Times expected;
  for (const auto& [rel, seconds, nanoseconds, time] : cases) {
    tree.write(rel, "x");
    tree.set_mtime(rel, seconds, nanoseconds);
    expected[rel] = time;
  }
  EXPECT_EQ(scan(tree.root()), expected);
}

TEST(Scan, SkippedFolderNamesAreNotEnteredAtAnyDepth) {
  // The five names keep out folders at every depth by exact case, not roots.
  TempTree tree;
  for (std::string_view name : SKIPPED_DIR_NAMES) {
    for (std::string above : {"", "one/", "one/two/"}) {
      tree.write(above + std::string(name) + "/deeper/f", "x", 10);
    }
  }
  const Times kept = {{"recovery/f", 20},
                      {"one/Recycler/f", 21},
                      {"plain/Recovery", 22},
                      {"lost+found.txt", 23}};
  for (const auto& [rel, time] : kept) {
    tree.write(rel, "x", time);
  }
  EXPECT_EQ(scan(tree.root()), kept);
  tree.symlink("f", "one/two/lost+found/deeper/link");
  EXPECT_EQ(scan(tree.path("one/two/lost+found")), (Times{{"deeper/f", 10}}));
}

TEST(Scan, PassesOverFolderLinksDanglingLinksLoopsAndSpecialFiles) {
  // Only regular files become keys, and links to folders are not followed.
  TempTree tree;
  tree.write("sub/f", "x", 5);
  tree.symlink("sub", "folder_link");
  tree.symlink(tree.path("sub"), "sub/back_link");
  tree.symlink("nothing", "dangling");
  tree.symlink("loop_b", "loop_a");
  tree.symlink("loop_a", "loop_b");
  tree.symlink("fifo", "fifo_link");
  ASSERT_EQ(mkfifo(tree.path("fifo").c_str(), 0644), 0);
  make_socket(tree.path("sock"));
  EXPECT_EQ(scan(tree.root()), (Times{{"sub/f", 5}}));
}

TEST(Scan, LinksToFilesCountUnderTheTargetInsideTheTreeElseTheirOwnPath) {
  // A link to a file of the tree adds no key; others keep their own path.
  TempTree tree;
  TempTree outside;
  outside.write("far", "x", 300);
  tree.write("a.txt", "x", 100);
  tree.write("Recovery/hidden", "x", 200);
  tree.symlink("a.txt", "b.txt");
  tree.symlink("../a.txt", "sub/up");
  tree.symlink(tree.path("a.txt"), "sub/absolute");
  tree.symlink(outside.path("far"), "sub/out");
  tree.symlink("Recovery/hidden", "peek");
  const Times expected = {{"a.txt", 100}, {"sub/out", 300}, {"peek", 200}};
  EXPECT_EQ(scan(tree.root()), expected);
}

TEST(Scan, RootSpellingsGiveIdenticalMaps) {
  // Relative, dotted, slashed and linked roots give the absolute root's map.
  TempTree tree;
  TempTree other;
  tree.write("a.txt", "x", 1);
  tree.write("sub/b.txt", "x", 2);
  tree.symlink("../a.txt", "sub/link");
  other.symlink(tree.root(), "alias");
  std::error_code ec;
  const fs::path cwd = fs::current_path(ec);
  ASSERT_FALSE(ec) << ec.message();
  const std::string rel = fs::relative(tree.root(), cwd, ec).native();
  ASSERT_FALSE(ec) << ec.message();
  const Times expected = {{"a.txt", 1}, {"sub/b.txt", 2}};
  ASSERT_EQ(scan(tree.root()), expected);
  for (const std::string& root :
       {rel, "./" + rel, rel + "/", rel + "/.", tree.root() + "/",
        tree.root() + "/./", other.path("alias"), other.path("alias/")}) {
    EXPECT_EQ(scan(root), expected) << root;
  }
}

TEST(ScanDeathTest, UnopenableRootEndsWithTheRootAsPassed) {
  // The root text appears between single quotes exactly as given.
  TempTree tree;
  tree.write("file", "x");
  const std::pair<std::string, int> cases[] = {
      {tree.path("missing"), ENOENT},
      {tree.path("no \"such\\ dir/"), ENOENT},
      {tree.path("file"), ENOTDIR},
      {tree.path("file/"), ENOTDIR},
      {"", ENOENT}};
  for (const auto& [root, error] : cases) {
    EXPECT_EXIT(scan_directory(root), testing::ExitedWithCode(1),
                testing::Eq(scan_error(root, error)));
  }
}

TEST(Scan, UnreadableFolderEndsTheRunBeforeTheHostScan) {
  // Failing folders end the run; the (missing) host's failure, though it
  // comes first while the local tree is walked, is not the one told.
  const std::string denied = " (" + error_text(EACCES) + ")\n\n";
  const std::string advance = "FEHLER: Zugriff verweigert bei ";
  const std::string time =
      "FEHLER: Konnte Meta-Daten der Änderungszeit nicht lesen: ";
  const struct {
    std::string folder;
    mode_t mode;
    std::string prefix, named, suffix;
    std::vector<std::string> wrapper = {};
  } cases[] = {
      {"locked", 0, advance, "locked", denied},
      {"de/ep/we\"ird\\", 0300, advance, "de/ep/we\"ird\\", denied},
      {"no \"search\\", 0444, time, "no \"search\\/f", "\n"},
      {"slowly/locked", 0, advance, "slowly/locked", denied,
       strace_unavailable().empty()
           ? strace_injecting("getdents64", "delay_exit=100000")
           : std::vector<std::string>{}},
      // On one core the trees are walked one after the other.
      {"one/core", 0, advance, "one/core", denied, {"taskset", "-c", "0"}}};
  for (const auto& c : cases) {
    TempTree local;
    local.write("top", "x");
    local.write(c.folder + "/f", "x");
    local.open_to_all();
    local.chmod(c.folder, c.mode);
    SCOPED_TRACE(c.folder);
    expect_run(
        run_kelvoda({"-c", "40", "-y", local.root(), local.root() + "-host"},
                    {.user = User::UNPRIVILEGED, .wrapper = c.wrapper}),
        "", c.prefix + quoted(local.path(c.named)) + c.suffix, 1);
    std::error_code ec;
    EXPECT_FALSE(fs::exists(local.root() + "-host", ec));
  }
}

TEST(Scan, PrivateLostAndFoundIsNoErrorForOtherUsers) {
  // A lost+found the run may not read is never opened, so it fails nothing.
  TempTree tree;
  tree.write("keep", "x", 50);
  tree.write("lost+found/secret", "x");
  tree.open_to_all();
  tree.chmod("lost+found", 0);
  expect_run(run_kelvoda({"-c", "40", "-y", tree.root(), tree.root()},
                         {.user = User::UNPRIVILEGED}),
             summary(2, 0, 0, 0) + NOTHING_PENDING, "", 0);
}

TEST(Scan, ThreadsStoreInTheOrderOfAWalkByOneThread) {
  // However threads share the folders, both maps hold the files in the order
  // one thread walking alone stores them, a file met twice at its first
  // place with its last time, and the index finds every key.
  TempTree tree;
  TempTree outside;
  outside.write("far", "x", 7);
  for (int top = 0; top < 8; ++top) {
    for (int middle = 0; middle < 8; ++middle) {
      const std::string folder =
          "t" + std::to_string(top) + "/m" + std::to_string(middle);
      for (int file = 0; file < 6; ++file) {
        tree.write(folder + "/f" + std::to_string(file), "x",
                   top * 100 + middle * 10 + file);
      }
      tree.write(folder + "/deeper/g", "xy", top);
      // Met before or after the file it leads to, in another subtree.
      tree.symlink("../../t" + std::to_string((top + 1) % 8) + "/m" +
                       std::to_string(middle) + "/f0",
                   folder + "/link");
      tree.symlink(outside.path("far"), folder + "/far");
    }
  }
  Console console;
  const TreeScans alone =
      walk_both(tree.root(), tree.path("t3"), console, nullptr, nullptr, 1);
  ASSERT_EQ(alone.error, "");
  ASSERT_EQ(alone.local.files.size(), 8u * 8u * 8u);
  for (int run = 0; run < 10; ++run) {
    const TreeScans shared = walk_both(tree.root(), tree.path("t3"), console,
                                       nullptr, nullptr, MANY_THREADS);
    ASSERT_EQ(shared.error, "");
    EXPECT_EQ(in_order(shared.local), in_order(alone.local));
    EXPECT_EQ(in_order(shared.host), in_order(alone.host));
  }
}

TEST(Scan, BothWalksSurviveFoldersThatComeAndGoWhileThreadsShareThem) {
  // Folders made and removed while many threads walk both trees: each run
  // ends with both maps complete or with one clean message and no map.
  TempTree local;
  TempTree host;
  for (const TempTree* tree : {&local, &host}) {
    for (int folder = 0; folder < 12; ++folder) {
      for (int file = 0; file < 8; ++file) {
        tree->write("s" + std::to_string(folder) + "/f" + std::to_string(file),
                    "x", folder * 10 + file);
      }
    }
  }
  std::atomic<bool> done = false;
  std::thread churn([&] {
    for (unsigned round = 0; !done; ++round) {
      for (const TempTree* tree : {&local, &host}) {
        const std::string folder = tree->path("c" + std::to_string(round % 5));
        ::mkdir(folder.c_str(), 0755);
        ::mkdir((folder + "/sub").c_str(), 0755);
        const int fd = ::open((folder + "/sub/f").c_str(),
                              O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) {
          ::close(fd);
        }
        const std::string gone =
            tree->path("c" + std::to_string((round + 2) % 5));
        ::unlink((gone + "/sub/f").c_str());
        ::rmdir((gone + "/sub").c_str());
        ::rmdir(gone.c_str());
      }
    }
  });
  for (int run = 0; run < 30; ++run) {
    Console console;
    const TreeScans scans = walk_both(local.root(), host.root(), console,
                                      nullptr, nullptr, MANY_THREADS);
    if (!scans.error.empty()) {
      EXPECT_TRUE(scans.error.starts_with("FEHLER: ")) << scans.error;
      EXPECT_TRUE(scans.local.files.empty() && scans.host.files.empty());
      continue;
    }
    for (const FileTimeMap* map : {&scans.local, &scans.host}) {
      std::size_t stable = 0;
      for (const auto& [key, time, size] : map->files) {
        const std::int64_t* found = find_file_time(*map, key);
        EXPECT_TRUE(found != nullptr && *found == time) << key;
        if (key.starts_with("s")) {
          ++stable;
          EXPECT_EQ(key, "s" + std::to_string(time / 10) + "/f" +
                             std::to_string(time % 10));
        } else {
          EXPECT_TRUE(key.starts_with("c") && key.ends_with("/sub/f")) << key;
        }
      }
      EXPECT_EQ(stable, 12u * 8u);
    }
  }
  done = true;
  churn.join();
}

TEST(Scan, ThreadsTellTheFailureThatAWalkByOneThreadMeetsFirst) {
  // Of many unreadable folders, the one told is the first in walk order, as
  // a walk by one thread tells it, though threads meet the others sooner:
  // it lies at the end of a chain of folders below the first one listed.
  TempTree tree;
  TempTree host;
  for (int folder = 0; folder < 24; ++folder) {
    tree.mkdir("d" + std::to_string(folder));
  }
  std::vector<std::string> locked;
  for (const std::string& name : listed(tree.root())) {
    locked.push_back(name + (locked.empty() ? "/a/b/c/d/e/f/g/h" : "") +
                     "/locked");
    tree.write(locked.back() + "/f", "x");
  }
  tree.open_to_all();
  host.open_to_all();
  for (const std::string& folder : locked) {
    tree.chmod(folder, 0);
  }
  const auto told = [](const std::function<std::string()>& walk) {
    return run_in_child(
               [&walk] {
                 std::cerr << walk();
                 return 0;
               },
               {.user = User::UNPRIVILEGED})
        .err;
  };
  const std::string first = "FEHLER: Zugriff verweigert bei " +
                            quoted(tree.path(locked.front())) + " (" +
                            error_text(EACCES) + ")\n\n";
  Console console;
  for (int run = 0; run < 10; ++run) {
    EXPECT_EQ(told([&] {
                return walk_both(tree.root(), host.root(), console, nullptr,
                                 nullptr, MANY_THREADS)
                    .error;
              }),
              first);
    EXPECT_EQ(told([&] {
                return walk_both(host.root(), tree.root(), console, nullptr,
                                 nullptr, MANY_THREADS)
                    .error;
              }),
              first);
    EXPECT_EQ(told([&] {
                scan_directory(tree.root());
                return std::string();
              }),
              first);
  }
}

TEST(Scan, LinkThatCannotBeOpenedForWantOfDescriptorsEndsTheRun) {
  // A link passed over would make its host copy look host-only.
  if (!strace_unavailable().empty()) {
    GTEST_SKIP() << strace_unavailable();
  }
  TempTree local;
  TempTree host;
  TempTree outside;
  outside.write("far", "x", OLD);
  local.write("keep", "x", OLD);
  local.symlink(outside.path("far"), "far-link");
  host.write("keep", "x", OLD);
  host.write("far-link", "x", OLD);
  expect_run(run_kelvoda(
                 {"-c", "40", "-y", local.root(), host.root()},
                 {.wrapper = strace_wrapper(
                      "openat", {"-Pfar-link", "inject=openat:error=EMFILE"})}),
             "",
             "FEHLER: Konnte Meta-Daten der Änderungszeit nicht lesen: " +
                 quoted(local.path("far-link")) + "\n",
             1);
  EXPECT_EQ(host.files(), (std::vector<std::string>{"far-link", "keep"}));
}

TEST(Scan, TreeDeeperThanTheLimitAllowsSaysSo) {
  // Walked alone, one folder open a level: a chain deeper than the limit on
  // open files ends the walk with a message that names the limit.
  TempTree tree;
  std::string folder = "L";
  for (int level = 0; level < 40; ++level) {
    folder += "/d";
  }
  tree.write(folder + "/f", "f", OLD);
  tree.mkdir("H");
  const RunResult run = run_in_child(
      [&tree] {
        Console console;
        const TreeScans scans = walk_both(tree.path("L"), tree.path("H"),
                                          console, nullptr, nullptr, 1);
        std::cout << scans.error << std::flush;
        return 0;
      },
      {.open_files_limit = 16});
  EXPECT_TRUE(
      run.out.starts_with("FEHLER: Das Limit für offene Dateien "
                          "(ulimit -n) reicht nicht für die Tiefe "
                          "bei \"" +
                          tree.path("L/d/")))
      << run.out;
  EXPECT_TRUE(run.out.ends_with("\" (" + error_text(EMFILE) + ")\n\n"))
      << run.out;
}
