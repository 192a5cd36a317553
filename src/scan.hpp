// Walking one directory tree into its FileTimeMap.
#ifndef KELVODA_SCAN_HPP_
#define KELVODA_SCAN_HPP_

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "console.hpp"
#include "records.hpp"

// Folder names that are never entered, at any depth (exact, case-sensitive).
inline constexpr std::array<std::string_view, 5> SKIPPED_DIR_NAMES = {
    "$RECYCLE.BIN", "RECYCLER", "Recovery", "System Volume Information",
    "lost+found"};

// Walks the tree at `root` and returns every regular file's modification
// time, keyed by its path relative to `root`. Symbolic links to folders are
// not followed; a link to a file inside the tree counts under the file's own
// key, a link to a file elsewhere under the link's path. Sets `watch->seen`
// when it enters the folder `watch` names (one status query per folder).
// Shows its count of files and folders on `console`'s status line as
// `tree`. On any failure writes the error to stderr and ends the process
// with status 1; never returns a partial map.
FileTimeMap scan_directory(const std::string& root, Console& console,
                           Tree tree = Tree::LOCAL,
                           FolderWatch* watch = nullptr);

// The same with a console that shows no status line, watching for nothing.
FileTimeMap scan_directory(const std::string& root);

// Whether `name` is that of a hidden entry of a run (".kelvoda-<digits>-
// <anything>.tmp", the letters in any case), which no walk records.
bool is_run_entry(std::string_view name);

// A walk's map, or the message of its failure.
struct ScanResult {
  FileTimeMap map = {};
  std::string error = {};  // empty when the walk succeeded
  // The hidden entries of runs that the walk passed over, by their paths
  // below the root as listed.
  std::vector<std::string> run_entries = {};
};

// Walks the tree at `root` as scan_directory does, but returns a failure's
// message instead of writing it, and an empty map with it; the walk also
// ends early, with no message, once `stop` is set. Prints nothing.
ScanResult scan_tree(const std::string& root, Console& console, Tree tree,
                     FolderWatch* watch, const std::atomic<bool>* stop);

// Walks the local and the host tree at the same time, the host's on a
// thread of its own (in turn where the process may use one core only or no
// thread can be started), and returns both walks. When a walk fails, writes
// the local tree's message if it has one, else the host's, as if the trees
// were walked one after the other, and ends the process with status 1.
std::pair<ScanResult, ScanResult> scan_both(const std::string& local_root,
                                            const std::string& host_root,
                                            Console& console,
                                            FolderWatch* local_watch,
                                            FolderWatch* host_watch);

#endif  // KELVODA_SCAN_HPP_
