// Clearing the way on the host for a copy or its folder. What the scan does
// not list (links, special files, empty folders) and what the run deletes
// anyway is removed where the copy must go; nothing else is, and no link
// is ever followed.
#ifndef KELVODA_CLEAR_HPP_
#define KELVODA_CLEAR_HPP_

#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "console.hpp"
#include "folders.hpp"
#include "records.hpp"

// The run's DELETED keys, indexed on first need, and those already dealt
// with before their turn, removed to clear the way; the host root as given
// and as held.
struct Clearing {
  const std::vector<DiffEntry>& entries;
  const std::string& host_root;
  std::shared_ptr<const UniqueFd> held = nullptr;
  std::unordered_set<std::string_view> deleted = {};
  std::unordered_set<std::string_view> settled = {};
};

// A folder of the host cannot be made at `rel` (its path below the host
// root), in the open folder `folder`, since something that is no folder
// has the name (ENOTDIR). Removes it if it is a link, a special file, or a
// file due for deletion; the deletion is reported on stdout as it happens.
// Returns whether something was removed, so that the folder can be made.
bool clear_folder_way(Clearing& clearing, Console& console, int folder,
                      std::string_view rel);

// The new file `rel` could not take its name in the host folder `folder`,
// where something else has it. A link or special file stays for a rename
// to replace; an empty folder, or one that holds nothing but files due for
// deletion and empty folders, is emptied and removed, each removal
// reported on stdout. Returns 0 when a rename may now replace what is
// there, EEXIST when a regular file or a folder with other things holds the
// name, or another error number.
int clear_file_way(Clearing& clearing, Console& console, int folder,
                   std::string_view rel);

// Whether the DELETED key `rel` was dealt with before its turn.
bool settled(const Clearing& clearing, std::string_view rel);

#endif  // KELVODA_CLEAR_HPP_
