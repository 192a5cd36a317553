// Opening a tree's folders one level at a time with openat relative to the
// level above: no path longer than one name is ever handed to the kernel.
#include "folders.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

namespace {

constexpr int FOLDER_FLAGS = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Opens the folder `name` below `parent`, making it first when `make` is
// set or when it is missing and `create` allows. Returns the descriptor or
// -1 with errno set; `made` tells whether this call created the folder.
int open_level(int parent, const std::string& name, Create create, bool make,
               bool& made) {
  made = false;
  if (!make) {
    const int fd = openat(parent, name.c_str(), FOLDER_FLAGS);
    if (fd >= 0 || errno != ENOENT || create == Create::NO) {
      return fd;
    }
  }
  if (mkdirat(parent, name.c_str(), 0777) == 0) {
    made = true;
  } else if (errno == ENOENT) {
    // The folder above is open, so the host refuses the name itself (as
    // exfat-fuse does for ':' or '?').
    errno = EINVAL;
    return -1;
  } else if (errno != EEXIST) {
    return -1;
  }
  return openat(parent, name.c_str(), FOLDER_FLAGS);
}

}  // namespace

int level_fd(FolderChain& chain, std::size_t level) {
  std::size_t open = level;
  while (chain.levels[open].fd == nullptr) {
    --open;  // the root is always open
  }
  const std::size_t from = open;
  while (open < level) {
    const int fd = openat(chain.levels[open].fd->get(),
                          chain.levels[open + 1].name.c_str(), FOLDER_FLAGS);
    if (fd < 0) {
      return -1;
    }
    chain.levels[++open].fd = std::make_shared<const UniqueFd>(fd);
    // The levels passed on the way are closed again.
    if (chain.holding == Holding::DEEPEST && open - 1 > from &&
        chain.levels[open - 1].staged == nullptr) {
      chain.levels[open - 1].fd = nullptr;
    }
  }
  return chain.levels[level].fd->get();
}

std::size_t open_levels(const FolderChain& chain) {
  std::size_t count = 0;
  for (const FolderLevel& level : chain.levels) {
    count += level.fd != nullptr ? 1U : 0U;
  }
  return count;
}

namespace {

// Under Holding::DEEPEST, closes the levels between the root and the
// deepest. A staged folder has a hidden name: it cannot be opened again by
// its own, and stays open.
void let_go_between(FolderChain& chain) {
  if (chain.holding != Holding::DEEPEST) {
    return;
  }
  for (std::size_t level = 1; level + 1 < chain.levels.size(); ++level) {
    if (chain.levels[level].staged == nullptr) {
      chain.levels[level].fd = nullptr;
    }
  }
}

// How many levels below the root `chain` shares with `rel_folder`; `begin`
// becomes the offset of the first name not shared.
std::size_t shared_levels(const FolderChain& chain, std::string_view rel_folder,
                          std::size_t& begin) {
  std::size_t level = 0;
  begin = 0;
  while (begin < rel_folder.size() && level + 1 < chain.levels.size()) {
    const std::size_t end =
        std::min(rel_folder.find('/', begin), rel_folder.size());
    if (rel_folder.substr(begin, end - begin) != chain.levels[level + 1].name) {
      break;
    }
    ++level;
    begin = end + 1;
  }
  return level;
}

}  // namespace

int open_folders(FolderChain& chain, std::string_view rel_folder,
                 Create create) {
  let_go_between(chain);
  if (chain.levels.empty() && chain.held != nullptr) {
    chain.levels.push_back({.fd = chain.held});
  } else if (chain.levels.empty()) {
    const int fd = open(chain.root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
      return errno;
    }
    chain.levels.push_back({.fd = std::make_shared<const UniqueFd>(fd)});
  }
  std::size_t begin = 0;
  const std::size_t level = shared_levels(chain, rel_folder, begin);
  chain.levels.resize(level + 1);
  chain.kept = level;
  if (level_fd(chain, level) < 0) {
    const int error = errno;
    chain.levels.resize(1);
    return error;
  }
  while (begin < rel_folder.size()) {
    const std::size_t end =
        std::min(rel_folder.find('/', begin), rel_folder.size());
    std::string name(rel_folder.substr(begin, end - begin));
    const std::shared_ptr<CreatedFolder>& above = chain.levels.back().created;
    const bool make = create == Create::YES && above != nullptr;
    bool made = false;
    const int fd = open_level(deepest_fd(chain), name, create, make, made);
    if (fd < 0) {
      return errno == ELOOP ? ENOTDIR : errno;
    }
    chain.levels.push_back(
        {.fd = std::make_shared<const UniqueFd>(fd),
         .name = std::move(name),
         .created = made ? std::make_shared<CreatedFolder>(CreatedFolder{
                               .rel = std::string(rel_folder.substr(0, end)),
                               .above = above})
                         : nullptr});
    begin = end + 1;
    // Kept open: the level the new ones start from and the first new one,
    // which a caller may stage; the deepest, to go on from.
    const std::size_t above_deepest = chain.levels.size() - 2;
    if (chain.holding == Holding::DEEPEST && above_deepest > level + 1 &&
        chain.levels[above_deepest].staged == nullptr) {
      chain.levels[above_deepest].fd = nullptr;
    }
  }
  return 0;
}

void close_deepest(FolderChain& chain) {
  chain.levels.pop_back();
}
