// Applies the pending actions. Copies go to an unnamed or hidden temporary
// file beside the target that is linked or renamed into place at the end, so
// the host never holds a partial file under a real name, and a host link at
// the target's place is replaced, never written through.
#include "apply.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string_view>
#include <system_error>
#include <unordered_set>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t COPY_BUFFER_SIZE = 128 * 1024;
constexpr std::size_t NAME_MAX_BYTES = 255;

std::string quoted_form(const fs::path& path) {
  std::ostringstream out;
  out << std::quoted(path.native());
  return out.str();
}

// Writes "Fehler beim <action>: <system text>" to stderr; the run goes on.
void report_failure(const std::string& action, int error) {
  std::cerr << "Fehler beim " + action + ": " +
                   std::generic_category().message(error) + "\n";
}

std::string join(const std::string& root, std::string_view rel) {
  return (fs::path(root) / rel).native();
}

// What a run knows about the host: the folders below its root that it has
// seen to be real folders (not links), and what temporary names need.
struct Host {
  const std::string& root;
  std::unordered_set<std::string> real_folders;
  mode_t umask_bits = 0;
  pid_t pid = 0;
  unsigned temp_counter = 0;
};

// Makes every folder of `rel_folder` (a path below the host root, "" for the
// root itself) exist as a real folder, creating the missing ones from the
// top down. A link or a file in the way is not followed: the result is
// ENOTDIR. Returns 0 or the error number.
int make_real_folders(Host& host, std::string_view rel_folder) {
  if (rel_folder.empty() ||
      host.real_folders.contains(std::string(rel_folder))) {
    return 0;
  }
  std::size_t end = 0;
  while (end != std::string_view::npos) {
    end = rel_folder.find('/', end + 1);
    std::string prefix(rel_folder.substr(0, end));
    if (host.real_folders.contains(prefix)) {
      continue;
    }
    const std::string path = join(host.root, prefix);
    if (mkdir(path.c_str(), 0777) != 0) {
      if (errno != EEXIST) {
        return errno;
      }
      struct stat st;
      if (lstat(path.c_str(), &st) != 0) {
        return errno;
      }
      if (!S_ISDIR(st.st_mode)) {
        return ENOTDIR;
      }
    }
    host.real_folders.insert(std::move(prefix));
  }
  return 0;
}

// Copies the `size` bytes that the source held when it was opened from `in`
// to `out`, in the kernel where the file systems allow it, otherwise (or
// when the source has changed since) through a buffer up to its end.
// Returns 0 or the error number.
int copy_contents(int in, int out, off_t size) {
  off_t done = 0;
  while (done < size) {
    const ssize_t copied = copy_file_range(
        in, nullptr, out, nullptr, static_cast<std::size_t>(size - done), 0);
    if (copied > 0) {
      done += copied;
      continue;
    }
    if (copied < 0 && errno == EINTR) {
      continue;
    }
    if (copied < 0 && errno != EXDEV && errno != EINVAL && errno != ENOSYS &&
        errno != EOPNOTSUPP) {
      return errno;
    }
    break;
  }
  if (done == size) {
    return 0;
  }
  std::string buffer(COPY_BUFFER_SIZE, '\0');
  for (;;) {
    ssize_t got = read(in, buffer.data(), buffer.size());
    if (got == 0) {
      return 0;
    }
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      return errno;
    }
    for (ssize_t written = 0; written < got;) {
      ssize_t put = write(out, buffer.data() + written,
                          static_cast<std::size_t>(got - written));
      if (put < 0) {
        if (errno == EINTR) {
          continue;
        }
        return errno;
      }
      written += put;
    }
  }
}

// A hidden name beside `target`, derived from its name and unique to this
// process, short enough for the file system.
std::string temp_path(Host& host, const std::string& target) {
  const std::size_t slash = target.rfind('/');
  const std::size_t name_begin = slash == std::string::npos ? 0 : slash + 1;
  const std::string suffix = ".kelvoda-" + std::to_string(host.pid) + "-" +
                             std::to_string(host.temp_counter++);
  std::string_view name = std::string_view(target).substr(name_begin);
  name = name.substr(0, NAME_MAX_BYTES - 1 - suffix.size());
  std::string path = target.substr(0, name_begin);
  path += '.';
  path += name;
  path += suffix;
  return path;
}

// Gives the unnamed file `fd` the name `path`, which must not exist yet.
// Without the privilege to link by descriptor, links through /proc.
// Returns 0 or the error number.
int link_unnamed(int fd, const std::string& path) {
  if (linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0) {
    return 0;
  }
  if (errno != ENOENT && errno != EPERM) {
    return errno;
  }
  const std::string proc_path = "/proc/self/fd/" + std::to_string(fd);
  if (linkat(AT_FDCWD, proc_path.c_str(), AT_FDCWD, path.c_str(),
             AT_SYMLINK_FOLLOW) == 0) {
    return 0;
  }
  return errno;
}

// Opens the file that receives the copy: for a file the host lacks, an
// unnamed file in the target's folder (O_TMPFILE), so that a failed or
// killed copy leaves nothing behind; otherwise, or where the file system
// has no unnamed files, a new hidden file whose name is left in `temp`.
// Returns the descriptor, or -1 with errno set.
int open_copy(Host& host, const std::string& target, DiffType type, mode_t mode,
              std::string& temp) {
  if (type == MISSING) {
    const std::size_t slash = target.rfind('/');
    const std::string folder = slash == 0 ? "/" : target.substr(0, slash);
    const int fd = open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (fd >= 0 ||
        (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) {
      return fd;
    }
  }
  int fd = -1;
  do {
    temp = temp_path(host, target);
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EEXIST);
  return fd;
}

// Copies `source` to `target` so that the target only ever holds its old
// content or the complete new one: the copy is written to an unnamed or a
// hidden temporary file and then linked or renamed into place, replacing a
// link there rather than writing through it. On failure the temporary file
// is removed. The copy takes the source's permission bits and the time of
// writing. Returns 0 or the error number.
int copy_file_safely(Host& host, const std::string& source,
                     const std::string& target, DiffType type) {
  int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    return errno;
  }
  struct stat st;
  if (fstat(in, &st) != 0) {
    int error = errno;
    close(in);
    return error;
  }
  const mode_t mode = st.st_mode & 07777;
  std::string temp;
  const int out = open_copy(host, target, type, mode, temp);
  if (out < 0) {
    int error = errno;
    close(in);
    return error;
  }
  int error = copy_contents(in, out, st.st_size);
  close(in);
  // open() applied the umask to the mode; give the copy the source's bits.
  if (error == 0 && (mode & host.umask_bits) != 0 && fchmod(out, mode) != 0) {
    error = errno;
  }
  bool linked = false;
  if (error == 0 && temp.empty()) {
    error = link_unnamed(out, target);
    // Something took the target's place since the scan: replace it as an
    // overwrite would, through a hidden name.
    while (error == EEXIST) {
      temp = temp_path(host, target);
      error = link_unnamed(out, temp);
    }
    linked = error == 0 && temp.empty();
    if (error != 0) {
      temp.clear();  // no name of ours to remove
    }
  }
  if (close(out) != 0 && error == 0) {
    error = errno;
    if (linked) {
      unlink(target.c_str());
    }
  }
  if (!temp.empty()) {
    if (error == 0 && rename(temp.c_str(), target.c_str()) != 0) {
      error = errno;
    }
    if (error != 0) {
      unlink(temp.c_str());
    }
  }
  return error;
}

void copy_entry(Host& host, const std::string& local_root,
                const DiffEntry& entry) {
  const std::string source = join(local_root, entry.rel_path);
  const std::string target = join(host.root, entry.rel_path);
  std::cout << source + " -> " + target + "\n";

  const std::size_t slash = entry.rel_path.rfind('/');
  const std::string_view rel_folder =
      slash == std::string::npos
          ? std::string_view()
          : std::string_view(entry.rel_path).substr(0, slash);
  if (int error = make_real_folders(host, rel_folder); error != 0) {
    report_failure("Erstellen des Verzeichnisses " +
                       quoted_form(fs::path(target).parent_path()),
                   error);
    return;
  }
  if (int error = copy_file_safely(host, source, target, entry.type);
      error != 0) {
    report_failure(
        "Kopieren von " + quoted_form(source) + " nach " + quoted_form(target),
        error);
  }
}

// Opens `root` and then each folder of `rel` below it, never through a
// link. On success `fds` holds the root's descriptor and one per component
// of `rel`; the caller closes them. A link or a file in the way gives
// ENOTDIR. Returns 0 or the error number.
int open_real_folders(const fs::path& root, const fs::path& rel,
                      std::vector<int>& fds) {
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    return errno;
  }
  fds.push_back(fd);
  for (const fs::path& name : rel) {
    fd = openat(fds.back(), name.c_str(),
                O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      return errno == ELOOP ? ENOTDIR : errno;
    }
    fds.push_back(fd);
  }
  return 0;
}

void close_all(std::vector<int>& fds) {
  for (int fd : fds) {
    close(fd);
  }
  fds.clear();
}

// Tells in `empty` whether the open folder `fd` holds no entries. Returns 0
// or the error number.
int test_empty(int fd, bool& empty) {
  const int own_fd = dup(fd);
  DIR* folder = own_fd < 0 ? nullptr : fdopendir(own_fd);
  if (folder == nullptr) {
    const int error = errno;
    if (own_fd >= 0) {
      close(own_fd);
    }
    return error;
  }
  empty = true;
  errno = 0;
  while (const dirent* entry = readdir(folder)) {
    if (std::strcmp(entry->d_name, ".") != 0 &&
        std::strcmp(entry->d_name, "..") != 0) {
      empty = false;
      break;
    }
  }
  const int error = errno;
  closedir(folder);
  return error;
}

// Removes the open folders of `fds` (the root's descriptor, then one per
// component of `rel`) from the deepest up while they are empty, never the
// root; `current` is the deepest folder's path as printed.
void prune_open_folders(const std::vector<int>& fds, const fs::path& rel,
                        fs::path current) {
  const std::vector<fs::path> names(rel.begin(), rel.end());
  for (std::size_t level = names.size(); level > 0; --level) {
    bool empty = false;
    if (int error = test_empty(fds[level], empty); error != 0) {
      report_failure("Prüfen von " + quoted_form(current), error);
      return;
    }
    if (!empty) {
      return;
    }
    if (unlinkat(fds[level - 1], names[level - 1].c_str(), AT_REMOVEDIR) != 0) {
      const int error = errno;
      report_failure("Löschen von " + quoted_form(current), error);
      return;
    }
    std::cout << "Ordner " + quoted_form(current) + " wurde entfernt\n";
    current = current.parent_path();
  }
}

void delete_entry(const Host& host, const DiffEntry& entry) {
  const fs::path rel = entry.rel_path;
  const fs::path rel_folder = rel.parent_path();
  const std::string target = join(host.root, entry.rel_path);
  // The file is removed relative to its folder, reached without following
  // links, so nothing outside the host tree is ever removed; unlinkat never
  // removes a folder. A file that is already gone is no failure, and a
  // missing folder has nothing left to prune. The folders stay open for the
  // pruning that follows.
  std::vector<int> fds;
  int error = open_real_folders(host.root, rel_folder, fds);
  const bool opened = error == 0;
  if (opened && unlinkat(fds.back(), rel.filename().c_str(), 0) != 0) {
    error = errno;
  }
  if (error != 0 && error != ENOENT) {
    close_all(fds);
    report_failure("Löschen von " + quoted_form(target), error);
    return;
  }
  if (error == 0) {
    std::cout << target + " wurde entfernt.\n";
  }
  if (opened) {
    prune_open_folders(fds, rel_folder, fs::path(target).parent_path());
  }
  close_all(fds);
}

// `path` in a form that compares equal for every spelling that names the
// same folder lexically: no dot components, no trailing separator.
fs::path normal_form(const fs::path& path) {
  fs::path normal = path.lexically_normal();
  if (!normal.has_filename() && normal.has_relative_path()) {
    normal = normal.parent_path();
  }
  return normal;
}

// The folders from `stop` down to `start` as a relative path, judged by
// spelling first and, for a root spelled through a link, by the canonical
// forms; empty when `start` does not lie strictly below `stop`.
fs::path folders_below(const fs::path& start, const fs::path& stop) {
  auto strictly_below = [](const fs::path& rel) {
    return !rel.empty() && *rel.begin() != "." && *rel.begin() != "..";
  };
  fs::path rel = normal_form(start).lexically_relative(normal_form(stop));
  if (strictly_below(rel)) {
    return rel;
  }
  std::error_code ec;
  const fs::path canonical_start = fs::weakly_canonical(start, ec);
  if (ec) {
    return {};
  }
  rel = canonical_start.lexically_relative(fs::weakly_canonical(stop, ec));
  if (ec || !strictly_below(rel)) {
    return {};
  }
  return rel;
}

}  // namespace

void sync_different_files(const std::vector<DiffEntry>& entries,
                          const std::string& local_root,
                          const std::string& host_root) {
  Host host{host_root, {}, 0, getpid(), 0};
  host.umask_bits = umask(0);
  umask(host.umask_bits);
  for (const DiffEntry& entry : entries) {
    if (entry.type == NEWER || entry.type == MISSING) {
      copy_entry(host, local_root, entry);
    } else if (entry.type == DELETED) {
      delete_entry(host, entry);
    }
  }
}

void remove_empty_parents(fs::path start, const fs::path& stop) {
  // The walk works on the folders between `stop` and `start`, opened from
  // the root down without following links: it can neither reach the root or
  // anything above it nor leave the tree through a link.
  const fs::path rel = folders_below(start, stop);
  if (rel.empty()) {
    return;
  }
  std::vector<int> fds;
  if (const int error = open_real_folders(stop, rel, fds); error != 0) {
    if (error != ENOENT && error != ENOTDIR) {
      report_failure("Prüfen von " + quoted_form(start), error);
    }
    close_all(fds);
    return;
  }
  prune_open_folders(fds, rel, std::move(start));
  close_all(fds);
}
