// Temporary trees, a runner for the built kelvoda binary, and the program's
// texts that several tests compare.
#ifndef KELVODA_TEST_UTIL_HPP_
#define KELVODA_TEST_UTIL_HPP_

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// A fresh directory under `base` ($TMPDIR or /tmp when empty), removed at
// the end of the test unless the test failed; then its path is printed and
// it stays for inspection.
class TempTree {
 public:
  explicit TempTree(const std::string& base = {});
  ~TempTree();
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  const std::string& root() const { return root_; }
  // The absolute path of `rel` below the root.
  std::string path(std::string_view rel) const;

  // Writes `content` to `rel`, creating its folders; sets the modification
  // time to `mtime` seconds unless it is INT64_MIN.
  void write(std::string_view rel, std::string_view content,
             std::int64_t mtime = INT64_MIN) const;
  void mkdir(std::string_view rel) const;
  void symlink(std::string_view target, std::string_view rel) const;
  void set_mtime(std::string_view rel, std::int64_t seconds,
                 long nanoseconds = 0) const;
  std::int64_t mtime(std::string_view rel) const;
  bool exists(std::string_view rel) const;  // does not follow a last link
  std::string read(std::string_view rel) const;
  void chmod(std::string_view rel, mode_t mode) const;
  // Makes the whole tree readable and writable for every user, so an
  // unprivileged run can work in it.
  void open_to_all() const;
  // Every non-directory below the root (links included, not followed), as
  // sorted relative paths.
  std::vector<std::string> files() const;

 private:
  std::string root_;
};

// UNPRIVILEGED is uid and gid 65534 when the tests run as root, whom
// permission bits do not bind, and the current user otherwise.
enum class User { CURRENT, UNPRIVILEGED };
// The child's stdin: a file holding the text, closed, or a pipe that the
// test writes to while the child runs (see Child::send).
enum class Stdin { TEXT, CLOSED, PIPE };
// What a write beyond the file size limit does to the run: the write fails
// with EFBIG (SIGXFSZ ignored), or SIGXFSZ kills the run at once.
enum class OverLimit { FAILS, KILLS };
// Where the child's stdout or stderr goes: captured in the result;
// a full disk (/dev/full: each write fails with ENOSPC); a pipe whose reader
// has gone, SIGPIPE ignored (each write fails with EPIPE).
enum class Output { CAPTURED, FULL_DISK, GONE_READER };

struct RunResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

struct RunOptions {
  std::string stdin_text = "";
  Stdin stdin_mode = Stdin::TEXT;
  User user = User::CURRENT;
  // Limit on the size of files the run writes (RLIMIT_FSIZE); negative for
  // none.
  long long file_size_limit = -1;
  OverLimit over_limit = OverLimit::FAILS;
  Output stdout_to = Output::CAPTURED;
  Output stderr_to = Output::CAPTURED;
  // Limit on open files (RLIMIT_NOFILE, soft and hard); negative to keep it.
  long long open_files_limit = -1;
  // Then the soft limit alone, below the hard one; negative to keep it.
  long long open_files_soft_limit = -1;
  // A command that runs kelvoda, such as strace with its options; searched
  // in PATH. Empty: kelvoda is run directly.
  std::vector<std::string> wrapper = {};
  // Seconds after which a run that has not ended is killed (SIGKILL), so
  // that a hang fails the test; 0 waits as long as it takes.
  int timeout_seconds = 0;
};

// Runs kelvoda with `args` as `options` say, stdout and stderr captured
// separately, also when the run is killed.
RunResult run_kelvoda(const std::vector<std::string>& args,
                      const RunOptions& options = {});

// Runs `body` in a child process set up as `options` say (stdin, user,
// limits), with stdout and stderr captured; the child's status is what
// `body` returns. For in-process work that must run unprivileged.
RunResult run_in_child(const std::function<int()>& body,
                       const RunOptions& options = {});

// A child process set up as `options` say (stdin, user, limits), with
// stdout and stderr captured in files, running `body` in the background;
// its status is what `body` returns. The destructor kills and reaps a child
// still running.
class Child {
 public:
  Child(const std::function<int()>& body, const RunOptions& options);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  // Waits up to `seconds` until the child's stdout holds `text`; returns
  // whether it does.
  bool wait_for(const std::string& text, double seconds = 20) const;
  // Writes `text` to the child's stdin (Stdin::PIPE).
  void send(const std::string& text) const;
  // Closes its stdin, waits for the end (killing it after the timeout of
  // its options) and returns what it wrote.
  RunResult finish();

 private:
  std::string io_;  // holds the files of stdin, stdout and stderr
  int stdin_pipe_ = -1;
  pid_t pid_ = -1;
  int timeout_seconds_ = 0;
};

// Starts kelvoda with `args` as `options` say, in the background.
std::unique_ptr<Child> start_kelvoda(const std::vector<std::string>& args,
                                     const RunOptions& options = {});

// In a child process: replaces it with kelvoda run with `args`, under
// `wrapper` where one is given; ends it with status 127 if that fails.
[[noreturn]] void exec_kelvoda(const std::vector<std::string>& args,
                               const std::vector<std::string>& wrapper = {});

// Expects `run` to have printed exactly `out` and `err` and ended with
// `status`.
void expect_run(const RunResult& run, const std::string& out,
                const std::string& err, int status);

// The lines of `text` (each without its "\n"), sorted.
std::vector<std::string> sorted_lines(const std::string& text);

// A modification time well in the past, for files a run is to find older.
inline constexpr std::int64_t OLD = 1000000000;

// Why strace cannot run here, or "" when it can.
std::string strace_unavailable();

// The wrapper that runs kelvoda under strace, following its threads, with
// its trace of `calls` (comma-separated) written to `output` ("/dev/null":
// none) and each of `options` ("inject=...", or more options such as "-y")
// added. LeakSanitizer cannot work in a traced process, so the runners turn
// it off for a wrapped run.
std::vector<std::string> strace_wrapper(
    const std::string& calls, const std::vector<std::string>& options = {},
    const std::string& output = "/dev/null");

// The wrapper that makes `calls` of kelvoda behave as `inject` says
// ("error=EIO:when=2", "signal=SIGINT", "delay_exit=250000").
std::vector<std::string> strace_injecting(const std::string& calls,
                                          const std::string& inject);

// Unmounts the file system mounted at `dir`: directly as root, through
// fusermount3 otherwise; waits a moment for a reader that has not yet let
// go. Returns whether nothing is mounted there any more.
bool unmount(const std::string& dir);

// The program's texts: the report's action texts, each ending its line, and
// the text of a run that finds nothing pending.
extern const std::string NEWER_TEXT;
extern const std::string MISSING_TEXT;
extern const std::string DELETED_TEXT;
extern const std::string NOTHING_PENDING;

// The system's text for the error number `error`.
std::string error_text(int error);
// `path` in double quotes, with a backslash before each '"' and '\'.
std::string quoted(const std::string& path);
// The summary of the report for `files` files and the counts of actions.
std::string summary(int files, int newer, int missing, int deleted);
// The progress line of a copy from `source` to `target`.
std::string copying(const std::string& source, const std::string& target);
// The lines for a removed file and for a removed folder.
std::string file_removed(const std::string& path);
std::string folder_removed(const std::string& path);
// The message for a root that cannot be opened for the scan.
std::string scan_error(const std::string& root, int error);
// "Fehler beim <action> <path quoted>: <error text>\n", the form of every
// failed single action.
std::string failure(const std::string& action, const std::string& path,
                    int error);
// The failed copy of `rel` from the local root `local` to the host root
// `host`, and the failed creation of the host folder `folder`.
std::string copy_failure(const std::string& local, const std::string& host,
                         const std::string& rel, int error);
std::string folder_failure(const std::string& folder, int error);
// A command-line error: "kelvoda ERROR: <message>\n\n".
std::string command_line_error(const std::string& message);
// The refusal of two trees of which one lies inside the other.
extern const std::string NESTED_TREES;

#endif  // KELVODA_TEST_UTIL_HPP_
