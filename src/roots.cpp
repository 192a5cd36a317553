// The nesting guard: each walk looks out for the other root by identity,
// which no spelling, link or bind mount changes, and a host that ignores
// letter case is asked by spelling.
#include "roots.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>

#include "fold.hpp"

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

// True when `inner` lies inside `outer` as a host that ignores letter case
// sees it. Some drivers number each spelling of a folder apart (exfat-fuse),
// so the identities of the roots can't tell; instead the canonical paths
// nest once folded, and the outer root continued with the inner root's
// remaining names is a folder. (On a host that tells case apart and holds
// both spellings, this refuses two trees that are in fact apart.)
bool nested_by_spelling(const std::string& outer, const std::string& inner) {
  const std::string outer_path = canonical_path(outer);
  const std::string inner_path = canonical_path(inner);
  if (outer_path.empty() || inner_path.empty()) {
    return false;
  }
  const std::string outer_folded = fold_key(outer_path);
  const std::string inner_folded = fold_key(inner_path);
  const std::size_t cut = outer_folded == "/" ? 1 : outer_folded.size() + 1;
  if (inner_folded.size() <= cut || !inner_folded.starts_with(outer_folded) ||
      inner_folded[cut - 1] != '/') {
    return false;
  }
  // Folding keeps the number of components; find the inner path's rest.
  const auto slashes = std::count(outer_path.begin(), outer_path.end(), '/') -
                       (outer_path == "/" ? 1 : 0);
  std::size_t rest = 0;
  for (auto seen = 0; seen <= slashes; ++rest) {
    seen += inner_path[rest] == '/' ? 1 : 0;
  }
  const std::string continued =
      (outer_path == "/" ? "" : outer_path) + "/" + inner_path.substr(rest);
  struct stat st {};
  return stat(continued.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
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
