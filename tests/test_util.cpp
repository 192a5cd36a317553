// Temporary trees, a runner for the built kelvoda binary, and the program's
// texts that several tests compare.
#include "test_util.hpp"

#include <fcntl.h>
#include <grp.h>
#include <linux/close_range.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <system_error>
#include <thread>

#include "gtest/gtest.h"

namespace fs = std::filesystem;

namespace {

std::string make_temp_dir(std::string base = {}) {
  if (base.empty()) {
    const char* tmpdir = std::getenv("TMPDIR");
    base = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
  }
  std::string pattern = base + "/kelvoda-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed";
  }
  return pattern;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void write_file(const std::string& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  EXPECT_TRUE(out.good()) << "cannot write " << path;
}

// Replaces the child with `binary` run with `args`, under the command
// `wrapper` where one is given, or ends it with 127.
[[noreturn]] void exec_binary(const std::string& binary,
                              const std::vector<std::string>& args,
                              const std::vector<std::string>& wrapper = {}) {
  if (!wrapper.empty()) {
    // LeakSanitizer cannot work in a process that is traced.
    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
  }
  std::vector<char*> argv;
  for (const std::string& arg : wrapper) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(const_cast<char*>(binary.c_str()));
  for (const std::string& arg : args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  _exit(127);
}

// A copy of the binary in a folder that every user can search, for the user
// 65534, who may not reach the build tree. Only the process that made it
// removes it, not a death test's child that exits through it.
class SearchableBinary {
 public:
  SearchableBinary() : folder_(make_temp_dir()), path_(folder_ + "/kelvoda") {
    std::error_code ec;
    fs::copy_file(KELVODA_BINARY, path_, ec);
    EXPECT_FALSE(ec) << ec.message();
    EXPECT_EQ(::chmod(path_.c_str(), 0755), 0);
    EXPECT_EQ(::chmod(folder_.c_str(), 0755), 0);
  }
  ~SearchableBinary() {
    std::error_code ec;
    if (getpid() == owner_) {
      fs::remove_all(folder_, ec);
    }
  }
  SearchableBinary(const SearchableBinary&) = delete;
  SearchableBinary& operator=(const SearchableBinary&) = delete;
  const std::string& path() const { return path_; }

 private:
  pid_t owner_ = getpid();
  std::string folder_;
  std::string path_;
};

// The binary that a run as `user` can reach; made before the fork.
const std::string& binary_for(User user) {
  static const std::string built = KELVODA_BINARY;
  if (user == User::CURRENT || geteuid() != 0) {
    return built;
  }
  static const SearchableBinary copy;
  return copy.path();
}

// In the child: sends `fd` where `output` says, unless it is captured.
void redirect(int fd, Output output) {
  if (output == Output::FULL_DISK) {
    dup2(open("/dev/full", O_WRONLY), fd);
  }
  int ends[2] = {-1, -1};
  if (output == Output::GONE_READER && pipe(ends) == 0) {
    dup2(ends[1], fd);
    close(ends[0]);
    close(ends[1]);
    signal(SIGPIPE, SIG_IGN);
  }
}

// In the child: root, whom permission bits do not bind, drops to uid and
// gid 65534; any other user is bound by them already and stays.
void drop_privileges() {
  if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 ||
                         setuid(65534) != 0)) {
    _exit(126);
  }
}

}  // namespace

TempTree::TempTree(const std::string& base) : root_(make_temp_dir(base)) {}

TempTree::~TempTree() {
  if (testing::Test::HasFailure()) {
    std::cerr << "kept the tree of the failed test: " << root_ << "\n";
    return;
  }
  std::error_code ec;
  // Give every folder back its permissions before the walk enters it, so
  // nothing blocks the removal, also for an unprivileged owner.
  ::chmod(root_.c_str(), 0700);
  for (auto it = fs::recursive_directory_iterator(root_, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) {
      ::chmod(it->path().c_str(), 0700);
    }
  }
  fs::remove_all(root_, ec);
}

std::string TempTree::path(std::string_view rel) const {
  return rel.empty() ? root_ : root_ + "/" + std::string(rel);
}

void TempTree::write(std::string_view rel, std::string_view content,
                     std::int64_t mtime) const {
  const std::string full = path(rel);
  std::error_code ec;
  fs::create_directories(fs::path(full).parent_path(), ec);
  write_file(full, content);
  if (mtime != INT64_MIN) {
    set_mtime(rel, mtime);
  }
}

void TempTree::mkdir(std::string_view rel) const {
  std::error_code ec;
  fs::create_directories(path(rel), ec);
  EXPECT_FALSE(ec) << ec.message();
}

void TempTree::symlink(std::string_view target, std::string_view rel) const {
  const std::string full = path(rel);
  std::error_code ec;
  fs::create_directories(fs::path(full).parent_path(), ec);
  EXPECT_EQ(::symlink(std::string(target).c_str(), full.c_str()), 0);
}

void TempTree::set_mtime(std::string_view rel, std::int64_t seconds,
                         long nanoseconds) const {
  const timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
  EXPECT_EQ(utimensat(AT_FDCWD, path(rel).c_str(), times, 0), 0) << rel;
}

std::int64_t TempTree::mtime(std::string_view rel) const {
  struct stat st {};
  EXPECT_EQ(stat(path(rel).c_str(), &st), 0) << rel;
  return st.st_mtim.tv_sec;
}

bool TempTree::exists(std::string_view rel) const {
  struct stat st {};
  return lstat(path(rel).c_str(), &st) == 0;
}

std::string TempTree::read(std::string_view rel) const {
  return read_file(path(rel));
}

void TempTree::chmod(std::string_view rel, mode_t mode) const {
  EXPECT_EQ(::chmod(path(rel).c_str(), mode), 0) << rel;
}

void TempTree::open_to_all() const {
  std::error_code ec;
  ::chmod(root_.c_str(), 0777);
  for (auto it = fs::recursive_directory_iterator(root_, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_symlink(ec)) {
      ::chmod(it->path().c_str(), it->is_directory(ec) ? 0777 : 0666);
    }
  }
}

std::vector<std::string> TempTree::files() const {
  std::vector<std::string> result;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root_, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_symlink(ec) || !it->is_directory(ec)) {
      result.push_back(it->path().lexically_relative(root_).native());
    }
  }
  std::sort(result.begin(), result.end());
  return result;
}

RunResult run_kelvoda(const std::vector<std::string>& args,
                      const RunOptions& options) {
  return start_kelvoda(args, options)->finish();
}

RunResult run_in_child(const std::function<int()>& body,
                       const RunOptions& options) {
  return Child(body, options).finish();
}

Child::Child(const std::function<int()>& body, const RunOptions& options)
    : io_(make_temp_dir()), timeout_seconds_(options.timeout_seconds) {
  // Files, not pipes: the child can never block on a full pipe.
  const std::string in_path = io_ + "/in";
  write_file(in_path, options.stdin_text);
  int input[2] = {-1, -1};
  if (options.stdin_mode == Stdin::PIPE) {
    EXPECT_EQ(pipe2(input, O_CLOEXEC), 0);
  }
  // What this process has buffered must not reach the child's output too.
  std::fflush(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    if (options.stdin_mode == Stdin::CLOSED) {
      close(0);
    } else if (options.stdin_mode == Stdin::PIPE) {
      dup2(input[0], 0);
    } else {
      dup2(open(in_path.c_str(), O_RDONLY), 0);
    }
    dup2(open((io_ + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666), 1);
    dup2(open((io_ + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666), 2);
    // A test process started under nohup ignores SIGHUP, which a run would
    // keep ignoring; the runs here get the signals at their defaults.
    for (const int signal_number :
         {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
      signal(signal_number, SIG_DFL);
    }
    redirect(1, options.stdout_to);
    redirect(2, options.stderr_to);
    const rlimit no_core{0, 0};  // a killed run leaves no core file
    setrlimit(RLIMIT_CORE, &no_core);
    if (options.file_size_limit >= 0) {
      const bool fails = options.over_limit == OverLimit::FAILS;
      signal(SIGXFSZ, fails ? SIG_IGN : SIG_DFL);
      const auto limit = static_cast<rlim_t>(options.file_size_limit);
      const rlimit fsize{limit, limit};
      setrlimit(RLIMIT_FSIZE, &fsize);
    }
    if (options.open_files_limit >= 0) {
      const auto limit = static_cast<rlim_t>(options.open_files_limit);
      const rlimit files{limit, limit};
      setrlimit(RLIMIT_NOFILE, &files);
    }
    if (options.open_files_soft_limit >= 0) {
      rlimit files{};
      getrlimit(RLIMIT_NOFILE, &files);
      files.rlim_cur = static_cast<rlim_t>(options.open_files_soft_limit);
      setrlimit(RLIMIT_NOFILE, &files);
    }
    if (options.user == User::UNPRIVILEGED) {
      drop_privileges();
    }
    // The run gets the standard streams only, whatever the test holds.
    close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    const int status = body();
    std::cout.flush();
    std::cerr.flush();
    _exit(status);
  }
  if (input[0] >= 0) {
    close(input[0]);
  }
  stdin_pipe_ = input[1];
}

Child::~Child() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (stdin_pipe_ >= 0) {
    close(stdin_pipe_);
  }
  std::error_code ec;
  fs::remove_all(io_, ec);
}

bool Child::wait_for(const std::string& text, double seconds) const {
  using namespace std::chrono;
  const auto end = steady_clock::now() + duration<double>(seconds);
  for (;;) {
    if (read_file(io_ + "/out").find(text) != std::string::npos) {
      return true;
    }
    // A child that has ended writes nothing more.
    siginfo_t info{};
    const bool ended = waitid(P_PID, static_cast<id_t>(pid_), &info,
                              WEXITED | WNOHANG | WNOWAIT) == 0 &&
                       info.si_pid == pid_;
    if (ended || steady_clock::now() > end) {
      return read_file(io_ + "/out").find(text) != std::string::npos;
    }
    std::this_thread::sleep_for(milliseconds(5));
  }
}

void Child::send(const std::string& text) const {
  EXPECT_EQ(write(stdin_pipe_, text.data(), text.size()),
            static_cast<ssize_t>(text.size()));
}

RunResult Child::finish() {
  if (stdin_pipe_ >= 0) {
    close(stdin_pipe_);
    stdin_pipe_ = -1;
  }
  int wait_status = 0;
  const auto end =
      std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds_);
  while (timeout_seconds_ > 0 && waitpid(pid_, &wait_status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > end) {
      ADD_FAILURE() << "the run did not end within " << timeout_seconds_
                    << " s";
      kill(pid_, SIGKILL);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (timeout_seconds_ == 0) {
    waitpid(pid_, &wait_status, 0);
  }
  pid_ = -1;
  RunResult result;
  result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status)
                                         : 128 + WTERMSIG(wait_status);
  result.out = read_file(io_ + "/out");
  result.err = read_file(io_ + "/err");
  return result;
}

std::unique_ptr<Child> start_kelvoda(const std::vector<std::string>& args,
                                     const RunOptions& options) {
  const std::string& binary = binary_for(options.user);
  return std::make_unique<Child>(
      [&] {
        exec_binary(binary, args, options.wrapper);
        return 127;
      },
      options);
}

void exec_kelvoda(const std::vector<std::string>& args,
                  const std::vector<std::string>& wrapper) {
  exec_binary(KELVODA_BINARY, args, wrapper);
}

void expect_run(const RunResult& run, const std::string& out,
                const std::string& err, int status) {
  EXPECT_EQ(run.out, out);
  EXPECT_EQ(run.err, err);
  EXPECT_EQ(run.status, status);
}

std::vector<std::string> sorted_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

const std::string NEWER_TEXT = " -> lokal neuer, muß aktualisiert werden.\n";
const std::string MISSING_TEXT = " -> fehlt, muß zum Host kopiert werden.\n";
const std::string DELETED_TEXT =
    " -X fehlt lokal, muß auf Host gelöscht werden.\n";
const std::string NOTHING_PENDING =
    "\nKeine neueren oder fehlenden Dateien gefunden -> kein Abgleich nötig."
    "\n\n";

std::string error_text(int error) {
  return std::generic_category().message(error);
}

std::string quoted(const std::string& path) {
  std::string text = "\"";
  for (char c : path) {
    if (c == '"' || c == '\\') {
      text += '\\';
    }
    text += c;
  }
  return text + "\"";
}

std::string summary(int files, int newer, int missing, int deleted) {
  return "\nZusammenfassung für " + std::to_string(files) + " Dateien:\n" +
         std::to_string(newer) + " Dateien müssen aktualisiert werden. " +
         std::to_string(missing) + " Dateien müssen bereit gestellt werden. " +
         std::to_string(deleted) + " Dateien müssen gelöscht werden.\n";
}

std::string copying(const std::string& source, const std::string& target) {
  return source + " -> " + target + "\n";
}

std::string file_removed(const std::string& path) {
  return path + " wurde entfernt.\n";
}

std::string folder_removed(const std::string& path) {
  return "Ordner " + quoted(path) + " wurde entfernt\n";
}

std::string scan_error(const std::string& root, int error) {
  return "FEHLER beim Durchsuchen des Verzeichnisses: '" + root + "' (" +
         error_text(error) + ")\n\n";
}

std::string failure(const std::string& action, const std::string& path,
                    int error) {
  return "Fehler beim " + action + " " + quoted(path) + ": " +
         error_text(error) + "\n";
}

std::string copy_failure(const std::string& local, const std::string& host,
                         const std::string& rel, int error) {
  return failure("Kopieren von " + quoted(local + "/" + rel) + " nach",
                 host + "/" + rel, error);
}

std::string folder_failure(const std::string& folder, int error) {
  return failure("Erstellen des Verzeichnisses", folder, error);
}

std::string command_line_error(const std::string& message) {
  return "kelvoda ERROR: " + message + "\n\n";
}

const std::string NESTED_TREES =
    command_line_error("Die Verzeichnisse dürfen nicht ineinander liegen");

std::string strace_unavailable() {
  return access("/usr/bin/strace", X_OK) == 0 ? "" : "strace is not installed";
}

std::vector<std::string> strace_wrapper(const std::string& calls,
                                        const std::vector<std::string>& options,
                                        const std::string& output) {
  std::vector<std::string> wrapper = {"strace", "-f", "-qq",           "-o",
                                      output,   "-e", "trace=" + calls};
  for (const std::string& option : options) {
    if (option.starts_with("-")) {
      wrapper.push_back(option);
    } else {
      wrapper.insert(wrapper.end(), {"-e", option});
    }
  }
  return wrapper;
}

std::vector<std::string> strace_injecting(const std::string& calls,
                                          const std::string& inject) {
  return strace_wrapper(calls, {"inject=" + calls + ":" + inject});
}

bool unmount(const std::string& dir) {
  using namespace std::chrono_literals;
  if (geteuid() != 0) {
    return std::system(("fusermount3 -u -q '" + dir + "'").c_str()) == 0;
  }
  int result = umount2(dir.c_str(), 0);
  // A reader that has not yet let go keeps the mount busy for a moment.
  for (int attempt = 0; result != 0 && errno == EBUSY && attempt < 100;
       ++attempt) {
    std::this_thread::sleep_for(20ms);
    result = umount2(dir.c_str(), 0);
  }
  // EINVAL: nothing is mounted there.
  return result == 0 || errno == EINVAL;
}
