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

// The folders of one relative path below `root`, held open: `fds[0]` is the
// root, `fds[i]` the folder named by the first i entries of `names`. The
// handles only serve as starting points (O_PATH), so a folder that may be
// written but not read can still be worked in; they are shared, so work
// that waits (a copy to be put in place) keeps its folder open.
struct FolderChain {
  std::string root = {};
  std::vector<std::shared_ptr<const UniqueFd>> fds = {};
  std::vector<std::string> names = {};
  // Whether this run created the folder of the same level; nothing can be
  // inside a folder that was just made, so its subfolders are made at once.
  std::vector<bool> created = {};
  // How many levels below the root the last open_folders kept from before.
  std::size_t kept = 0;
};

// Makes `chain` hold the folders of `rel_folder` ("" for the root itself, no
// leading or trailing slash), keeping the levels it shares with the folders
// held before and opening the rest without following links. With
// Create::YES missing folders are made. A link or a file in the way gives
// ENOTDIR. Returns 0 or the error number; on failure the chain holds the
// levels that could be opened.
int open_folders(FolderChain& chain, std::string_view rel_folder,
                 Create create);

// Drops the deepest level of `chain`, which must hold one below the root.
void close_deepest(FolderChain& chain);

// Adds the folder `fd` as the level below the deepest of `chain`, under
// `name`, for a folder that can't be opened by its name (one kept under a
// hidden name for now); `created` tells whether this run made it.
void add_level(FolderChain& chain, std::shared_ptr<const UniqueFd> fd,
               std::string name, bool created);

#endif  // KELVODA_FOLDERS_HPP_
