// Asking the host which names are one. A lookup tells which entry a name
// lands on where the host numbers its entries for good; some FUSE drivers
// (exfat-fuse) number each spelling apart, so whether two names are one is
// asked by a probe instead: one name made in a fresh hidden folder, the
// other looked up there, where no cache can answer for the host.
#include "spelling.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "interrupt.hpp"

namespace {

std::vector<std::string_view> components(std::string_view rel) {
  std::vector<std::string_view> parts;
  for (std::size_t begin = 0; begin <= rel.size();) {
    const std::size_t end = std::min(rel.find('/', begin), rel.size());
    parts.push_back(rel.substr(begin, end - begin));
    begin = end + 1;
  }
  return parts;
}

// The number of components of `rel`.
std::size_t depth_of(std::string_view rel) {
  return static_cast<std::size_t>(std::count(rel.begin(), rel.end(), '/')) + 1;
}

// The first `count` components of `rel`.
std::string_view prefix(std::string_view rel, std::size_t count) {
  std::size_t end = 0;
  for (std::size_t i = 0; i < count && end != std::string_view::npos; ++i) {
    end = rel.find('/', i == 0 ? 0 : end + 1);
  }
  return rel.substr(0, end);
}

// The status of the entry that `rel` lands on below the host root, not
// following a last link, opening its folders in `chain`.
std::optional<struct stat> look_up(FolderChain& chain, std::string_view rel) {
  const std::size_t slash = rel.rfind('/');
  const std::string name(rel.substr(slash + 1));
  struct stat st {};
  if (open_folders(chain,
                   rel.substr(0, slash == std::string_view::npos ? 0 : slash),
                   Create::NO) != 0 ||
      fstatat(chain.fds.back()->get(), name.c_str(), &st,
              AT_SYMLINK_NOFOLLOW) != 0) {
    return std::nullopt;
  }
  return st;
}

// Whether the host takes `a` and `b` as one name in the open folder
// `folder`: `b`, a name it holds, is made in a fresh hidden folder there
// (where a folder's own rules apply) and `a` looked up beside it.
bool same_name(CopyState& copies, int folder, const std::string& a,
               const std::string& b) {
  if (a == b) {
    return true;
  }
  const int slot = claim_hidden(copies, folder, Hidden::STAGED_FOLDER);
  if (slot < 0) {
    return false;
  }
  bool same = false;
  if (mkdirat(folder, hidden_name(slot), 0700) == 0) {
    const UniqueFd probe(openat(folder, hidden_name(slot),
                                O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    same = probe.valid() && mkdirat(probe.get(), b.c_str(), 0700) == 0 &&
           fstatat(probe.get(), a.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (probe.valid()) {
      unlinkat(probe.get(), b.c_str(), AT_REMOVEDIR);
    }
    unlinkat(folder, hidden_name(slot), AT_REMOVEDIR);
  }
  unregister_hidden(slot);
  return same;
}

// Whether the host takes the local path `local_rel` and the host path
// `host_rel` (as many components) as one, component by component, in the
// folders of `chain`.
bool same_path(Spellings& spellings, CopyState& copies, FolderChain& chain,
               std::string_view local_rel, std::string_view host_rel) {
  const std::vector<std::string_view> local = components(local_rel);
  const std::vector<std::string_view> host = components(host_rel);
  for (std::size_t level = 0; level < local.size(); ++level) {
    if (local[level] == host[level]) {
      continue;
    }
    const auto renamed =
        spellings.renamed.find(std::string(prefix(host_rel, level + 1)));
    if (renamed != spellings.renamed.end() &&
        renamed->second == prefix(local_rel, level + 1)) {
      continue;
    }
    if (open_folders(chain, prefix(local_rel, level), Create::NO) != 0 ||
        !same_name(copies, chain.fds.back()->get(), std::string(local[level]),
                   std::string(host[level]))) {
      return false;
    }
  }
  return true;
}

// A host-only file, once looked up: the identity of what its name lands on.
struct HostOnly {
  const DiffEntry* entry = nullptr;
  bool looked_up = false;
  std::pair<dev_t, ino_t> identity = {};
  bool paired = false;
};

// The host-only file among `deleted` (those of the local file's size) that
// the host itself finds under the name of the local file `local`, judged by
// identity: only one of its depth and a time not older is looked up, and
// only then `local` itself. Returns nullptr when there is none.
HostOnly* same_file(FolderChain& chain, std::vector<HostOnly>& deleted,
                    const DiffEntry& local) {
  const std::size_t depth = depth_of(local.rel_path);
  std::optional<struct stat> found;
  for (HostOnly& host : deleted) {
    if (host.paired || host.entry->time < local.time ||
        depth_of(host.entry->rel_path) != depth) {
      continue;
    }
    if (!found) {
      found = look_up(chain, local.rel_path);
      if (!found || !S_ISREG(found->st_mode)) {
        return nullptr;
      }
    }
    if (!host.looked_up) {
      const std::optional<struct stat> st =
          look_up(chain, host.entry->rel_path);
      host.looked_up = true;
      host.identity = st ? std::make_pair(st->st_dev, st->st_ino)
                         : std::make_pair(dev_t{0}, ino_t{0});
    }
    if (host.identity == std::make_pair(found->st_dev, found->st_ino)) {
      return &host;
    }
  }
  return nullptr;
}

}  // namespace

void pair_spellings(CompareResult& result, const std::string& host_root) {
  if (result.missing_count == 0 || result.deleted_count == 0) {
    return;
  }
  // By size, so each local file meets only the host-only files it could be.
  std::unordered_map<std::uint64_t, std::vector<HostOnly>> deleted;
  for (const DiffEntry& entry : result.entries) {
    if (entry.type == DELETED) {
      deleted[entry.size].push_back({.entry = &entry});
    }
  }
  FolderChain chain{.root = host_root};
  std::unordered_set<const DiffEntry*> unchanged;
  for (const DiffEntry& local : result.entries) {
    const auto same_size = deleted.find(local.size);
    if (local.type != MISSING || same_size == deleted.end()) {
      continue;
    }
    if (HostOnly* host = same_file(chain, same_size->second, local)) {
      host->paired = true;
      unchanged.insert(&local);
      unchanged.insert(host->entry);
    }
  }
  std::erase_if(result.entries, [&](const DiffEntry& entry) {
    return unchanged.contains(&entry);
  });
  result.missing_count -= unchanged.size() / 2;
  result.deleted_count -= unchanged.size() / 2;
  result.unchanged_count += unchanged.size() / 2;
}

int take_over(Spellings& spellings, Clearing& clearing, CopyState& copies,
              FolderChain& local, const DiffEntry& entry,
              const struct stat& occupant,
              std::vector<std::string>& renamed_folders) {
  const std::string_view rel = entry.rel_path;
  const std::size_t depth = depth_of(rel);
  FolderChain chain{.root = spellings.host_root};
  const DiffEntry* found = nullptr;
  for (const DiffEntry& other : spellings.entries) {
    if (other.type == DELETED && !settled(clearing, other.rel_path) &&
        other.size == static_cast<std::uint64_t>(occupant.st_size) &&
        other.time == occupant.st_mtim.tv_sec &&
        depth_of(other.rel_path) == depth &&
        same_path(spellings, copies, chain, rel, other.rel_path)) {
      found = &other;
      break;
    }
  }
  if (found == nullptr) {
    return EEXIST;
  }
  const std::string_view host_rel = found->rel_path;
  const std::vector<std::string_view> local_names = components(rel);
  const std::vector<std::string_view> host_names = components(host_rel);
  // Folders first, from the top, each before anything below it is touched.
  for (std::size_t level = 0; level < depth; ++level) {
    const std::string old_name(host_names[level]);
    const std::string new_name(local_names[level]);
    const std::string old_path(prefix(host_rel, level + 1));
    if (old_name == new_name || spellings.renamed.contains(old_path)) {
      continue;
    }
    if (open_folders(chain, prefix(rel, level), Create::NO) != 0) {
      return ENOENT;
    }
    const int parent = chain.fds.back()->get();
    if (level + 1 < depth) {
      // Both spellings as folders in the local tree: two folders for one.
      struct stat st {};
      if (open_folders(local, prefix(rel, level), Create::NO) != 0 ||
          fstatat(local.fds.back()->get(), old_name.c_str(), &st,
                  AT_SYMLINK_NOFOLLOW) == 0) {
        return EEXIST;
      }
    }
    if (renameat(parent, old_name.c_str(), parent, new_name.c_str()) != 0) {
      return errno;
    }
    if (level + 1 < depth) {
      spellings.renamed.emplace(old_path, prefix(rel, level + 1));
      renamed_folders.emplace_back(prefix(rel, level + 1));
      chain = FolderChain{.root = spellings.host_root};
    }
  }
  clearing.settled.insert(host_rel);
  return 0;
}
