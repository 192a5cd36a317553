// Taking over a host entry under the local spelling. Every name is looked up
// afresh after a rename, since some drivers (exfat-fuse) keep each
// spelling's entry apart in the kernel's caches.
#include "takeover.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "fold.hpp"

namespace {

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

}  // namespace

int take_over(TakeOvers& take_overs, CopyState& copies, FolderChain& local,
              const std::string& host_root, const DiffEntry& entry) {
  const std::string_view rel = entry.rel_path;
  const std::size_t slash = rel.rfind('/');
  const std::string_view folder = slash == std::string_view::npos
                                      ? std::string_view()
                                      : rel.substr(0, slash);
  const std::string name(
      slash == std::string_view::npos ? rel : rel.substr(slash + 1));
  if (const int error = open_folders(local, folder, Create::NO); error != 0) {
    return error;
  }
  // A chain of its own: the run's chain may hold staged folders, which
  // cannot be opened again by their names.
  FolderChain chain{.root = host_root};
  if (const int error = open_folders(chain, folder, Create::NO); error != 0) {
    return error;
  }
  if (take_overs.deleted_by_fold.empty()) {
    for (const DiffEntry& other : take_overs.entries) {
      if (other.type == DELETED) {
        take_overs.deleted_by_fold.emplace(fold_key(other.rel_path),
                                           other.rel_path);
      }
    }
  }
  const auto found = take_overs.deleted_by_fold.find(fold_key(rel));
  if (found == take_overs.deleted_by_fold.end() ||
      take_overs.taken.contains(found->second)) {
    return EEXIST;
  }
  const std::vector<std::string_view> local_names = components(rel);
  const std::vector<std::string_view> host_names = components(found->second);
  take_overs.taken.insert(found->second);
  for (std::size_t level = 0; level + 1 < local_names.size(); ++level) {
    if (local_names[level] == host_names[level]) {
      continue;
    }
    // Both spellings as folders in the local tree: two folders for one.
    const std::string host_name(host_names[level]);
    const std::string local_name(local_names[level]);
    struct stat st {};
    if (fstatat(local.fds[level]->get(), host_name.c_str(), &st,
                AT_SYMLINK_NOFOLLOW) == 0) {
      return EEXIST;
    }
    const int parent = chain.fds[level]->get();
    if (renameat(parent, host_name.c_str(), parent, local_name.c_str()) != 0) {
      return errno;
    }
    while (chain.names.size() > level) {
      close_deepest(chain);
    }
  }
  if (const int error = open_folders(chain, folder, Create::NO); error != 0) {
    return error;
  }
  PendingCopy pending{
      .folder = chain.fds.back(), .name = name, .target = Target::REPLACE};
  const int error =
      write_copy(copies, local.fds.back()->get(), pending, Sync::NOW);
  return error != 0 ? error : place_copy(pending);
}

bool taken_over(const TakeOvers& take_overs, std::string_view rel) {
  return take_overs.taken.contains(rel);
}
