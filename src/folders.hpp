// Folders of one tree held open from its root downwards, never through a
// link, so that work below them holds at any depth and a link that takes a
// folder's place is never followed.
#ifndef KELVODA_FOLDERS_HPP_
#define KELVODA_FOLDERS_HPP_

#include <unistd.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// An owned file descriptor, closed when it goes out of scope.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : owned(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : owned(std::exchange(other.owned, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    reset(std::exchange(other.owned, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return owned; }
  bool valid() const { return owned >= 0; }
  // Closes the descriptor held, if any, and takes `fd` instead.
  void reset(int fd = -1) {
    if (owned >= 0) {
      ::close(owned);
    }
    owned = fd;
  }
  // Closes the descriptor now; returns 0 or the error number of the close,
  // which is where some file systems report a failed write.
  int close() {
    const int result = ::close(std::exchange(owned, -1));
    return result == 0 ? 0 : errno;
  }

 private:
  int owned = -1;
};

enum class Create { NO, YES };

struct StagedFolder;  // see batch.hpp

// A folder a run made: its path below the root, and whether a copy has been
// put in place in it or below it. One that got none is removed again at the
// end of the run, if it is empty.
struct CreatedFolder {
  std::string rel = {};
  std::shared_ptr<CreatedFolder> above = nullptr;  // made by the run too
  bool filled = false;
};

// One level of a chain: the folder, held only as a starting point (O_PATH),
// so a folder that may be written but not read can still be worked in, and
// shared, so work that waits (a copy to be put in place) keeps it open; its
// name in the folder above ("" for the root); the record of its making where
// the run made it; and the staged folder it is while it is kept under a
// hidden name (see batch.hpp).
struct FolderLevel {
  std::shared_ptr<const UniqueFd> fd = nullptr;
  std::string name = {};
  std::shared_ptr<CreatedFolder> created = nullptr;
  std::shared_ptr<StagedFolder> staged = nullptr;
};

// How much of a chain stays open between uses: every level, or, where the
// limit on open files is tight for the tree's depth, the root and the
// deepest level only, the others opened again from the nearest open level
// above when they are needed.
enum class Holding { ALL, DEEPEST };

// The folders of one relative path below `root`, held open: `levels[0]` is
// the root, `levels[i]` the folder named by the first i names; under
// Holding::DEEPEST a level between them may be closed (no `fd`).
struct FolderChain {
  std::string root = {};
  // The root, held by the caller; where null, it is opened by its path.
  std::shared_ptr<const UniqueFd> held = nullptr;
  std::vector<FolderLevel> levels = {};
  // How many levels below the root the last open_folders kept from before.
  std::size_t kept = 0;
  Holding holding = Holding::ALL;
};

// Makes `chain` hold the folders of `rel_folder` ("" for the root itself, no
// leading or trailing slash), keeping the levels it shares with the folders
// held before and opening the rest without following links; under
// Holding::DEEPEST the levels between the root and the deepest are closed
// first (those just made stay open until the next call). With
// Create::YES missing folders are made, each with a record of its making;
// nothing can be inside a folder that was just made, so its subfolders are
// made at once. A link or a file in the way gives ENOTDIR. Returns 0 or the
// error number; on failure the chain holds the levels that could be opened.
int open_folders(FolderChain& chain, std::string_view rel_folder,
                 Create create);

// Opens `level` of `chain` again where it was closed (Holding::DEEPEST),
// from the nearest open level above. Returns its descriptor, or -1 with
// errno set.
int level_fd(FolderChain& chain, std::size_t level);

// How many descriptors `chain` holds open.
std::size_t open_levels(const FolderChain& chain);

// The deepest folder that `chain` holds, which must hold one.
inline int deepest_fd(const FolderChain& chain) {
  return chain.levels.back().fd->get();
}

// How many levels below its root `chain` holds.
inline std::size_t depth(const FolderChain& chain) {
  return chain.levels.empty() ? 0 : chain.levels.size() - 1;
}

// Drops the deepest level of `chain`, which must hold one below the root.
void close_deepest(FolderChain& chain);

#endif  // KELVODA_FOLDERS_HPP_
