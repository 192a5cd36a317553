// A new file whose name a case-insensitive host already resolves: the local
// tree renamed a file or folder in case only, and the host's entry is
// taken over under the local spelling.
#ifndef KELVODA_TAKEOVER_HPP_
#define KELVODA_TAKEOVER_HPP_

#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "copy.hpp"
#include "folders.hpp"
#include "records.hpp"

// The DELETED keys by their folded form, made when a host first treats a
// new file's name as taken, and those whose host entry became a copy's.
struct TakeOvers {
  const std::vector<DiffEntry>& entries;
  std::unordered_map<std::string, std::string_view> deleted_by_fold = {};
  std::unordered_set<std::string_view> taken = {};
};

// The new file `entry`, whose name the host resolves although its scan did
// not list it: when the other name is a file due for deletion (a
// case-only rename in the local tree), the host's folders take the local
// spelling and the file is replaced under it, which also gives it the local
// spelling; its deletion is then left out. Otherwise the name belongs to
// another local file's copy, or to a file that appeared since the scan,
// and stays untouched: EEXIST. `local` holds the local tree's folders.
// Returns 0 or the error number.
int take_over(TakeOvers& take_overs, CopyState& copies, FolderChain& local,
              const std::string& host_root, const DiffEntry& entry);

// Whether the host entry of the DELETED `rel` now holds a local file's copy.
bool taken_over(const TakeOvers& take_overs, std::string_view rel);

#endif  // KELVODA_TAKEOVER_HPP_
