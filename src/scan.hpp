// Walking directory trees into their FileTimeMaps, with a few threads.
#ifndef KELVODA_SCAN_HPP_
#define KELVODA_SCAN_HPP_

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "console.hpp"
#include "records.hpp"
#include "roots.hpp"

// Folder names that are never entered, at any depth (exact, case-sensitive).
inline constexpr std::array<std::string_view, 5> SKIPPED_DIR_NAMES = {
    "$RECYCLE.BIN", "RECYCLER", "Recovery", "System Volume Information",
    "lost+found"};

// Walks the tree at `root` with walk_threads() threads and returns every
// regular file's modification time, keyed by its path relative to `root`,
// in the order of a walk by one thread. Symbolic links to folders are
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

// Both trees' maps, or the message of the failure that a run tells, and the
// hidden entries of runs each walk passed over, by their paths below its
// root as listed, in no particular order.
struct TreeScans {
  FileTimeMap local = {};
  FileTimeMap host = {};
  std::string error = {};  // empty when both walks succeeded
  std::vector<std::string> local_run_entries = {};
  std::vector<std::string> host_run_entries = {};
};

// Walks the local and the host tree at the same time with `threads` threads
// in all (1: one after the other on the calling thread) and returns both
// maps, setting each watch's `seen` as scan_directory does. Where a walk
// fails, returns the local tree's message if it has one, else the host's,
// as if the trees were walked one after the other, and empty maps; once the
// local walk has failed, the host's ends early. A tree whose walk fails
// after threads shared it is walked again by one thread, so that the
// message is the one a walk in order meets first. Prints nothing but the
// status line's counts.
// Each root is walked through its folder in `held` where there is one.
TreeScans walk_both(const std::string& local_root, const std::string& host_root,
                    Console& console, FolderWatch* local_watch,
                    FolderWatch* host_watch, std::size_t threads,
                    const HeldRoots& held = {});

// Walks both trees as walk_both does, with walk_threads() threads, and
// returns both walks. When a walk fails, writes the message to stderr and
// ends the process with status 1.
TreeScans scan_both(const std::string& local_root, const std::string& host_root,
                    Console& console, FolderWatch* local_watch,
                    FolderWatch* host_watch, const HeldRoots& held);

#endif  // KELVODA_SCAN_HPP_
