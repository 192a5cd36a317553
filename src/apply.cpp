// Applies the pending actions: for each entry the decision, the folders it
// needs and the messages. The host's folders stay open from one entry to
// the next, since entries come in walk order and neighbours share folders.
#include "apply.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string_view>
#include <system_error>

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
  const std::string& local_root;
  const std::string& host_root;
  FolderChain local;
  FolderChain host;
  CopyState copies;
};

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
                      run.host.fds.back().get(), name.c_str(), entry.type);
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
  if (opened && unlinkat(run.host.fds.back().get(), name.c_str(), 0) != 0) {
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
  Run run{local_root,
          host_root,
          {local_root, {}, {}, {}},
          {host_root, {}, {}, {}},
          start_copies()};
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
