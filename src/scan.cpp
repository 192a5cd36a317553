// Walks a directory tree with one open folder per level and one status query
// per regular file.
#include "scan.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <system_error>

#include "file_map.hpp"

namespace {

[[noreturn]] void fail_scan(const std::string& message) {
  std::cerr << message;
  std::exit(1);
}

std::string system_text(int error) {
  return std::generic_category().message(error);
}

struct Walk {
  const std::string& root;
  FileTimeMap& result;
  std::string rel;      // path of the current entry below the root
  std::string current;  // the last entry handed out, for the advance message
  std::string canonical_root;
};

// The entry's path as walked: the root text joined with the relative path.
std::string full_path(const std::string& root, const std::string& rel) {
  if (root.empty() || root.back() == '/') {
    return root + rel;
  }
  return root + '/' + rel;
}

[[noreturn]] void fail_advance(const Walk& walk, int error) {
  std::ostringstream message;
  message << "FEHLER: Zugriff verweigert bei "
          << std::quoted(full_path(walk.root, walk.current)) << " ("
          << system_text(error) << ")\n\n";
  fail_scan(message.str());
}

[[noreturn]] void fail_time(const std::string& path) {
  std::ostringstream message;
  message << "FEHLER: Konnte Meta-Daten der Änderungszeit nicht lesen: "
          << std::quoted(path) << "\n";
  fail_scan(message.str());
}

bool is_skipped(std::string_view name) {
  return std::find(SKIPPED_DIR_NAMES.begin(), SKIPPED_DIR_NAMES.end(), name) !=
         SKIPPED_DIR_NAMES.end();
}

// The key of a link to a regular file: its target relative to the root when
// the target lies inside the tree and outside the skipped folders, otherwise
// the link's own path, so that no key ever leads out of the tree or into a
// folder the other side never scans. An empty result means the target can't
// be resolved and the link is passed over.
std::string link_key(Walk& walk) {
  if (walk.canonical_root.empty()) {
    char* resolved = realpath(walk.root.c_str(), nullptr);
    if (resolved == nullptr) {
      return {};
    }
    walk.canonical_root = resolved;
    std::free(resolved);
    if (walk.canonical_root.back() != '/') {
      walk.canonical_root += '/';
    }
  }
  char* resolved = realpath(full_path(walk.root, walk.rel).c_str(), nullptr);
  if (resolved == nullptr) {
    return {};
  }
  std::string target = resolved;
  std::free(resolved);
  const std::string& prefix = walk.canonical_root;
  if (target.size() <= prefix.size() ||
      target.compare(0, prefix.size(), prefix) != 0) {
    return walk.rel;
  }
  std::string key = target.substr(prefix.size());
  std::string_view rest = key;
  while (!rest.empty()) {
    std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos) {
      break;  // the last component names the file itself
    }
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
  }
  walk_folder(walk, fd);
}

void walk_folder(Walk& walk, int folder_fd) {
  DIR* folder = fdopendir(folder_fd);
  if (folder == nullptr) {
    int error = errno;
    close(folder_fd);
    fail_advance(walk, error);
  }
  for (;;) {
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

    unsigned char type = entry->d_type;
    struct stat st;
    if (type == DT_UNKNOWN) {
      // The listing doesn't tell; ask without following, so a link still
      // takes the link path below.
      if (fstatat(folder_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        // Gone since the listing: nothing to record. Any other failure
        // must end the run: a file left out of the map would be deleted
        // from the host.
        if (errno != ENOENT) {
          fail_time(full_path(walk.root, walk.rel));
        }
        walk.rel.resize(mark);
        continue;
      }
      type = S_ISDIR(st.st_mode)   ? DT_DIR
             : S_ISREG(st.st_mode) ? DT_REG
             : S_ISLNK(st.st_mode) ? DT_LNK
                                   : DT_UNKNOWN;
      if (type == DT_REG) {
        store_file_time(walk.result, walk.rel, st.st_mtim.tv_sec);
        walk.rel.resize(mark);
        continue;
      }
    }

    if (type == DT_DIR) {
      if (!is_skipped(name)) {
        enter_folder(walk, folder_fd, name);
      }
    } else if (type == DT_REG) {
      if (fstatat(folder_fd, name, &st, 0) != 0) {
        fail_time(full_path(walk.root, walk.rel));
      }
      store_file_time(walk.result, walk.rel, st.st_mtim.tv_sec);
    } else if (type == DT_LNK) {
      // Links to folders are never entered; dangling links, loops and links
      // to special files are passed over.
      if (fstatat(folder_fd, name, &st, 0) == 0 && S_ISREG(st.st_mode)) {
        std::string key = link_key(walk);
        if (!key.empty()) {
          std::int64_t time = get_file_time_sec(full_path(walk.root, walk.rel));
          store_file_time(walk.result, key, time);
        }
      }
    }
    walk.rel.resize(mark);
  }
  closedir(folder);
}

}  // namespace

std::int64_t get_file_time_sec(const std::filesystem::path& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    fail_time(path.native());
  }
  return st.st_mtim.tv_sec;
}

FileTimeMap scan_directory(const std::string& root) {
  FileTimeMap result;
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    std::ostringstream message;
    message << "FEHLER beim Durchsuchen des Verzeichnisses: '" << root << "' ("
            << system_text(errno) << ")\n\n";
    fail_scan(message.str());
  }
  Walk walk{root, result, {}, {}, {}};
  walk_folder(walk, fd);
  return result;
}
