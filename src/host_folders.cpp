// The host's folder chain. A folder the run makes is staged when it is the
// topmost new one, so that nothing below it shows before its copies are on
// the disk; the levels below a staged folder are reached through its
// handle for as long as it has its hidden name.
#include "host_folders.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <string>

namespace {

// Whether `folder` is `rel` or lies below it.
bool lies_in(std::string_view folder, std::string_view rel) {
  return folder.starts_with(rel) &&
         (folder.size() == rel.size() || folder[rel.size()] == '/');
}

// Makes the chain hold the staged folder that `folder` lies in or is, if
// any: opening it by its name would find nothing, or make it a second time.
void enter_staged(HostFolders& host, const Batches& batches,
                  std::string_view folder) {
  for (const std::shared_ptr<StagedFolder>& staged : batches.staged) {
    const std::string& rel = staged->created->rel;
    if (staged->stage == FolderStage::FAILED || !lies_in(folder, rel)) {
      continue;
    }
    const auto level =
        static_cast<std::size_t>(std::count(rel.begin(), rel.end(), '/')) + 1;
    FolderChain& chain = host.chain;
    if (chain.levels.size() > level && chain.levels[level].staged == staged) {
      return;
    }
    const std::size_t slash = rel.rfind('/');
    if (open_folders(chain,
                     std::string_view(rel).substr(
                         0, slash == std::string::npos ? 0 : slash),
                     Create::NO) == 0 &&
        depth(chain) + 1 == level) {
      chain.levels.push_back({.fd = staged->folder,
                              .name = staged->name,
                              .created = staged->created,
                              .staged = staged});
    }
    return;
  }
}

}  // namespace

int open_host_folders(HostFolders& host, Batches& batches, CopyState& copies,
                      std::string_view rel_folder, Create create) {
  FolderChain& chain = host.chain;
  const auto removed = std::find_if(
      chain.levels.begin(), chain.levels.end(), [](const FolderLevel& level) {
        return level.staged != nullptr &&
               level.staged->stage == FolderStage::REMOVED;
      });
  chain.levels.erase(removed, chain.levels.end());
  if (!batches.staged.empty()) {
    enter_staged(host, batches, rel_folder);
  }
  const int error = open_folders(chain, rel_folder, create);
  for (std::size_t level = chain.kept + 1; level < chain.levels.size();
       ++level) {
    FolderLevel& made = chain.levels[level];
    if (made.created == nullptr) {
      continue;
    }
    host.unfilled.push_back(made.created);
    if (chain.levels[level - 1].created == nullptr) {
      // The levels above hold no staged folder: none was made by the run.
      made.staged = staged_above(host) != nullptr
                        ? nullptr
                        : stage_new_folder(batches, copies,
                                           chain.levels[level - 1], made);
    }
  }
  return error;
}

std::shared_ptr<StagedFolder> staged_above(const HostFolders& host) {
  const auto& levels = host.chain.levels;
  for (auto level = levels.rbegin(); level != levels.rend(); ++level) {
    if (level->staged != nullptr) {
      return level->staged;
    }
  }
  return nullptr;
}

void forget_filled(HostFolders& host) {
  std::erase_if(host.unfilled,
                [](const auto& folder) { return folder->filled; });
}

void remove_unfilled(HostFolders& host) {
  for (auto it = host.unfilled.rbegin(); it != host.unfilled.rend(); ++it) {
    const std::string& rel = (*it)->rel;
    const std::size_t slash = rel.rfind('/');
    const std::string name = rel.substr(slash + 1);
    if (!(*it)->filled &&
        open_folders(host.chain,
                     std::string_view(rel).substr(
                         0, slash == std::string::npos ? 0 : slash),
                     Create::NO) == 0) {
      unlinkat(deepest_fd(host.chain), name.c_str(), AT_REMOVEDIR);
    }
  }
  host.unfilled.clear();
}
