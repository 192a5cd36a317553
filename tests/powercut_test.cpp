// Power cuts at every change a run makes to the host: on a file system that
// keeps what the disk holds apart from what the processes see (powercut_fs),
// whatever change the power goes at, every host file holds its old or its
// complete new content.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "test_util.hpp"

namespace {

using namespace std::chrono_literals;

// powercut_fs on a fresh mount point, run in the foreground by a child
// process, losing power at change `cut_at` (0: never) as `mode` says. The
// destructor unmounts it, also when the test failed, and expects the file
// system to end cleanly.
class PowerCutMount {
 public:
  PowerCutMount(const std::string& mode, unsigned long cut_at)
      : root_(dir_.path("mnt")) {
    dir_.mkdir("mnt");
    const std::string options = "cut_at=" + std::to_string(cut_at) +
                                ",mode=" + mode +
                                ",count=" + dir_.path("count");
    pid_ = fork();
    if (pid_ == 0) {
      const int log = open(dir_.path("log").c_str(),
                           O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      dup2(log, 1);
      dup2(log, 2);
      execl(POWERCUT_FS, "powercut_fs", root_.c_str(), "-f", "-s", "-o",
            options.c_str(), nullptr);
      _exit(127);
    }
    // Mounted once the mount point is on another device than its folder.
    struct stat outer {};
    struct stat inner {};
    for (int attempt = 0; pid_ > 0 && !mounted_ && attempt < 500; ++attempt) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;  // it gave up; its log tells why
        break;
      }
      std::this_thread::sleep_for(10ms);
      mounted_ = stat(dir_.root().c_str(), &outer) == 0 &&
                 stat(root_.c_str(), &inner) == 0 &&
                 outer.st_dev != inner.st_dev;
    }
  }

  ~PowerCutMount() {
    if (pid_ <= 0) {
      return;
    }
    // The kernel sends the release of a closed file or folder in the
    // background, and an unmount drops what is still queued, so libfuse
    // would never free those handles. The reply to a request sent after the
    // last close means the file system has seen them all.
    struct stat st {};
    stat(root_.c_str(), &st);
    if (!mounted_ || !unmount(root_)) {
      if (mounted_) {
        ADD_FAILURE() << "cannot unmount " << root_;
      }
      kill(pid_, SIGTERM);  // it unmounts as it ends
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    EXPECT_EQ(status, 0) << log();
  }

  PowerCutMount(const PowerCutMount&) = delete;
  PowerCutMount& operator=(const PowerCutMount&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& root() const { return root_; }
  std::string log() const { return dir_.exists("log") ? dir_.read("log") : ""; }
  // The changes the file system has seen, up to and including the cut.
  unsigned long changes() const {
    return dir_.exists("count") ? std::stoul(dir_.read("count")) : 0;
  }

 private:
  TempTree dir_;  // the mount point, the count and the log
  std::string root_;
  pid_t pid_ = -1;
  bool mounted_ = false;
};

// A host file before and after the run; nullopt where there is none.
struct HostFile {
  std::string rel;
  std::optional<std::string> before;
  std::optional<std::string> after;
};

// Gives `host` the old files and makes them durable.
void prepare(const TempTree& host, const std::vector<HostFile>& files) {
  for (const HostFile& file : files) {
    if (file.before) {
      host.write(file.rel, *file.before, OLD);
    }
  }
  const int fd = open(host.root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  EXPECT_EQ(fsync(fd), 0);
  close(fd);
}

// Every file on `host` is one of `files` with its old or complete new
// content, or a hidden temporary file or in a hidden temporary folder;
// none that the run keeps is lost.
void expect_old_or_new(const TempTree& host,
                       const std::vector<HostFile>& files) {
  for (const std::string& rel : host.files()) {
    const std::string marked = "/" + rel;
    const std::size_t hidden = marked.find("/.kelvoda-");
    if (hidden != std::string::npos &&
        marked.find(".tmp", hidden) != std::string::npos) {
      continue;
    }
    const auto file = std::find_if(files.begin(), files.end(),
                                   [&](const auto& f) { return f.rel == rel; });
    if (file == files.end()) {
      ADD_FAILURE() << "unexpected file " << rel;
      continue;
    }
    const std::string content = host.read(rel);
    EXPECT_TRUE(content == file->before || content == file->after)
        << rel << " holds " << content.size() << " bytes: \""
        << content.substr(0, 40) << "\"";
  }
  for (const HostFile& file : files) {
    EXPECT_TRUE(!file.before || !file.after || host.exists(file.rel))
        << file.rel << " is lost";
  }
}

// No temporary file or folder of a run is left on `host`.
void expect_nothing_hidden(const TempTree& host) {
  std::error_code ec;
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(host.root(), ec)) {
    EXPECT_EQ(entry.path().filename().native().find(".kelvoda-"),
              std::string::npos)
        << entry.path();
  }
}

// `host` holds just the files of `local`, with the same content.
void expect_mirror(const TempTree& host, const TempTree& local) {
  ASSERT_EQ(host.files(), local.files());
  for (const std::string& rel : local.files()) {
    EXPECT_EQ(host.read(rel), local.read(rel)) << rel;
  }
}

// Runs kelvoda from `local` onto powercut_fs prepared with `files`, first
// uncut, which must mirror the tree, then with the power lost at each change
// the run makes and right after it, in each of `modes`: every host file must
// hold its old or complete new content.
void expect_every_cut_holds(const std::vector<HostFile>& files,
                            const TempTree& local, const RunOptions& options,
                            const std::vector<const char*>& modes) {
  // The uncut run mirrors the tree and tells how many changes the
  // preparation and the run make.
  unsigned long prepared = 0;
  unsigned long total = 0;
  {
    PowerCutMount mount("forget", 0);
    if (!mount.mounted()) {
      if (geteuid() != 0) {
        GTEST_SKIP() << "cannot mount powercut_fs: " << mount.log();
      }
      FAIL() << "cannot mount powercut_fs: " << mount.log();
    }
    const TempTree host(mount.root());
    prepare(host, files);
    prepared = mount.changes();
    const RunResult run =
        run_kelvoda({"-y", local.root(), host.root()}, options);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    total = mount.changes();
    expect_mirror(host, local);
  }
  ASSERT_GT(total, prepared);

  // The last cut comes right after the run, at the next change.
  for (const char* mode : modes) {
    for (unsigned long cut = prepared + 1; cut <= total + 1; ++cut) {
      SCOPED_TRACE(std::string(mode) + ", power lost at change " +
                   std::to_string(cut) + " of " + std::to_string(total));
      const PowerCutMount mount(mode, cut);
      ASSERT_TRUE(mount.mounted()) << mount.log();
      const TempTree host(mount.root());
      prepare(host, files);
      ASSERT_EQ(mount.changes(), prepared);
      const RunResult run =
          run_kelvoda({"-y", local.root(), host.root()}, options);
      if (cut > total) {
        // A run that ended without a failure has put it all on the disk.
        EXPECT_EQ(run.err, "");
        EXPECT_NE(::mkdir(host.path("later").c_str(), 0777), 0);
        expect_mirror(host, local);
        continue;
      }
      EXPECT_EQ(mount.changes(), cut);
      SCOPED_TRACE(mount.log());
      EXPECT_NE(run.err, "") << "the run did not notice the power cut";
      expect_old_or_new(host, files);
    }
  }
}

// Gives `local` the new files, newer than the old ones where they differ.
void write_local(const TempTree& local, const std::vector<HostFile>& files) {
  for (const HostFile& file : files) {
    if (file.after) {
      local.write(file.rel, *file.after,
                  file.after == file.before ? OLD : OLD + 10);
    }
  }
}

// Why powercut_fs cannot run here, or "".
std::string powercut_unavailable() {
  if (std::string(POWERCUT_FS).empty()) {
    return "powercut_fs was not built: pkg-config finds no fuse3";
  }
  return access("/dev/fuse", R_OK | W_OK) != 0 ? "no usable /dev/fuse" : "";
}

TEST(PowerCut, EveryHostFileHoldsItsOldOrNewContentAtEveryCut) {
  if (const std::string reason = powercut_unavailable(); !reason.empty()) {
    GTEST_SKIP() << reason;
  }
  std::string big(600 * 1024, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) {
    big[i] = static_cast<char>('a' + i % 23);
  }
  const std::vector<HostFile> files = {
      {"same", "unchanged", "unchanged"},
      {"new", std::nullopt, "a new file"},
      {"sub/in/new", std::nullopt, "a new file in new folders"},
      {"big", std::nullopt, big},
      {"shrinks", "the old and longer content", "new"},
      {"dir/grows", "old", "the new and longer content"},
      {"old/gone", "only on the host", std::nullopt},
  };
  TempTree local;
  write_local(local, files);
  expect_every_cut_holds(files, local, {}, {"forget", "reorder", "writeback"});
  if (testing::Test::IsSkipped() || testing::Test::HasFatalFailure()) {
    return;
  }

  // A staged folder that cannot be put in place takes the copies in it
  // along: each gets the copy error, and nothing of them stays behind.
  if (strace_unavailable().empty()) {
    const PowerCutMount mount("forget", 0);
    ASSERT_TRUE(mount.mounted()) << mount.log();
    const TempTree host(mount.root());
    prepare(host, files);
    // The first rename stages the new folder, the second puts it in place.
    const RunResult run =
        run_kelvoda({"-y", local.root(), host.root()},
                    {.wrapper = strace_injecting("renameat,renameat2",
                                                 "error=EIO:when=2")});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err,
              copy_failure(local.root(), host.root(), "sub/in/new", EIO));
    std::vector<std::string> copied = local.files();
    std::erase(copied, "sub/in/new");
    EXPECT_EQ(host.files(), copied);
    EXPECT_FALSE(host.exists("sub"));
    expect_nothing_hidden(host);
  }

  // Interrupted at each write, the run leaves no hidden file or folder: the
  // new folder, staged on this host without unnamed files, goes with them.
  if (!strace_unavailable().empty()) {
    return;
  }
  for (int write = 1;; ++write) {
    SCOPED_TRACE("SIGINT at write " + std::to_string(write));
    const PowerCutMount mount("forget", 0);
    ASSERT_TRUE(mount.mounted()) << mount.log();
    const TempTree host(mount.root());
    prepare(host, files);
    const std::string at = ":when=" + std::to_string(write);
    const RunResult run = run_kelvoda(
        {"-y", local.root(), host.root()},
        {.wrapper = strace_injecting("pwrite64", "signal=SIGINT" + at)});
    expect_old_or_new(host, files);
    expect_nothing_hidden(host);
    if (run.status == 0) {
      expect_mirror(host, local);
      break;  // fewer writes than that
    }
    EXPECT_EQ(run.status, 128 + SIGINT);
  }
}

// New folders whose files fill several batches: while one batch is synced
// the next is written, and a folder staged in one goes in place with it.
TEST(PowerCut, StagedFoldersAcrossBatchesHoldAtEveryCut) {
  if (const std::string reason = powercut_unavailable(); !reason.empty()) {
    GTEST_SKIP() << reason;
  }
  std::vector<HostFile> files = {{"upd", "old", "new"}};
  for (int i = 0; i < 40; ++i) {
    const std::string rel =
        (i % 3 == 0 ? "many/deep/" : "many/") + std::to_string(i);
    files.push_back({rel, std::nullopt, "file " + rel});
  }
  TempTree local;
  write_local(local, files);
  // 129 open files make batches of 16 copies.
  expect_every_cut_holds(files, local, {.open_files_limit = 129}, {"reorder"});
}

}  // namespace
