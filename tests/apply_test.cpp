// Change application and pruning: whole runs on real trees, and the two
// functions in-process for states a run cannot reach on its own.
#include "apply.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <filesystem>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "interrupt.hpp"
#include "prune.hpp"
#include "test_util.hpp"

namespace fs = std::filesystem;

namespace {

// A local and a host tree, each in a folder of its own; the local one under
// `local_base` where given.
struct Sides {
  explicit Sides(const std::string& local_base = {}) : l(local_base) {}
  TempTree l;
  TempTree h;
  std::string local = l.root();
  std::string host = h.root();
  std::string copy_failure(const std::string& rel, int error) const {
    return ::copy_failure(local, host, rel, error);
  }
};

// One pending action and what applying it prints on stdout and stderr.
struct Action {
  std::string rel;
  DiffType type = NEWER;
  std::string out;
  std::string err;
};

Action copied(const Sides& s, const std::string& rel, DiffType type,
              const std::string& err = "") {
  return {rel, type, copying(s.local + "/" + rel, s.host + "/" + rel), err};
}

// `host` is the host root as the run joins paths to it.
Action removed(const std::string& host, const std::string& rel,
               const std::string& then = "", const std::string& err = "") {
  return {rel, DELETED, file_removed(host + "/" + rel) + then, err};
}

std::string report_line(const Action& action) {
  return std::string(40 - action.rel.size(), ' ') + action.rel +
         (action.type == NEWER     ? NEWER_TEXT
          : action.type == MISSING ? MISSING_TEXT
                                   : DELETED_TEXT);
}

// Puts `actions` in the order in which the report in `out` lists them, which
// is the order the run applies them in.
std::vector<Action> as_reported(std::vector<Action> actions,
                                const std::string& out) {
  std::stable_sort(actions.begin(), actions.end(),
                   [&](const Action& a, const Action& b) {
                     return out.find("\n" + report_line(a)) <
                            out.find("\n" + report_line(b));
                   });
  return actions;
}

// The report of `actions`, in their order, and its summary for `total` files.
std::string report(const std::vector<Action>& actions, int total) {
  std::string out = actions.empty() ? "" : "\n";
  int counts[5] = {};
  for (const Action& action : actions) {
    out += report_line(action);
    ++counts[action.type];
  }
  return out + summary(total, counts[NEWER], counts[MISSING], counts[DELETED]);
}

// Runs `-y -c 40 local host` with a umask of 022, the child's inheritance.
RunResult run_yes(const Sides& s, const RunOptions& options = {},
                  const std::string& host_suffix = "") {
  const mode_t old_mask = umask(022);
  RunResult run =
      run_kelvoda({"-y", "-c", "40", s.local, s.host + host_suffix}, options);
  umask(old_mask);
  return run;
}

// Checks a whole run: the report of `actions` for `total` files, then each
// action's lines in the report's order and the closing empty line, the
// errors in the same order, status 0, or 2 after an error. No actions: the
// nothing-pending text.
void expect_run(const RunResult& run, std::vector<Action> actions, int total) {
  actions = as_reported(std::move(actions), run.out);
  std::string applied;
  std::string err;
  for (const Action& action : actions) {
    applied += action.out;
    err += action.err;
  }
  expect_run(run,
             report(actions, total) +
                 (actions.empty() ? NOTHING_PENDING : applied + "\n"),
             err, err.empty() ? 0 : 2);
}

// Runs the copy of `rel`, a file of 1 MiB, with a file size limit of 64 KiB
// at which the kernel kills the run; expects it killed after its progress
// line, the report of `total` files before.
void expect_killed_copy(const Sides& s, const std::string& rel, DiffType type,
                        int total) {
  s.l.write(rel, std::string(1 << 20, 'k'), OLD + 10);
  const Action copy = copied(s, rel, type);
  expect_run(run_yes(s, {.file_size_limit = 64 * 1024,
                         .over_limit = OverLimit::KILLS}),
             report({copy}, total) + copy.out, "", 128 + SIGXFSZ);
}

// Runs `action` in-process; returns what it printed on stdout and stderr.
template <typename F>
std::pair<std::string, std::string> captured(F action) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  action();
  std::string out = testing::internal::GetCapturedStdout();
  return {out, testing::internal::GetCapturedStderr()};
}

}  // namespace

// Missing folders are made silently; copies take the source's permission
// bits despite the umask and the time of writing; a newer file is replaced.
TEST(Apply, CopiesIntoNewFoldersAndOverwrites) {
  Sides s;
  const std::pair<std::string, fs::perms> files[] = {{"a/b/f", fs::perms(0640)},
                                                     {"a/b/x", fs::perms(0775)},
                                                     {"n", fs::perms(0664)}};
  for (const auto& [rel, mode] : files) {
    s.l.write(rel, "local " + rel, OLD + 10);
    fs::permissions(s.l.path(rel), mode);
  }
  s.h.write("n", "the older and longer host text", OLD);
  s.h.chmod("n", 0600);
  // File times may lag the clock by a tick.
  const std::int64_t before = std::time(nullptr) - 1;
  expect_run(run_yes(s),
             {copied(s, "a/b/f", MISSING), copied(s, "a/b/x", MISSING),
              copied(s, "n", NEWER)},
             4);
  for (const auto& [rel, mode] : files) {
    EXPECT_EQ(s.h.read(rel), "local " + rel);
    EXPECT_EQ(fs::status(s.h.path(rel)).permissions(), mode) << rel;
    EXPECT_GE(s.h.mtime(rel), before) << rel;
  }
  EXPECT_EQ(s.h.files(), (std::vector<std::string>{"a/b/f", "a/b/x", "n"}));
}

// Sources that the page cache does not hold are asked of the disk ahead of
// their copies, each once; those it holds are not. The copies come out
// whole.
TEST(Apply, SourcesNotInTheCacheAreReadAhead) {
  if (const std::string reason = strace_unavailable(); !reason.empty()) {
    GTEST_SKIP() << reason;
  }
  constexpr int COUNT = 100;
  for (const bool cold : {true, false}) {
    SCOPED_TRACE(cold ? "cold" : "warm");
    Sides s;
    TempTree io;
    for (int i = 0; i < COUNT; ++i) {
      const std::string rel = "d/" + std::to_string(i);
      s.l.write(rel, std::string(8192, static_cast<char>('a' + i % 26)), OLD);
      if (cold) {
        // Out of the cache once on the disk.
        const UniqueFd file(open(s.l.path(rel).c_str(), O_RDONLY));
        ASSERT_EQ(fdatasync(file.get()), 0);
        ASSERT_EQ(posix_fadvise(file.get(), 0, 0, POSIX_FADV_DONTNEED), 0);
      }
    }
    const RunResult run = run_yes(
        s, {.wrapper = strace_wrapper("fadvise64", {}, io.path("trace"))});
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    const std::string trace = io.read("trace");
    const auto asked = std::count(trace.begin(), trace.end(), '\n');
    if (cold) {
      EXPECT_GT(asked, COUNT / 2) << trace;
      EXPECT_LE(asked, COUNT) << trace;
    } else {
      EXPECT_EQ(asked, 0) << trace;
    }
    for (int i = 0; i < COUNT; ++i) {
      EXPECT_EQ(s.h.read("d/" + std::to_string(i)),
                s.l.read("d/" + std::to_string(i)));
    }
  }
}

// Every copy gives its entry of the interrupt handler's table back once it
// is in place: more copies than the table holds go through in one run.
TEST(Apply, MoreCopiesInOneRunThanTheTableOfHiddenEntriesHolds) {
  Sides s;
  const std::size_t count = MAX_HIDDEN + 100;
  // Overwrites, each through a hidden file of its own.
  for (std::size_t i = 0; i < count; ++i) {
    s.l.write("many/" + std::to_string(i), "new", OLD + 10);
    s.h.write("many/" + std::to_string(i), "", OLD);
  }
  const RunResult run = run_yes(s);
  EXPECT_TRUE(run.err.empty()) << run.err.substr(0, 500);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(s.h.read("many/" + std::to_string(count - 1)), "new");
}

// The last file two levels down takes both emptied folders with it, deepest
// first, and the emptied host root stays, however the root is spelled.
TEST(Apply, PrunesUpToTheHostRoot) {
  // The host root as passed, and as the run joins paths to it.
  const std::pair<std::string, std::string> spellings[] = {
      {"", ""}, {"/", ""}, {"//", ""}, {"/./", "/."}};
  for (const auto& [suffix, joined] : spellings) {
    SCOPED_TRACE(suffix);
    Sides s;
    s.l.write("x/keep", "k", OLD);  // a local tree with a file
    s.h.write("x/keep", "k", OLD);
    s.h.write("x/y/f", "old");
    const std::string host = s.host + joined;
    expect_run(run_yes(s, {}, suffix),
               {removed(host, "x/y/f", folder_removed(host + "/x/y"))}, 3);
    EXPECT_EQ(s.h.files(), std::vector<std::string>{"x/keep"});
    s.l.write("keep", "k", OLD);
    s.h.write("keep", "k", OLD);
    fs::remove_all(s.l.path("x"));
    expect_run(run_yes(s, {}, suffix),
               {removed(host, "x/keep", folder_removed(host + "/x"))}, 3);
    EXPECT_EQ(s.h.files(), std::vector<std::string>{"keep"});
  }
}

// A folder keeping a file or an empty subfolder stays; several deletions in
// one folder remove it once, after the last; a root file prunes nothing.
TEST(Apply, PrunesOnlyFoldersLeftEmpty) {
  Sides s;
  s.l.write("o/keep", "k", OLD);
  s.h.write("o/keep", "k", OLD);
  s.h.mkdir("e/sub");
  std::vector<Action> actions;
  for (const char* rel : {"o/f", "e/f", "s/f1", "s/f2", "s/f3", "r"}) {
    s.h.write(rel, "x");
    actions.push_back(removed(s.host, rel));
  }
  const RunResult run = run_yes(s);
  actions = as_reported(std::move(actions), run.out);
  std::find_if(actions.rbegin(), actions.rend(), [](const Action& a) {
    return a.rel.starts_with("s/");
  })->out += folder_removed(s.host + "/s");
  expect_run(run, actions, 8);
  EXPECT_EQ(s.h.files(), std::vector<std::string>{"o/keep"});
  EXPECT_TRUE(s.h.exists("e/sub"));
  EXPECT_FALSE(s.h.exists("s"));
}

// The walk removes the held folders deepest first and never the root, also
// a root reached through a link; holding folders never follows a link.
TEST(Apply, PruningClimbsTheHeldFoldersAndStopsAtTheRoot) {
  TempTree tree;
  tree.mkdir("t/root/a/b");
  tree.mkdir("out/sub");
  tree.symlink(tree.path("t/root"), "rootlink");
  tree.symlink(tree.path("out"), "t/root/lnk");
  FolderChain folders{.root = tree.path("rootlink")};
  EXPECT_EQ(open_folders(folders, "lnk/sub", Create::NO), ENOTDIR);
  ASSERT_EQ(open_folders(folders, "", Create::NO), 0);
  auto [out, err] =
      captured([&] { remove_empty_parents(folders, tree.path("rootlink")); });
  EXPECT_EQ(out + err, "");
  ASSERT_EQ(open_folders(folders, "a/b", Create::NO), 0);
  std::tie(out, err) = captured(
      [&] { remove_empty_parents(folders, tree.path("rootlink/a/b")); });
  EXPECT_EQ(out, folder_removed(tree.path("rootlink/a/b")) +
                     folder_removed(tree.path("rootlink/a")));
  EXPECT_EQ(err, "");
  EXPECT_EQ(tree.files(), (std::vector<std::string>{"rootlink", "t/root/lnk"}));
  EXPECT_TRUE(tree.exists("out/sub"));
}

// A host file already gone is no failure and prints nothing; its emptied
// folder is still pruned.
TEST(Apply, HostFileAlreadyGoneStillPrunes) {
  Sides s;
  s.h.mkdir("d");
  const auto [out, err] = captured([&] {
    sync_different_files({{"d/gone", DELETED}, {"gone", DELETED}}, s.local,
                         s.host);
  });
  EXPECT_EQ(out, folder_removed(s.host + "/d"));
  EXPECT_EQ(err, "");
  EXPECT_TRUE(fs::is_empty(s.host));
}

// A run whose only change is a folder pruned (its file went before the
// answer) still makes it durable.
TEST(Apply, AFolderPrunedAloneIsMadeDurable) {
  if (const std::string reason = strace_unavailable(); !reason.empty()) {
    GTEST_SKIP() << reason;
  }
  Sides s;
  TempTree io;
  s.l.write("keep", "k", OLD);
  s.h.write("keep", "k", OLD);
  s.h.write("d/gone", "g", OLD);
  const auto child = start_kelvoda(
      {"-c", "40", s.local, s.host},
      {.stdin_mode = Stdin::PIPE,
       .wrapper = strace_wrapper("syncfs", {}, io.path("trace"))});
  ASSERT_TRUE(child->wait_for("(j/n)? "));
  fs::remove(s.h.path("d/gone"));
  child->send("j\n");
  const RunResult run = child->finish();
  EXPECT_TRUE(run.out.ends_with(folder_removed(s.host + "/d") + "\n"))
      << run.out;
  EXPECT_NE(io.read("trace").find("syncfs("), std::string::npos);
}

// Whatever stands where a copy or its folder must go is cleared in the same
// run, never followed: links (dangling, to a file, to a folder outside),
// special files, empty folders, a host file where the local tree now has a
// folder and a host folder where it now has a file, each deletion reported
// as it happens. Nothing outside the host changes, and the next run has
// nothing to do. A double quote or backslash is escaped in folder lines
// only.
TEST(Apply, WhatStandsInTheWayIsCleared) {
  Sides s;
  TempTree outside;
  outside.write("out/x", "outside", OLD);
  outside.write("outfile", "outside", OLD);
  const std::vector<std::string> before = outside.files();
  s.l.write("real", "r", OLD);
  s.h.write("real", "r", OLD);
  s.h.symlink("real", "link");
  s.h.symlink("nowhere", "dangling");
  ASSERT_EQ(mkfifo(s.h.path("fifo").c_str(), 0644), 0);
  ASSERT_EQ(mkfifo(s.h.path("fifo-folder").c_str(), 0644), 0);
  s.h.mkdir("empty/sub");
  s.h.symlink(outside.path("out"), "outlink");
  s.l.write("two/keep", "k", OLD);
  s.h.write("two/keep", "k", OLD);
  s.h.symlink(outside.path("out"), "two/outlink");  // a level down
  s.h.symlink(outside.path("outfile"), "newer");
  s.h.write("k\"\\file", "a file where a folder is needed", OLD);
  s.h.write("u\"\\dir/old", "o", OLD);
  s.h.write("u\"\\dir/deep/older", "o", OLD);
  std::vector<std::string> expected;
  for (const char* rel :
       {"link", "dangling", "fifo", "fifo-folder/x", "empty", "outlink/b",
        "two/outlink/deeper/c", "k\"\\file/f", "u\"\\dir"}) {
    s.l.write(rel, std::string("local ") + rel, OLD);
    expected.push_back(report_line(copied(s, rel, MISSING)) +
                       copying(s.local + "/" + rel, s.host + "/" + rel));
  }
  s.l.write("newer", "local newer", OLD + 10);
  expected.push_back(report_line(copied(s, "newer", NEWER)) +
                     copying(s.local + "/newer", s.host + "/newer"));
  for (const char* rel : {"k\"\\file", "u\"\\dir/old", "u\"\\dir/deep/older"}) {
    expected.push_back(report_line(removed(s.host, rel)) +
                       file_removed(s.host + "/" + rel));
  }
  for (const char* rel : {"u\"\\dir/deep", "u\"\\dir", "empty/sub", "empty"}) {
    expected.push_back(folder_removed(s.host + "/" + rel));
  }
  const RunResult run = run_yes(s);
  std::string all;
  for (const std::string& text : expected) {
    all += text;
  }
  EXPECT_EQ(sorted_lines(run.out),
            sorted_lines("\n" + all + summary(18, 1, 9, 3) + "\n"));
  // What the work before the file in a folder's way did is told before that
  // file's removal, though it still waits in an open batch at that moment.
  EXPECT_LT(run.out.find(file_removed(s.host + "/u\"\\dir/old")),
            run.out.find(file_removed(s.host + "/k\"\\file")))
      << run.out;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(s.h.files(), s.l.files());
  for (const std::string& rel : s.l.files()) {
    EXPECT_EQ(s.h.read(rel), s.l.read(rel)) << rel;
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(s.h.path(rel)))) << rel;
  }
  EXPECT_EQ(outside.files(), before);
  EXPECT_EQ(outside.read("out/x") + outside.read("outfile"), "outsideoutside");
  expect_run(run_yes(s), {}, 24);
}

// A copy is dated a second before its source was opened, so a change made
// while it is copied, or in the same second after, is newer: the next run
// mirrors it.
TEST(Apply, ChangesInTheCopysSecondAreMirrored) {
  if (const std::string reason = strace_unavailable(); !reason.empty()) {
    GTEST_SKIP() << reason;
  }
  Sides s;
  TempTree io;
  s.l.write("f", "first", OLD);
  const RunResult run = run_yes(
      s, {.wrapper = strace_wrapper("openat", {"-ttt"}, io.path("trace"))});
  EXPECT_EQ(run.err, "");
  // The second in which the copy opened its source: "<pid> <time> openat(".
  std::istringstream trace(io.read("trace"));
  std::int64_t opened = 0;
  for (std::string line; std::getline(trace, line);) {
    if (line.find("\"f\", O_RDONLY") != std::string::npos) {
      opened = std::stoll(line.substr(line.find(' ') + 1));
    }
  }
  ASSERT_GT(opened, 0) << io.read("trace");
  EXPECT_LT(s.h.mtime("f"), opened);
  // The earliest time a change after that moment can carry.
  s.l.write("f", "second", opened);
  expect_run(run_yes(s), {copied(s, "f", NEWER)}, 2);
  EXPECT_EQ(s.h.read("f"), "second");
}

// Under a low limit on open files every copy gets through, batches being
// handed over early; below the fewest a run works with, one error comes
// before anything is touched.
TEST(Apply, LowLimitsOnOpenFiles) {
  Sides s;
  for (int i = 0; i < 60; ++i) {
    s.l.write("d" + std::to_string(i % 3) + "/f" + std::to_string(i), "f", OLD);
  }
  // Deep enough that the folders held leave no room for a waiting copy.
  for (int i = 0; i < 3; ++i) {
    s.l.write("a/b/c/d/e/f/g" + std::to_string(i), "g", OLD);
  }
  // Empty folders in the way of files, each cleared with a listing of its
  // own.
  for (int i = 0; i < 30; ++i) {
    s.l.write("e" + std::to_string(i), "e", OLD);
    s.h.mkdir("e" + std::to_string(i) + "/empty");
  }
  const RunResult run = run_yes(s, {.open_files_limit = 20});
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(s.h.files(), s.l.files());
  // Trees so deep that both chains of folders would not fit under the hard
  // limit: three files on every level all get through.
  for (const auto& [levels, limit] : {std::pair{12, 20}, std::pair{40, 64}}) {
    SCOPED_TRACE(levels);
    const Sides deep;
    std::string folder = "d";
    for (int level = 0; level < levels; ++level) {
      for (const char* name : {"/f1", "/f2", "/f3"}) {
        deep.l.write(folder + name, "f", OLD);
      }
      folder += "/d";
    }
    const RunResult deep_run = run_yes(deep, {.open_files_limit = limit});
    EXPECT_EQ(deep_run.err, "");
    EXPECT_EQ(deep_run.status, 0);
    EXPECT_EQ(deep.h.files(), deep.l.files());
  }
  const Sides tight;
  tight.l.write("f", "f", OLD);
  expect_run(run_yes(tight, {.open_files_limit = 15}), "",
             command_line_error("Das Limit für offene Dateien (ulimit -n) ist "
                                "zu klein; nötig sind mindestens 16"),
             1);
  EXPECT_EQ(tight.h.files(), std::vector<std::string>{});
}

// Permission failures of an unprivileged run end only their own entry and
// leave no file, partial or temporary, behind.
TEST(Apply, PermissionFailuresEndOnlyTheirEntry) {
  Sides s;
  for (const char* rel :
       {"w/m1", "w/m2", "w/sub/m3", "z\"\\", "ok", "new/ok", "new/no/f"}) {
    s.l.write(rel, "local", OLD);
  }
  s.h.mkdir("w");
  for (const char* rel : {"ro/f", "p/d/f", "gone"}) {
    s.h.write(rel, "host", OLD);
  }
  s.l.open_to_all();
  s.h.open_to_all();
  for (const char* rel : {"w", "ro", "p"}) {
    s.h.chmod(rel, 0555);
  }
  s.l.chmod("z\"\\", 0);
  // A folder made for a copy that then fails goes again.
  s.l.chmod("new/no/f", 0);
  expect_run(
      run_yes(s, {.user = User::UNPRIVILEGED}),
      {copied(s, "w/m1", MISSING, s.copy_failure("w/m1", EACCES)),
       copied(s, "w/m2", MISSING, s.copy_failure("w/m2", EACCES)),
       copied(s, "w/sub/m3", MISSING,
              folder_failure(s.host + "/w/sub", EACCES)),
       copied(s, "z\"\\", MISSING, s.copy_failure("z\"\\", EACCES)),
       copied(s, "ok", MISSING),
       copied(s, "new/ok", MISSING),
       copied(s, "new/no/f", MISSING, s.copy_failure("new/no/f", EACCES)),
       {"ro/f", DELETED, "", failure("Löschen von", s.host + "/ro/f", EACCES)},
       removed(s.host, "p/d/f", "",
               failure("Löschen von", s.host + "/p/d", EACCES)),
       removed(s.host, "gone")},
      10);
  EXPECT_EQ(s.h.files(), (std::vector<std::string>{"new/ok", "ok", "ro/f"}));
  EXPECT_TRUE(s.h.exists("p/d"));
  EXPECT_FALSE(s.h.exists("new/no"));
}

// In a folder that may be written and searched but not read (a drop box,
// made so after the scan), a file is removed and a new one copied in; only
// the test whether the folder is now empty fails.
TEST(Apply, DropBoxFoldersTakeDeletionsAndCopies) {
  Sides s;
  s.l.write("drop/new", "n", OLD);
  s.h.write("drop/old", "o", OLD);
  s.l.open_to_all();
  s.h.open_to_all();
  s.h.chmod("drop", 0333);
  const RunResult run = run_in_child(
      [&] {
        sync_different_files({{"drop/new", MISSING}, {"drop/old", DELETED}},
                             s.local, s.host);
        return 0;
      },
      {.user = User::UNPRIVILEGED});
  expect_run(run,
             copying(s.local + "/drop/new", s.host + "/drop/new") +
                 file_removed(s.host + "/drop/old"),
             failure("Prüfen von", s.host + "/drop", EACCES), 0);
  s.h.chmod("drop", 0755);
  EXPECT_EQ(s.h.files(), std::vector<std::string>{"drop/new"});
}

// A copy failing midway keeps the old host file and leaves no temporary
// file; the next run without the size limit catches up.
TEST(Apply, FailedCopyKeepsTheOldHostFile) {
  Sides s;
  const std::string big(1 << 20, 'b');
  s.l.write("new", big, OLD);
  s.l.write("upd", big, OLD + 10);
  s.h.write("upd", "old", OLD);
  expect_run(run_yes(s, {.file_size_limit = 64 * 1024}),
             {copied(s, "new", MISSING, s.copy_failure("new", EFBIG)),
              copied(s, "upd", NEWER, s.copy_failure("upd", EFBIG))},
             3);
  EXPECT_EQ(s.h.files(), std::vector<std::string>{"upd"});
  EXPECT_EQ(s.h.read("upd"), "old");
  expect_run(run_yes(s), {copied(s, "new", MISSING), copied(s, "upd", NEWER)},
             3);
  EXPECT_TRUE(s.h.read("new") == big && s.h.read("upd") == big);
  expect_run(run_yes(s), {}, 4);
}

// An overwrite killed midway keeps the old host file and leaves its hidden
// temporary file, which the next run removes without listing it while it
// copies again.
TEST(Apply, KilledCopyIsRepairedByTheNextRun) {
  Sides s;
  s.h.write("big", "old", OLD);
  expect_killed_copy(s, "big", NEWER, 2);
  EXPECT_EQ(s.h.read("big"), "old");
  const std::vector<std::string> left = s.h.files();
  ASSERT_EQ(left.size(), 2u);
  const std::string temp = left[left[0] == "big" ? 1 : 0];
  EXPECT_TRUE(temp.starts_with(".kelvoda-") && temp.ends_with(".tmp")) << temp;
  // The killed run's hidden file is neither listed nor kept.
  expect_run(run_yes(s), {copied(s, "big", NEWER)}, 2);
  EXPECT_EQ(s.h.files(), std::vector<std::string>{"big"});
  EXPECT_TRUE(s.h.read("big") == s.l.read("big"));
  expect_run(run_yes(s), {}, 2);
}

// A new file killed midway leaves nothing behind: it is written unnamed and
// only linked under its name once complete.
TEST(Apply, KilledNewCopyLeavesNothingBehind) {
  Sides s;
  expect_killed_copy(s, "big", MISSING, 1);
  EXPECT_EQ(s.h.files(), std::vector<std::string>{});
  expect_run(run_yes(s), {copied(s, "big", MISSING)}, 1);
  EXPECT_TRUE(s.h.read("big") == s.l.read("big"));
}

// A host root replaced while the copies run stops the run at its next look
// (at the latest after 256 entries, or before the first deletion): nothing
// goes into the folder that took its place, status 2.
TEST(Apply, HostReplacedMidwayStopsTheRun) {
  if (const std::string reason = strace_unavailable(); !reason.empty()) {
    GTEST_SKIP() << reason;
  }
  Sides s;
  for (int i = 0; i < 300; ++i) {
    s.l.write("f" + std::to_string(i), "f", OLD);
  }
  s.h.write("gone", "g", OLD);
  // The second copy's data waits long enough for the root to be replaced.
  const auto child =
      start_kelvoda({"-y", "-c", "40", s.local, s.host},
                    {.wrapper = strace_injecting(
                         "copy_file_range", "delay_enter=2000000:when=2")});
  ASSERT_TRUE(child->wait_for(" -> " + s.host + "/"));
  fs::rename(s.host, s.host + ".old");
  fs::create_directory(s.host);
  const RunResult run = child->finish();
  EXPECT_TRUE(run.err.ends_with(command_line_error(
      "Das Host-Verzeichnis " + ::quoted(s.host) +
      " ist nicht mehr das durchsuchte (ausgehängt oder getauscht); der "
      "Abgleich wurde abgebrochen")))
      << run.err;
  EXPECT_EQ(run.status, 2);
  EXPECT_TRUE(fs::is_empty(s.host));
  EXPECT_TRUE(fs::exists(s.host + ".old/gone"));
  fs::remove(s.host);
  fs::rename(s.host + ".old", s.host);
}

// A chain that holds only its root and deepest level open reaches, makes
// and climbs back from any depth with a few descriptors.
TEST(Apply, ChainsHoldingTheDeepestOnlyReachAnyDepth) {
  TempTree tree;
  std::string deep = "d";
  for (int level = 1; level < 40; ++level) {
    deep += "/d";
  }
  const std::string root = tree.root();
  const RunResult run = run_in_child(
      [&] {
        FolderChain chain{.root = root, .holding = Holding::DEEPEST};
        // The root, the level the last ones were made from, and the
        // deepest; and the level opened again.
        if (open_folders(chain, deep, Create::YES) != 0 ||
            open_levels(chain) > 3 ||
            open_folders(chain, deep + "/e", Create::YES) != 0 ||
            open_levels(chain) > 3 || level_fd(chain, 20) < 0 ||
            open_levels(chain) > 4) {
          return 1;
        }
        // Back up and down again by another branch.
        return open_folders(chain, deep.substr(0, 39) + "/x/y", Create::YES);
      },
      {.open_files_limit = 16});
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(tree.exists(deep + "/e"));
  EXPECT_TRUE(tree.exists(deep.substr(0, 39) + "/x/y"));
}

// Copies, overwrites, links and deletions work in folders nested beyond
// PATH_MAX, where no path can be handed to the kernel as a whole.
TEST(Apply, TreesDeeperThanPathMax) {
  Sides s;
  std::string deep = "top";
  for (char c = 'a'; c < 'a' + 25; ++c) {
    deep += "/" + std::string(200, c);
  }
  const auto folder = [&](const std::string& root) {
    FolderChain folders{.root = root};
    EXPECT_EQ(open_folders(folders, deep, Create::YES), 0);
    return folders;
  };
  const auto put = [&](const std::string& root, const char* name,
                       const std::string& text, std::int64_t time) {
    const FolderChain folders = folder(root);
    const int at = deepest_fd(folders);
    const UniqueFd fd(openat(at, name, O_WRONLY | O_CREAT | O_TRUNC, 0644));
    EXPECT_EQ(write(fd.get(), text.data(), text.size()),
              static_cast<ssize_t>(text.size()));
    const timespec times[2] = {{time, 0}, {time, 0}};
    EXPECT_EQ(utimensat(at, name, times, 0), 0);
  };
  const auto get = [&](const std::string& root, const char* name) {
    const FolderChain folders = folder(root);
    const UniqueFd fd(openat(deepest_fd(folders), name, O_RDONLY));
    std::string text(100, '\0');
    const ssize_t got = fd.valid() ? read(fd.get(), text.data(), 100) : -1;
    return got < 0 ? "(missing)" : text.substr(0, static_cast<size_t>(got));
  };
  put(s.local, "new", "n", OLD);
  put(s.local, "upd", "local", OLD + 10);
  ASSERT_EQ(symlinkat("new", deepest_fd(folder(s.local)), "link"), 0);
  put(s.host, "upd", "host", OLD);
  put(s.host, "gone", "g", OLD);
  const RunResult run = run_yes(s);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(
      run.out.ends_with(file_removed(s.host + "/" + deep + "/gone") + "\n"))
      << run.out;
  EXPECT_EQ(get(s.host, "new"), "n");
  EXPECT_EQ(get(s.host, "upd"), "local");
  EXPECT_EQ(get(s.host, "gone"), "(missing)");
  expect_run(run_yes(s), summary(4, 0, 0, 0) + NOTHING_PENDING, "", 0);
}

// Files larger than the copy buffer arrive intact within one file system and
// from another one (tmpfs), where the kernel refuses to copy and the buffer
// does all of it; holes stay holes on a host that can store them.
TEST(Apply, CopiesWithinAndAcrossFileSystems) {
  std::mt19937_64 rng(7);
  std::string big((1 << 20) + 12345, '\0');
  for (char& c : big) {
    c = static_cast<char>(rng());
  }
  std::string sparse(16 << 20, '\0');
  sparse.replace(8 << 20, 5, "data!");
  for (const std::string base : {"", "/dev/shm"}) {
    SCOPED_TRACE(base);
    if (!base.empty() && !fs::is_directory(base)) {
      GTEST_SKIP() << "no " << base << " to hold a tree on another file system";
    }
    Sides s(base);
    s.l.write("new", big, OLD);
    s.l.write("upd", big.substr(1000), OLD + 10);
    s.h.write("upd", "the older host file", OLD);
    const int fd = open(s.l.path("sparse").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(pwrite(fd, "data!", 5, 8 << 20), 5);
    ASSERT_EQ(ftruncate(fd, 16 << 20), 0);
    close(fd);
    s.l.set_mtime("sparse", OLD);
    expect_run(run_yes(s),
               {copied(s, "new", MISSING), copied(s, "upd", NEWER),
                copied(s, "sparse", MISSING)},
               4);
    EXPECT_TRUE(s.h.read("new") == big);
    EXPECT_TRUE(s.h.read("upd") == big.substr(1000));
    EXPECT_TRUE(s.h.read("sparse") == sparse);
    struct stat st {};
    ASSERT_EQ(stat(s.h.path("sparse").c_str(), &st), 0);
    EXPECT_LT(st.st_blocks * 512, 1 << 20);
  }
}

// A local file that stopped being a regular file since the scan fails with
// EINVAL at once, never blocking on a pipe or copying a device; the host file
// stays as it was.
TEST(Apply, SourcesThatAreNoLongerFilesFail) {
  Sides s;
  ASSERT_EQ(mkfifo(s.l.path("pipe").c_str(), 0644), 0);
  s.l.symlink("/dev/zero", "zero");
  s.l.mkdir("dir");
  std::string out;
  std::string err;
  std::vector<DiffEntry> entries;
  for (const std::string rel : {"pipe", "zero", "dir"}) {
    s.h.write(rel, "host", OLD);
    entries.push_back({rel, NEWER});
    out += copying(s.local + "/" + rel, s.host + "/" + rel);
    err += s.copy_failure(rel, EINVAL);
  }
  EXPECT_EQ(captured([&] { sync_different_files(entries, s.local, s.host); }),
            std::make_pair(out, err));
  EXPECT_EQ(s.h.files(), (std::vector<std::string>{"dir", "pipe", "zero"}));
  EXPECT_EQ(s.h.read("pipe") + s.h.read("zero") + s.h.read("dir"),
            "hosthosthost");
}

// Faults injected into the run's system calls by strace: SIGINT, SIGTERM or
// SIGHUP while an overwrite writes its temporary file removes that file and
// ends the run by the same signal, the host keeping the old file; a kernel
// that refuses to link an unnamed file by its descriptor (EPERM or ENOENT
// before Linux 6.10 without CAP_DAC_READ_SEARCH) gets it linked through
// /proc.
TEST(Apply, InjectedFaultsKeepTheHostWhole) {
  if (const std::string reason = strace_unavailable(); !reason.empty()) {
    GTEST_SKIP() << reason;
  }
  const std::string writes = "copy_file_range,pwrite64";
  struct Case {
    std::string calls, inject;
    DiffType type;
    int status;
    int copy_error = 0;   // what each copy fails with
    int sync_error = 0;   // what the final sync fails with
    bool sparse = false;  // the local files have holes, in a new folder
    // Only the calls on the host root's folder are hit: each sync runs on a
    // thread of its own, and strace counts a thread's calls from its start.
    bool root_only = false;
  };
  std::vector<Case> cases = {
      // A file with holes is copied segment by segment; a failed segment
      // fails the copy instead of leaving a hole in its place, and the new
      // folder that got no copy goes again.
      {"copy_file_range", "error=EIO", MISSING, 0, EIO, 0, true},
      {"linkat", "error=EPERM:when=1+2", MISSING, 0},
      {"linkat", "error=ENOENT:when=1+2", MISSING, 0},
      // A batch whose sync fails never reaches its names; a failed final
      // sync is reported and leaves the copies in place.
      {"syncfs", "error=EIO:when=1", MISSING, 0, EIO},
      {"fsync", "error=EIO:when=1", MISSING, 0, EIO},
      {"syncfs", "error=EIO", MISSING, 0, 0, EIO, false, true}};
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    cases.push_back({writes, "signal=" + std::to_string(signal_number), NEWER,
                     128 + signal_number});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.inject);
    Sides s;
    std::vector<Action> copies;
    for (std::string rel : {"a", "b"}) {
      rel = c.sparse ? "new/" + rel : rel;
      s.l.write(rel, c.sparse ? "" : std::string(1 << 20, rel[0]), OLD + 10);
      if (c.sparse) {
        const UniqueFd fd(open(s.l.path(rel).c_str(), O_WRONLY));
        ASSERT_EQ(pwrite(fd.get(), "data", 4, 1 << 20), 4);
        ASSERT_EQ(ftruncate(fd.get(), 2 << 20), 0);
        s.l.set_mtime(rel, OLD + 10);
      }
      if (c.type == NEWER) {
        s.h.write(rel, "old", OLD);
      }
      copies.push_back(copied(s, rel, c.type));
    }
    std::vector<std::string> options = {"inject=" + c.calls + ":" + c.inject};
    if (c.root_only) {
      options.push_back("-P" + s.host);
    }
    const RunResult run =
        run_yes(s, {.wrapper = strace_wrapper(c.calls, options)});
    if (c.status == 0) {
      for (Action& copy : copies) {
        copy.err =
            c.copy_error == 0 ? "" : s.copy_failure(copy.rel, c.copy_error);
      }
      if (c.sync_error != 0) {
        copies.back().err =
            failure("Synchronisieren von", s.host, c.sync_error);
      }
      expect_run(run, copies, 2);
      const std::vector<std::string> placed = {"a", "b"};
      EXPECT_EQ(s.h.files(),
                c.copy_error == 0 ? placed : std::vector<std::string>{});
      EXPECT_FALSE(s.h.exists("new"));
      EXPECT_TRUE(c.copy_error != 0 || s.h.read("a") == s.l.read("a"));
      continue;
    }
    EXPECT_EQ(s.h.files(), (std::vector<std::string>{"a", "b"}));
    copies = as_reported(copies, run.out);
    expect_run(run, report(copies, 4) + copies[0].out, "", c.status);
    EXPECT_EQ(s.h.read("a") + s.h.read("b"), "oldold");
  }
}

// One call of a trace by `strace -f -y`: W a write, S a syncfs, F an fsync,
// P a copy put in place; for W and P the file of the copy (the path strace
// shows for a written descriptor, or the temporary name a rename takes), for
// S the folder or file synced;
// the lines where it began and ended, which differ when another thread's
// calls came in between.
struct TracedCall {
  char kind = 0;
  std::string file;
  std::size_t begin = 0;
  std::size_t end = 0;
};

std::vector<TracedCall> traced_calls(const std::string& trace) {
  std::vector<TracedCall> calls;
  std::unordered_map<std::string, TracedCall> unfinished;  // by thread id
  std::istringstream lines(trace);
  std::size_t index = 0;
  for (std::string line; std::getline(lines, line); ++index) {
    const std::string thread = line.substr(0, line.find(' '));
    const bool failed = line.find(") = -1") != std::string::npos;
    if (line.find("resumed>") != std::string::npos) {
      if (!failed && unfinished.contains(thread)) {
        calls.push_back(unfinished[thread]);
        calls.back().end = index;
      }
      unfinished.erase(thread);
      continue;
    }
    const auto has = [&](const char* name) {
      return line.find(std::string(" ") + name + "(") != std::string::npos;
    };
    // The paths strace shows for descriptors, and the first quoted name.
    std::vector<std::string> paths;
    for (std::size_t open = line.find('<'); open != std::string::npos;
         open = line.find('<', open + 1)) {
      if (open > 0 &&
          std::isdigit(static_cast<unsigned char>(line[open - 1]))) {
        paths.push_back(line.substr(open + 1, line.find('>', open) - open - 1));
      }
    }
    const std::size_t quote = line.find('"');
    const std::string name =
        quote == std::string::npos
            ? ""
            : line.substr(quote + 1, line.find('"', quote + 1) - quote - 1);
    TracedCall call{0, "", index, index};
    if (has("syncfs")) {
      call = {'S', paths.empty() ? "" : paths[0], index, index};
    } else if (has("fsync")) {
      call.kind = 'F';
    } else if (has("copy_file_range") && paths.size() >= 2) {
      call = {'W', paths[1], index, index};
    } else if (has("pwrite64") && !paths.empty()) {
      call = {'W', paths[0], index, index};
    } else if (has("linkat") && name.empty() && !paths.empty()) {
      call = {'P', paths[0], index, index};
    } else if ((has("renameat") || has("renameat2")) && !paths.empty()) {
      call = {'P', paths[0] + "/" + name, index, index};
    }
    if (call.kind == 0 || failed) {
      continue;
    }
    if (line.find("<unfinished") != std::string::npos) {
      unfinished[thread] = call;
    } else {
      calls.push_back(call);
    }
  }
  return calls;
}

// Durable copies, by the order of the run's system calls: no copy is linked
// or renamed into place before a sync of its file system and of one of its
// files (which FUSE drivers need) that follow its last write, the last change
// on the host is followed by both, and a run that changes nothing syncs
// nothing.
TEST(Apply, CopiesReachTheDiskBeforeTheirNames) {
  if (const std::string reason = strace_unavailable(); !reason.empty()) {
    GTEST_SKIP() << reason;
  }
  // Enough copies for several batches under the limit on open files below,
  // so one batch is synced while the next is written.
  const auto fill = [](const Sides& s) {
    for (const char* rel : {"a", "b", "d/c", "d/e", "f/g"}) {
      s.l.write(rel, std::string(100000, rel[0]), OLD);
    }
    for (int i = 0; i < 40; ++i) {
      s.l.write("m/" + std::to_string(i), std::to_string(i), OLD);
    }
    s.l.write("upd", "new", OLD + 10);
    s.h.write("upd", "old", OLD);
    s.h.write("x/gone", "g", OLD);
  };
  TempTree io;
  // Where no thread can be started, each batch is synced before the next.
  const std::vector<std::string> no_threads = {
      "inject=clone,clone3:error=EAGAIN"};
  const auto calls = [&](const Sides& sides, const std::string& err,
                         const std::vector<std::string>& extra = {},
                         RunOptions options = {.open_files_limit = 129}) {
    std::vector<std::string> strace_options = {"-y"};
    strace_options.insert(strace_options.end(), extra.begin(), extra.end());
    options.wrapper = strace_wrapper(
        "copy_file_range,pwrite64,linkat,renameat,renameat2,"
        "syncfs,fsync,clone,clone3",
        strace_options, io.path("trace"));
    const RunResult run = run_yes(sides, options);
    EXPECT_EQ(run.status, err.empty() ? 0 : 2);
    EXPECT_EQ(run.err, err);
    return traced_calls(io.read("trace"));
  };
  for (const bool threads : {true, false}) {
    SCOPED_TRACE(threads ? "with a sync thread" : "without threads");
    const Sides s;
    fill(s);
    const std::vector<TracedCall> traced =
        calls(s, "", threads ? std::vector<std::string>{} : no_threads);
    std::string order;
    for (const TracedCall& call : traced) {
      order += call.kind;
    }
    // Each copy is put in place only after a syncfs and an fsync that began
    // after its last write and ended before: by a link or rename of its own,
    // or by the rename of the staged folder it was written in.
    std::set<std::string> written;
    for (const TracedCall& write : traced) {
      if (write.kind != 'W') {
        continue;
      }
      written.insert(write.file);
      // An unnamed file ("#inode") keeps its number when its folder moves.
      const std::string unnamed = write.file.substr(write.file.rfind('/'));
      const auto places = [&](const TracedCall& call) {
        return call.kind == 'P' && call.begin > write.end &&
               (unnamed.starts_with("/#")
                    ? call.file.ends_with(unnamed)
                    : call.file == write.file ||
                          write.file.starts_with(call.file + "/"));
      };
      const auto placed = std::find_if(traced.begin(), traced.end(), places);
      ASSERT_NE(placed, traced.end()) << write.file << " in " << order;
      const auto later_write = [&](const TracedCall& call) {
        return call.kind == 'W' && call.file == write.file &&
               call.end > write.end && call.end < placed->begin;
      };
      if (std::any_of(traced.begin(), traced.end(), later_write)) {
        continue;  // the last write before the placing is checked
      }
      for (const char sync : {'S', 'F'}) {
        EXPECT_TRUE(std::any_of(traced.begin(), traced.end(),
                                [&](const auto& c) {
                                  return c.kind == sync &&
                                         c.begin > write.end &&
                                         c.end < placed->begin;
                                }))
            << sync << " for " << write.file << " in " << order;
      }
    }
    EXPECT_EQ(written.size(), 46u) << order;
    EXPECT_TRUE(order.ends_with("SF")) << order;
  }
  // Under the usual limit on open files all of them fit one batch: one sync
  // for it and the final one. So do 1,000 copies under a soft limit that
  // alone would split them into several batches: it is raised to the hard
  // one first.
  const auto syncs = [&](const Sides& sides, const RunOptions& options) {
    std::string kinds;
    for (const TracedCall& call : calls(sides, "", {}, options)) {
      kinds +=
          call.kind == 'S' || call.kind == 'F' ? std::string(1, call.kind) : "";
    }
    return kinds;
  };
  const Sides usual;
  fill(usual);
  EXPECT_EQ(syncs(usual, {}), "SFSF");
  const Sides many;
  for (int i = 0; i < 1000; ++i) {
    many.l.write("m/" + std::to_string(i), "m", OLD);
  }
  EXPECT_EQ(
      syncs(many, {.open_files_limit = 4096, .open_files_soft_limit = 256}),
      "SFSF");
  // Deletions alone on a file system mounted inside the host are synced
  // there too.
  if (geteuid() == 0) {
    Sides mounted;
    mounted.h.mkdir("mnt");
    ASSERT_EQ(mount("kelvoda-test", mounted.h.path("mnt").c_str(), "tmpfs", 0,
                    nullptr),
              0);
    mounted.l.write("mnt/keep", "k", OLD);
    mounted.h.write("mnt/keep", "k", OLD);
    mounted.h.write("mnt/gone", "g", OLD);
    const std::vector<TracedCall> traced = calls(mounted, "", {}, {});
    EXPECT_TRUE(std::any_of(traced.begin(), traced.end(), [&](const auto& c) {
      return c.kind == 'S' && c.file == mounted.h.path("mnt");
    }));
    EXPECT_TRUE(unmount(mounted.h.path("mnt")));
  }
  // The only action fails: nothing changed, nothing to sync.
  Sides failing;
  failing.l.write("f", "f", OLD);
  EXPECT_TRUE(calls(failing, failing.copy_failure("f", EIO),
                    {"inject=copy_file_range:error=EIO"})
                  .empty());
}
