// Temporary trees and a runner for the built kelvoda binary.
#ifndef KELVODA_TEST_UTIL_HPP_
#define KELVODA_TEST_UTIL_HPP_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A fresh directory under $TMPDIR, removed at the end of the test unless the
// test failed; then its path is printed and it stays for inspection.
class TempTree {
 public:
  TempTree();
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

enum class User { CURRENT, NOBODY };
enum class Stdin { TEXT, CLOSED };

struct RunResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

struct RunOptions {
  std::string stdin_text;
  Stdin stdin_mode = Stdin::TEXT;
  User user = User::CURRENT;
  // Limit on the size of files the child writes (RLIMIT_FSIZE), with SIGXFSZ
  // ignored so writes beyond it fail with EFBIG; negative for none.
  long long file_size_limit = -1;
};

// Runs kelvoda with `args` and stdin holding `stdin_text`, stdout and stderr
// captured separately.
RunResult run_kelvoda(const std::vector<std::string>& args,
                      const std::string& stdin_text = "",
                      User user = User::CURRENT);
RunResult run_kelvoda(const std::vector<std::string>& args,
                      const RunOptions& options);

// Starts kelvoda as a child with its standard streams on /dev/null; returns
// its pid for the caller to signal and reap.
pid_t start_kelvoda(const std::vector<std::string>& args);

// The lines of `text` (each without its "\n"), sorted.
std::vector<std::string> sorted_lines(const std::string& text);

#endif  // KELVODA_TEST_UTIL_HPP_
