// Walking one directory tree into its FileTimeMap.
#ifndef KELVODA_SCAN_HPP_
#define KELVODA_SCAN_HPP_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

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

#endif  // KELVODA_SCAN_HPP_
