// Clearing the way: one status query on the name that is in the way, and
// removals by name relative to open folders.
#include "clear.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "messages.hpp"

namespace {

bool due_for_deletion(Clearing& clearing, std::string_view rel) {
  if (clearing.deleted.empty()) {
    for (const DiffEntry& entry : clearing.entries) {
      if (entry.type == DELETED) {
        clearing.deleted.insert(entry.rel_path);
      }
    }
  }
  return clearing.deleted.contains(rel) && !settled(clearing, rel);
}

// Removes the file `rel` (due for deletion) of the open folder `folder`
// under its last name and reports it. Returns 0 or the error number, which
// is reported too; either way the entry is dealt with.
int remove_due(Clearing& clearing, Console& console, int folder,
               std::string_view rel) {
  const std::string name(rel.substr(rel.rfind('/') + 1));
  const std::string path = join(clearing.host_root, rel);
  clearing.settled.insert(*clearing.deleted.find(rel));
  if (unlinkat(folder, name.c_str(), 0) != 0) {
    const int error = errno;
    if (error != ENOENT) {
      report_failure(console, path_action(console, "Löschen von", path), error);
    }
    return error == ENOENT ? 0 : error;
  }
  report_removed_file(console, path);
  return 0;
}

// Removes the folder `name` of `parent` if it holds nothing but empty
// folders, deepest first, reporting each as `path`. Returns whether it is
// gone.
bool remove_empty_folders(Console& console, int parent, const std::string& name,
                          const std::string& path) {
  const int fd = openat(parent, name.c_str(),
                        O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  DIR* listing = fd < 0 ? nullptr : fdopendir(fd);
  if (listing == nullptr) {
    if (fd >= 0) {
      close(fd);
    }
    return false;
  }
  std::vector<std::string> folders;
  bool empty = true;
  while (const dirent* entry = readdir(listing)) {
    if (std::strcmp(entry->d_name, ".") == 0 ||
        std::strcmp(entry->d_name, "..") == 0) {
      continue;
    }
    struct stat st {};
    const bool folder =
        entry->d_type == DT_DIR || (entry->d_type == DT_UNKNOWN &&
                                    fstatat(dirfd(listing), entry->d_name, &st,
                                            AT_SYMLINK_NOFOLLOW) == 0 &&
                                    S_ISDIR(st.st_mode));
    if (!folder) {
      empty = false;
      break;
    }
    folders.emplace_back(entry->d_name);
  }
  for (const std::string& sub : folders) {
    std::string below = path;
    below.append("/").append(sub);
    empty = empty && remove_empty_folders(console, dirfd(listing), sub, below);
  }
  closedir(listing);
  if (!empty || unlinkat(parent, name.c_str(), AT_REMOVEDIR) != 0) {
    return false;
  }
  report_removed_folder(console, path);
  return true;
}

}  // namespace

bool clear_folder_way(Clearing& clearing, Console& console, int folder,
                      std::string_view rel) {
  const std::string name(rel.substr(rel.rfind('/') + 1));
  struct stat st {};
  if (fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      S_ISDIR(st.st_mode)) {
    return false;
  }
  if (S_ISREG(st.st_mode)) {
    return due_for_deletion(clearing, rel) &&
           remove_due(clearing, console, folder, rel) == 0;
  }
  return unlinkat(folder, name.c_str(), 0) == 0;
}

int clear_file_way(Clearing& clearing, Console& console, int folder,
                   std::string_view rel) {
  const std::string name(rel.substr(rel.rfind('/') + 1));
  struct stat st {};
  if (fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? 0 : errno;
  }
  if (S_ISREG(st.st_mode)) {
    return EEXIST;
  }
  if (!S_ISDIR(st.st_mode)) {
    return 0;
  }
  // A folder where the local tree has a file: its listed files are all due
  // for deletion, since the local tree has nothing below a file.
  const std::string prefix = std::string(rel) + "/";
  FolderChain chain{.root = clearing.host_root, .held = clearing.held};
  for (const DiffEntry& entry : clearing.entries) {
    if (entry.type != DELETED || !entry.rel_path.starts_with(prefix) ||
        settled(clearing, entry.rel_path)) {
      continue;
    }
    due_for_deletion(clearing, entry.rel_path);
    const std::string_view path = entry.rel_path;
    const int error =
        open_folders(chain, path.substr(0, path.rfind('/')), Create::NO);
    if (error != 0 ||
        remove_due(clearing, console, deepest_fd(chain), path) != 0) {
      return EEXIST;
    }
  }
  chain = FolderChain{};  // no handle may keep a folder about to go
  return remove_empty_folders(console, folder, name,
                              join(clearing.host_root, rel))
             ? 0
             : EEXIST;
}

bool settled(const Clearing& clearing, std::string_view rel) {
  return clearing.settled.contains(rel);
}
