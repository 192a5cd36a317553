// Which names a host takes as one, asked of the host itself: a lookup of a
// name, set against what its scan listed, and a probe in a hidden folder of
// its own; never a table of letters. Hosts that ignore letter case (exFAT,
// FAT, NTFS) keep one entry for names that differ in case.
#ifndef KELVODA_SPELLING_HPP_
#define KELVODA_SPELLING_HPP_

#include <sys/stat.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "clear.hpp"
#include "copy.hpp"
#include "folders.hpp"
#include "records.hpp"

// Finds, for each local file that the host's scan did not list under its
// name, the host-only file that the host itself finds under that name: a
// host that lists names in another spelling than it keeps them (NTFS
// mounted to ignore case lists them in small letters). Such a pair is one
// file: when the host's copy is not older it leaves `result`, otherwise
// the local file is to be copied over it (NEWER) and the host file is not
// deleted. Only a local file with a host-only file of its size, depth and a
// time not older is looked up on the host, and only where both exist.
void pair_spellings(CompareResult& result, const std::string& host_root);

// The host folders renamed to the local spelling, by their path as the
// host's scan listed it, and the run's entries.
struct Spellings {
  const std::vector<DiffEntry>& entries;
  const std::string& host_root;
  std::unordered_map<std::string, std::string> renamed = {};
};

// The new file `entry` found its name taken on the host by the regular file
// `occupant` (its status). When that is a host-only file under another
// spelling (a case-only rename in the local tree), its folders and then the
// file take the local spelling, its deletion is settled in `clearing`, and
// the folders renamed are added to `renamed_folders` (their local spelling):
// handles held below them may no longer reach them. A folder whose host
// spelling the local tree has too stays: two local folders for one. Returns
// 0 when `entry`'s name now holds the host's file, EEXIST when the name
// belongs to another file, or another error number. `local` holds the local
// tree's folders.
int take_over(Spellings& spellings, Clearing& clearing, CopyState& copies,
              FolderChain& local, const DiffEntry& entry,
              const struct stat& occupant,
              std::vector<std::string>& renamed_folders);

#endif  // KELVODA_SPELLING_HPP_
