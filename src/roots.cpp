// The nesting guard: each walk looks out for the other root by identity,
// which no spelling, link or bind mount changes, and where the roots' paths
// differ only by the spelling of a folder, the host is asked whether that
// folder is the other root.
#include "roots.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <vector>

namespace {

// The identity of the folder `root` names, to watch for in the other
// tree's walk; the watch is marked seen when the identity can't be read, so
// that a run that cannot rule out nested trees stops.
FolderWatch watch_for(const std::string& root) {
  struct stat st {};
  if (stat(root.c_str(), &st) != 0) {
    return {.seen = true};
  }
  return {.dev = st.st_dev, .ino = st.st_ino};
}

// The canonical path of `root`, or "" when it can't be formed.
std::string canonical_path(const std::string& root) {
  char* resolved = realpath(root.c_str(), nullptr);
  if (resolved == nullptr) {
    return {};
  }
  std::string path = resolved;
  std::free(resolved);
  return path;
}

// The names in the folder at `path`, sorted, or nullopt where it can't be
// read.
std::optional<std::vector<std::string>> listing(const std::string& path) {
  DIR* folder = opendir(path.c_str());
  if (folder == nullptr) {
    return std::nullopt;
  }
  std::vector<std::string> names;
  while (const dirent* entry = readdir(folder)) {
    names.emplace_back(entry->d_name);
  }
  closedir(folder);
  std::sort(names.begin(), names.end());
  return names;
}

// Whether the folders at `a` and `b` are one, as the host answers: one
// identity; or, since some drivers number each spelling apart (exfat-fuse),
// the same status and the same listing. Two folders apart that agree in
// both are taken for one, which refuses a run rather than risk it.
bool same_folder(const std::string& a, const std::string& b) {
  struct stat first {};
  struct stat second {};
  if (stat(a.c_str(), &first) != 0 || stat(b.c_str(), &second) != 0 ||
      !S_ISDIR(first.st_mode) || !S_ISDIR(second.st_mode) ||
      first.st_dev != second.st_dev) {
    return false;
  }
  if (first.st_ino == second.st_ino) {
    return true;
  }
  const auto same_time = [](const timespec& x, const timespec& y) {
    return x.tv_sec == y.tv_sec && x.tv_nsec == y.tv_nsec;
  };
  if (first.st_mode != second.st_mode || first.st_nlink != second.st_nlink ||
      first.st_size != second.st_size ||
      !same_time(first.st_mtim, second.st_mtim) ||
      !same_time(first.st_ctim, second.st_ctim)) {
    return false;
  }
  const auto names = listing(a);
  return names && names == listing(b);
}

// True when `inner` lies inside `outer` by another spelling of a folder on
// its path, one that the host takes for `outer` (a host that ignores letter
// case): the folder on the inner root's path at the outer root's depth is
// the outer root.
bool nested_by_spelling(const std::string& outer, const std::string& inner) {
  const std::string outer_path = canonical_path(outer);
  const std::string inner_path = canonical_path(inner);
  if (outer_path.empty() || inner_path.empty()) {
    return false;
  }
  const auto depth = [](const std::string& path) {
    return path == "/" ? 0 : std::count(path.begin(), path.end(), '/');
  };
  if (depth(inner_path) <= depth(outer_path)) {
    return false;
  }
  std::size_t end = 0;
  for (auto level = depth(outer_path); level > 0; --level) {
    end = inner_path.find('/', end + 1);
  }
  return same_folder(inner_path.substr(0, end), outer_path);
}

}  // namespace

bool roots_nest_by_path(const std::string& local_root,
                        const std::string& host_root) {
  const std::string local_path = canonical_path(local_root);
  const std::string host_path = canonical_path(host_root);
  const auto inside = [](const std::string& inner, const std::string& outer) {
    return inner.size() > outer.size() && inner.starts_with(outer) &&
           (outer.back() == '/' || inner[outer.size()] == '/');
  };
  return !local_path.empty() && !host_path.empty() &&
         (inside(local_path, host_path) || inside(host_path, local_path));
}

RootWatches watch_roots(const std::string& local_root,
                        const std::string& host_root) {
  return {.local = watch_for(local_root), .host = watch_for(host_root)};
}

bool roots_nested(const std::string& local_root, const std::string& host_root,
                  const RootWatches& watches) {
  const FolderWatch& local_watch = watches.local;
  const FolderWatch& host_watch = watches.host;
  const bool same_root = !host_watch.seen && !local_watch.seen &&
                         host_watch.dev == local_watch.dev &&
                         host_watch.ino == local_watch.ino;
  if (same_root) {
    return false;
  }
  if (host_watch.seen || local_watch.seen) {
    return true;
  }
  return host_watch.dev == local_watch.dev &&
         (nested_by_spelling(local_root, host_root) ||
          nested_by_spelling(host_root, local_root));
}

HeldRoots hold_roots(const std::string& local_root,
                     const std::string& host_root) {
  const auto hold = [](const std::string& root) {
    auto fd = std::make_shared<const UniqueFd>(
        open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    return fd->valid() ? fd : nullptr;
  };
  return {.local = hold(local_root), .host = hold(host_root)};
}

bool still_names(const std::string& root, const UniqueFd& held) {
  struct stat named {};
  struct stat kept {};
  return stat(root.c_str(), &named) == 0 && fstat(held.get(), &kept) == 0 &&
         named.st_dev == kept.st_dev && named.st_ino == kept.st_ino;
}

Moved moved_root(const HeldRoots& roots, const std::string& local_root,
                 const std::string& host_root) {
  if (roots.local == nullptr || !still_names(local_root, *roots.local)) {
    return Moved::LOCAL;
  }
  if (roots.host == nullptr || !still_names(host_root, *roots.host)) {
    return Moved::HOST;
  }
  return Moved::NONE;
}
