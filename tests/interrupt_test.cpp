// The interrupt handler and its table of hidden entries: a second signal
// during the cleanup, and entries given back to the table.
#include "interrupt.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "test_util.hpp"

// A second signal while the first one's cleanup is under way ends the run at
// once: the cleanup is cut short at its first removal and the staged folder
// stays, which the next run removes as a leftover.
TEST(Interrupt, SecondSignalCutsTheCleanupShort) {
  if (const std::string reason = strace_unavailable(); !reason.empty()) {
    GTEST_SKIP() << reason;
  }
  TempTree local;
  TempTree host;
  for (int i = 0; i < 20; ++i) {
    local.write("new/" + std::to_string(i), std::string(100000, 'n'), OLD);
  }
  const std::vector<std::string> args = {"-y", "-c", "20", local.root(),
                                         host.root()};
  // The first unlinkat removes the run's marker before the report.
  const RunResult interrupted = run_kelvoda(
      args, {.wrapper = strace_wrapper(
                 "copy_file_range,pwrite64,unlinkat",
                 {"inject=copy_file_range,pwrite64:signal=SIGINT:when=6",
                  "inject=unlinkat:signal=SIGINT:when=2"})});
  EXPECT_EQ(interrupted.err, "");
  EXPECT_EQ(interrupted.status, 128 + SIGINT);
  const std::vector<std::string> left = host.files();
  EXPECT_FALSE(left.empty());
  for (const std::string& rel : left) {
    EXPECT_TRUE(rel.starts_with(".kelvoda-")) << rel;
  }
  const RunResult next = run_kelvoda(args);
  EXPECT_EQ(next.err, "");
  EXPECT_EQ(next.status, 0);
  EXPECT_EQ(host.files(), local.files());
}

// An entry given back leaves no descriptor of its own in the table. The
// number of its closed file may by then be the folder of the next entry,
// which the handler must not close before it removes that entry's file.
TEST(Interrupt, EntryGivenBackLeavesNoDescriptorBehind) {
  TempTree tree;
  tree.mkdir("d");
  const std::string root = tree.root();
  // In a child, whose table and handlers end with it.
  const RunResult run = run_in_child([&root] {
    const int folder = open(root.c_str(), O_RDONLY | O_DIRECTORY);
    HiddenEntry entry =
        register_hidden(folder, ".kelvoda-1-0.tmp", Hidden::HIDDEN_FILE);
    const int file = openat(folder, ".kelvoda-1-0.tmp",
                            O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    entry.set_file(file);
    entry.set_file(-1);
    close(file);
    unlinkat(folder, ".kelvoda-1-0.tmp", 0);
    entry.reset();
    const int inner = openat(folder, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (inner != file) {
      return 2;  // not the case this test is about
    }
    // It takes the slot given back.
    const HiddenEntry next =
        register_hidden(inner, ".kelvoda-1-1.tmp", Hidden::HIDDEN_FILE);
    next.set_file(openat(inner, ".kelvoda-1-1.tmp",
                         O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    install_interrupt_cleanup();
    raise(SIGINT);
    return 1;
  });
  EXPECT_EQ(run.status, 128 + SIGINT);
  EXPECT_EQ(tree.files(), std::vector<std::string>{});
}
