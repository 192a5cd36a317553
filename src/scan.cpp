// Walks a directory tree with one open folder per level and one status query
// per regular file.
#include "scan.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <system_error>

#include "file_map.hpp"
#include "folders.hpp"
#include "messages.hpp"

namespace {

std::string system_text(int error) {
  return std::generic_category().message(error);
}

struct Walk {
  const std::string& root;
  FileTimeMap& result;
  std::string& error;  // the message of the first failure; the walk ends
  std::vector<std::string>& run_entries;
  std::string rel = {};      // path of the current entry below the root
  std::string current = {};  // the last entry handed out, for the message
  std::string canonical_root = {};
  int root_fd = -1;
  FolderWatch* watch = nullptr;
  Tree tree = Tree::LOCAL;
  Console& console;
  const std::atomic<bool>* stop = nullptr;  // set when the other walk failed
  std::uint64_t folders = 0;
};

// Whether the walk is to end: it failed, or the other one did.
bool ended(const Walk& walk) {
  return !walk.error.empty() ||
         (walk.stop != nullptr && walk.stop->load(std::memory_order_relaxed));
}

// The entry's path as walked: the root text joined with the relative path.
std::string full_path(const std::string& root, const std::string& rel) {
  if (root.empty() || root.back() == '/') {
    return root + rel;
  }
  return root + '/' + rel;
}

// Records the failure to go on from the current entry.
void fail_advance(Walk& walk, int error) {
  if (!walk.error.empty()) {
    return;
  }
  std::ostringstream message;
  message << "FEHLER: Zugriff verweigert bei "
          << shown(walk.console, Stream::ERR,
                   quoted_form(full_path(walk.root, walk.current)))
          << " (" << system_text(error) << ")\n\n";
  walk.error = message.str();
}

// Records the failure to read the time of `path`.
void fail_time(Walk& walk, const std::string& path) {
  if (!walk.error.empty()) {
    return;
  }
  std::ostringstream message;
  message << "FEHLER: Konnte Meta-Daten der Änderungszeit nicht lesen: "
          << shown(walk.console, Stream::ERR, quoted_form(path)) << "\n";
  walk.error = message.str();
}

bool is_skipped(std::string_view name) {
  return std::find(SKIPPED_DIR_NAMES.begin(), SKIPPED_DIR_NAMES.end(), name) !=
         SKIPPED_DIR_NAMES.end();
}

// The absolute path of the open file `fd`, as the kernel names it; empty
// when it can't tell (no /proc, or a path beyond PATH_MAX).
std::string path_of(int fd) {
  std::array<char, 32> link{};
  std::snprintf(link.data(), link.size(), "/proc/self/fd/%d", fd);
  std::string path(PATH_MAX, '\0');
  const ssize_t length = readlink(link.data(), path.data(), path.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= path.size() ||
      path[0] != '/') {
    return {};
  }
  path.resize(static_cast<std::size_t>(length));
  return path;
}

// The key that `walk.rel`, a link in the open folder `folder_fd`, gets by
// its text: resolved by name against the link's folder, and taken only when
// that path leads through real folders to the very file `target` that the
// link reaches. Empty when it doesn't, or when the text leaves the tree.
std::string key_by_text(Walk& walk, int folder_fd, const char* name,
                        const struct stat& target) {
  std::string text(PATH_MAX, '\0');
  const ssize_t length = readlinkat(folder_fd, name, text.data(), text.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= text.size() ||
      text[0] == '/') {
    return {};
  }
  text.resize(static_cast<std::size_t>(length));
  std::string key = walk.rel.substr(0, walk.rel.rfind('/') + 1);
  std::string_view rest = text;
  while (!rest.empty()) {
    const std::size_t slash = std::min(rest.find('/'), rest.size());
    const std::string_view part = rest.substr(0, slash);
    rest.remove_prefix(std::min(slash + 1, rest.size()));
    if (part == ".." && key.empty()) {
      return {};
    }
    if (part == "..") {
      key.pop_back();
      key.resize(key.rfind('/') + 1);
    } else if (!part.empty() && part != ".") {
      key.append(part) += '/';
    }
  }
  if (key.empty()) {
    return {};
  }
  key.pop_back();
  const std::size_t slash = key.rfind('/');
  FolderChain folders{.root = walk.root};
  struct stat st {};
  const std::string last = key.substr(slash + 1);
  if (open_folders(folders,
                   std::string_view(key).substr(
                       0, slash == std::string::npos ? 0 : slash),
                   Create::NO) != 0 ||
      fstatat(deepest_fd(folders), last.c_str(), &st, AT_SYMLINK_NOFOLLOW) !=
          0 ||
      !S_ISREG(st.st_mode) || st.st_dev != target.st_dev ||
      st.st_ino != target.st_ino) {
    return {};
  }
  return key;
}

// The key of the link `name` in the open folder `folder_fd` to a regular
// file, open as `target` with status `st`: the target relative to the root
// when it lies inside the tree and outside the skipped folders, otherwise
// the link's own path, so that no key ever leads out of the tree or into a
// folder the other side never scans. The paths are read from the open
// handles, or beyond PATH_MAX found from the link's text; where neither
// tells, the run ends: the link's host copy would otherwise count as
// host-only and be deleted.
std::string link_key(Walk& walk, int folder_fd, const char* name, int target,
                     const struct stat& st) {
  if (walk.canonical_root.empty()) {
    walk.canonical_root = path_of(walk.root_fd);
    if (!walk.canonical_root.empty() && walk.canonical_root.back() != '/') {
      walk.canonical_root += '/';
    }
  }
  const std::string resolved = path_of(target);
  std::string key;
  if (resolved.empty() || walk.canonical_root.empty()) {
    key = key_by_text(walk, folder_fd, name, st);
    if (key.empty()) {
      fail_time(walk, full_path(walk.root, walk.rel));
    }
  } else {
    const std::string& prefix = walk.canonical_root;
    if (resolved.size() <= prefix.size() ||
        resolved.compare(0, prefix.size(), prefix) != 0) {
      return walk.rel;
    }
    key = resolved.substr(prefix.size());
  }
  std::string_view rest = key;
  for (std::size_t slash = rest.find('/'); slash != std::string_view::npos;
       slash = rest.find('/')) {
    if (is_skipped(rest.substr(0, slash))) {
      return walk.rel;
    }
    rest.remove_prefix(slash + 1);
  }
  return key;
}

void walk_folder(Walk& walk, int folder_fd);

// Enters the folder `name` below the open folder `parent_fd`, whose entry is
// the current one.
void enter_folder(Walk& walk, int parent_fd, const char* name) {
  int fd =
      openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    fail_advance(walk, errno);
    return;
  }
  if (walk.watch != nullptr && !walk.watch->seen) {
    // Where the folder's identity can't be read, count it as the watched
    // one: a run that can't rule out nested trees must not go on.
    struct stat st;
    walk.watch->seen = fstat(fd, &st) != 0 || (st.st_dev == walk.watch->dev &&
                                               st.st_ino == walk.watch->ino);
  }
  status_scan(walk.console, walk.tree, walk.result.files.size(),
              ++walk.folders);
  walk_folder(walk, fd);
}

// The entry's type after links are followed as far as the listing tells;
// DT_UNKNOWN entries are asked without following, so a link still takes the
// link path. Returns DT_UNKNOWN for an entry gone since the listing, and for
// a regular file fills `st`.
unsigned char entry_type(Walk& walk, int folder_fd, const char* name,
                         unsigned char listed, struct stat& st) {
  if (listed != DT_UNKNOWN) {
    return listed;
  }
  if (fstatat(folder_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    // Gone since the listing: nothing to record. Any other failure must
    // end the run: a file left out of the map would be deleted from the
    // host.
    if (errno != ENOENT) {
      fail_time(walk, full_path(walk.root, walk.rel));
    }
    return DT_UNKNOWN;
  }
  return S_ISDIR(st.st_mode)   ? DT_DIR
         : S_ISREG(st.st_mode) ? DT_REG
         : S_ISLNK(st.st_mode) ? DT_LNK
                               : DT_UNKNOWN;
}

// Records or enters the entry `name` of the open folder `folder_fd`, whose
// path below the root is `walk.rel`.
void visit_entry(Walk& walk, int folder_fd, const char* name,
                 unsigned char listed) {
  struct stat st;
  switch (entry_type(walk, folder_fd, name, listed, st)) {
    case DT_DIR:
      if (!is_skipped(name)) {
        enter_folder(walk, folder_fd, name);
      }
      return;
    case DT_REG:
      if (listed != DT_UNKNOWN && fstatat(folder_fd, name, &st, 0) != 0) {
        fail_time(walk, full_path(walk.root, walk.rel));
        return;
      }
      store_file_time(walk.result, walk.rel, st.st_mtim.tv_sec,
                      static_cast<std::uint64_t>(st.st_size));
      return;
    case DT_LNK: {
      // Links to folders are never entered; dangling links, loops and links
      // to special files are passed over.
      const int target = openat(folder_fd, name, O_PATH | O_CLOEXEC);
      if (target < 0) {
        return;
      }
      if (fstat(target, &st) == 0 && S_ISREG(st.st_mode)) {
        store_file_time(
            walk.result, link_key(walk, folder_fd, name, target, st),
            st.st_mtim.tv_sec, static_cast<std::uint64_t>(st.st_size));
      }
      close(target);
      return;
    }
    default:
      return;
  }
}

void walk_folder(Walk& walk, int folder_fd) {
  DIR* folder = fdopendir(folder_fd);
  if (folder == nullptr) {
    const int error = errno;
    close(folder_fd);
    fail_advance(walk, error);
    return;
  }
  while (!ended(walk)) {
    errno = 0;
    const dirent* entry = readdir(folder);
    if (entry == nullptr) {
      if (errno != 0) {
        fail_advance(walk, errno);
      }
      break;
    }
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
      continue;
    }
    const std::size_t mark = walk.rel.size();
    if (mark != 0) {
      walk.rel += '/';
    }
    walk.rel += name;
    walk.current = walk.rel;
    if (is_run_entry(name)) {
      walk.run_entries.push_back(walk.rel);
    } else {
      visit_entry(walk, folder_fd, name, entry->d_type);
    }
    walk.rel.resize(mark);
  }
  closedir(folder);
}

[[noreturn]] void fail_scan(Console& console, const std::string& message) {
  say(console, Stream::ERR, message);
  std::exit(1);
}

// The host tree's scan, run on a thread of its own.
struct HostScan {
  const std::string& root;
  Console& console;
  FolderWatch* watch = nullptr;
  const std::atomic<bool>* stop = nullptr;
  ScanResult scan = {};
};

extern "C" void* scan_host_thread(void* argument) {
  auto& host = *static_cast<HostScan*>(argument);
  host.scan =
      scan_tree(host.root, host.console, Tree::HOST, host.watch, host.stop);
  return nullptr;
}

}  // namespace

bool is_run_entry(std::string_view name) {
  constexpr std::string_view PREFIX = ".kelvoda-";
  constexpr std::string_view SUFFIX = ".tmp";
  const auto same = [](std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) {
                        return std::tolower(static_cast<unsigned char>(x)) ==
                               std::tolower(static_cast<unsigned char>(y));
                      });
  };
  if (name.size() < PREFIX.size() + SUFFIX.size() + 2 ||
      !same(name.substr(0, PREFIX.size()), PREFIX) ||
      !same(name.substr(name.size() - SUFFIX.size()), SUFFIX)) {
    return false;
  }
  name.remove_prefix(PREFIX.size());
  const std::size_t digits = name.find_first_not_of("0123456789");
  return digits > 0 && digits != std::string_view::npos && name[digits] == '-';
}

ScanResult scan_tree(const std::string& root, Console& console, Tree tree,
                     FolderWatch* watch, const std::atomic<bool>* stop) {
  ScanResult scan;
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    std::ostringstream message;
    message << "FEHLER beim Durchsuchen des Verzeichnisses: '"
            << shown(console, Stream::ERR, root) << "' (" << system_text(errno)
            << ")\n\n";
    scan.error = message.str();
    return scan;
  }
  Walk walk{.root = root,
            .result = scan.map,
            .error = scan.error,
            .run_entries = scan.run_entries,
            .root_fd = fd,
            .watch = watch,
            .tree = tree,
            .console = console,
            .stop = stop};
  walk_folder(walk, fd);
  if (!scan.error.empty()) {
    scan.map = FileTimeMap{};
  }
  return scan;
}

FileTimeMap scan_directory(const std::string& root, Console& console, Tree tree,
                           FolderWatch* watch) {
  ScanResult scan = scan_tree(root, console, tree, watch, nullptr);
  if (!scan.error.empty()) {
    fail_scan(console, scan.error);
  }
  return std::move(scan.map);
}

FileTimeMap scan_directory(const std::string& root) {
  Console plain;
  return scan_directory(root, plain);
}

std::pair<ScanResult, ScanResult> scan_both(const std::string& local_root,
                                            const std::string& host_root,
                                            Console& console,
                                            FolderWatch* local_watch,
                                            FolderWatch* host_watch) {
  std::atomic<bool> local_failed = false;
  HostScan host{.root = host_root,
                .console = console,
                .watch = host_watch,
                .stop = &local_failed};
  // Signals stay with the main thread.
  sigset_t all;
  sigset_t old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  // With one core to run on, two walks would only take turns on it.
  cpu_set_t cores;
  const bool several =
      sched_getaffinity(0, sizeof cores, &cores) != 0 || CPU_COUNT(&cores) > 1;
  pthread_t thread{};
  const bool threaded =
      several && pthread_create(&thread, nullptr, scan_host_thread, &host) == 0;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  ScanResult local =
      scan_tree(local_root, console, Tree::LOCAL, local_watch, nullptr);
  // The local tree's failure comes first, as if the trees were scanned one
  // after the other; the host's walk then ends early.
  local_failed = !local.error.empty();
  if (threaded) {
    pthread_join(thread, nullptr);
  }
  if (!local.error.empty()) {
    fail_scan(console, local.error);
  }
  if (!threaded) {
    scan_host_thread(&host);
  }
  if (!host.scan.error.empty()) {
    fail_scan(console, host.scan.error);
  }
  return {std::move(local), std::move(host.scan)};
}
