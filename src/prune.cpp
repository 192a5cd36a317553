// The pruning walk: a folder is tested and removed through the folder held
// above it, so it never follows a link and never leaves the host tree.
#include "prune.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "messages.hpp"

namespace fs = std::filesystem;

namespace {

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

int remove_empty_parents(FolderChain& folders, fs::path start,
                         Console& console) {
  int removed = 0;
  while (depth(folders) > 0) {
    bool empty = false;
    if (const int error = test_empty(deepest_fd(folders), empty); error != 0) {
      report_failure(console,
                     path_action(console, "Prüfen von", start.native()), error);
      return removed;
    }
    if (!empty) {
      return removed;
    }
    const int parent = level_fd(folders, folders.levels.size() - 2);
    if (parent < 0 || unlinkat(parent, folders.levels.back().name.c_str(),
                               AT_REMOVEDIR) != 0) {
      const int error = errno;
      report_failure(
          console, path_action(console, "Löschen von", start.native()), error);
      return removed;
    }
    report_removed_folder(console, start.native());
    ++removed;
    close_deepest(folders);
    start = start.parent_path();
  }
  return removed;
}

int remove_empty_parents(FolderChain& folders, fs::path start) {
  Console plain;
  return remove_empty_parents(folders, std::move(start), plain);
}
