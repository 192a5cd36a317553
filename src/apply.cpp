// Applies the pending actions: for each entry the decision, the folders it
// needs and the messages. The host's folders stay open from one entry to
// the next, since entries come in walk order and neighbours share folders.
#include "apply.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include "copy.hpp"

namespace fs = std::filesystem;

namespace {

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

// The folder part of a relative path ("" for a file in the root) and its
// last name.
std::pair<std::string_view, std::string> split(std::string_view rel) {
  const std::size_t slash = rel.rfind('/');
  if (slash == std::string_view::npos) {
    return {{}, std::string(rel)};
  }
  return {rel.substr(0, slash), std::string(rel.substr(slash + 1))};
}

struct Run {
  const std::vector<DiffEntry>& entries;
  const std::string& local_root;
  const std::string& host_root;
  FolderChain local;
  FolderChain host;
  CopyState copies;
  // The DELETED keys by their folded form, made when a host first treats a
  // new file's name as taken; and those whose host entry became a copy's.
  std::unordered_map<std::string, std::string_view> deleted_by_fold;
  std::unordered_set<std::string_view> taken_over;
};

// The components of `rel`.
std::vector<std::string_view> components(std::string_view rel) {
  std::vector<std::string_view> parts;
  for (std::size_t begin = 0; begin <= rel.size();) {
    const std::size_t end = std::min(rel.find('/', begin), rel.size());
    parts.push_back(rel.substr(begin, end - begin));
    begin = end + 1;
  }
  return parts;
}

// A new file whose name the host already resolves although its scan did not
// list it: the host treats two names as one. When the other name is a file
// due for deletion (a case-only rename in the local tree), the host's
// folders take the local spelling and the file is replaced under it, which
// also gives it the local spelling; its deletion is then left out.
// Otherwise the name belongs to another local file's copy, or to a file
// that appeared since the scan, and stays untouched: EEXIST. Every name is
// looked up afresh after a rename, since some drivers (exfat-fuse) keep
// each spelling's entry apart in the kernel's caches. Returns 0 or the
// error number.
int take_over_alias(Run& run, const DiffEntry& entry, std::string_view folder,
                    const std::string& name) {
  if (run.deleted_by_fold.empty()) {
    for (const DiffEntry& other : run.entries) {
      if (other.type == DELETED) {
        run.deleted_by_fold.emplace(fold_key(other.rel_path), other.rel_path);
      }
    }
  }
  const auto found = run.deleted_by_fold.find(fold_key(entry.rel_path));
  if (found == run.deleted_by_fold.end() ||
      run.taken_over.contains(found->second)) {
    return EEXIST;
  }
  const std::vector<std::string_view> local = components(entry.rel_path);
  const std::vector<std::string_view> host = components(found->second);
  run.taken_over.insert(found->second);
  for (std::size_t level = 0; level + 1 < local.size(); ++level) {
    if (local[level] == host[level]) {
      continue;
    }
    // Both spellings as folders in the local tree: two folders for one.
    const std::string host_name(host[level]);
    const std::string local_name(local[level]);
    struct stat st {};
    if (fstatat(run.local.fds[level].get(), host_name.c_str(), &st,
                AT_SYMLINK_NOFOLLOW) == 0) {
      return EEXIST;
    }
    const int parent = run.host.fds[level].get();
    if (renameat(parent, host_name.c_str(), parent, local_name.c_str()) != 0) {
      return errno;
    }
    while (run.host.names.size() > level) {
      close_deepest(run.host);
    }
  }
  if (const int error = open_folders(run.host, folder, Create::NO);
      error != 0) {
    return error;
  }
  return copy_file(run.copies, run.local.fds.back().get(),
                   run.host.fds.back().get(), name.c_str(), Target::REPLACE);
}

void copy_entry(Run& run, const DiffEntry& entry) {
  const std::string source = join(run.local_root, entry.rel_path);
  const std::string target = join(run.host_root, entry.rel_path);
  std::cout << source + " -> " + target + "\n";

  const auto [folder, name] = split(entry.rel_path);
  if (const int error = open_folders(run.host, folder, Create::YES);
      error != 0) {
    report_failure("Erstellen des Verzeichnisses " +
                       quoted_form(fs::path(target).parent_path()),
                   error);
    return;
  }
  int error = open_folders(run.local, folder, Create::NO);
  if (error == 0) {
    error = copy_file(run.copies, run.local.fds.back().get(),
                      run.host.fds.back().get(), name.c_str(),
                      entry.type == MISSING ? Target::NEW : Target::REPLACE);
  }
  if (error == EEXIST && entry.type == MISSING) {
    error = take_over_alias(run, entry, folder, name);
  }
  if (error != 0) {
    report_failure(
        "Kopieren von " + quoted_form(source) + " nach " + quoted_form(target),
        error);
  }
}

void delete_entry(Run& run, const DiffEntry& entry) {
  const std::string target = join(run.host_root, entry.rel_path);
  const auto [folder, name] = split(entry.rel_path);
  // The file is removed relative to its folder, reached without following
  // links, so nothing outside the host tree is ever removed; unlinkat never
  // removes a folder. A file that is already gone is no failure, and a
  // missing folder has nothing left to prune. Removing a name needs write
  // and search permission on its folder, not read permission.
  int error = open_folders(run.host, folder, Create::NO);
  const bool opened = error == 0;
  if (run.taken_over.contains(entry.rel_path)) {
    error = ENOENT;  // its host entry now holds a local file's copy
  } else if (opened &&
             unlinkat(run.host.fds.back().get(), name.c_str(), 0) != 0) {
    error = errno;
  }
  if (error != 0 && error != ENOENT) {
    report_failure("Löschen von " + quoted_form(target), error);
    return;
  }
  if (error == 0) {
    std::cout << target + " wurde entfernt.\n";
  }
  if (opened) {
    remove_empty_parents(run.host, fs::path(target).parent_path());
  }
}

// Tells in `empty` whether the folder `folder` holds no entries. Returns 0
// or the error number.
int test_empty(int folder, bool& empty) {
  const int fd = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* listing = fd < 0 ? nullptr : fdopendir(fd);
  if (listing == nullptr) {
    const int error = errno;
    if (fd >= 0) {
      close(fd);
    }
    return error;
  }
  empty = true;
  errno = 0;
  while (const dirent* entry = readdir(listing)) {
    if (std::strcmp(entry->d_name, ".") != 0 &&
        std::strcmp(entry->d_name, "..") != 0) {
      empty = false;
      break;
    }
  }
  const int error = empty ? errno : 0;
  closedir(listing);
  return error;
}

}  // namespace

void sync_different_files(const std::vector<DiffEntry>& entries,
                          const std::string& local_root,
                          const std::string& host_root) {
  Run run{entries,
          local_root,
          host_root,
          {local_root, {}, {}, {}},
          {host_root, {}, {}, {}},
          start_copies(),
          {},
          {}};
  for (const DiffEntry& entry : entries) {
    if (entry.type == NEWER || entry.type == MISSING) {
      copy_entry(run, entry);
    } else if (entry.type == DELETED) {
      delete_entry(run, entry);
    }
  }
}

void remove_empty_parents(FolderChain& folders, fs::path start) {
  while (!folders.names.empty()) {
    bool empty = false;
    if (const int error = test_empty(folders.fds.back().get(), empty);
        error != 0) {
      report_failure("Prüfen von " + quoted_form(start), error);
      return;
    }
    if (!empty) {
      return;
    }
    const int parent = folders.fds[folders.fds.size() - 2].get();
    if (unlinkat(parent, folders.names.back().c_str(), AT_REMOVEDIR) != 0) {
      const int error = errno;
      report_failure("Löschen von " + quoted_form(start), error);
      return;
    }
    std::cout << "Ordner " + quoted_form(start) + " wurde entfernt\n";
    close_deepest(folders);
    start = start.parent_path();
  }
}
