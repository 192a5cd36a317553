// Walking one directory tree into its FileTimeMap.
#ifndef KELVODA_SCAN_HPP_
#define KELVODA_SCAN_HPP_

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "records.hpp"

// Folder names that are never entered, at any depth (exact, case-sensitive).
inline constexpr std::array<std::string_view, 5> SKIPPED_DIR_NAMES = {
    "$RECYCLE.BIN", "RECYCLER", "Recovery", "System Volume Information",
    "lost+found"};

// Walks the tree at `root` and returns every regular file's modification
// time, keyed by its path relative to `root`. Symbolic links to folders are
// not followed; a link to a file inside the tree counts under the file's own
// key, a link to a file elsewhere under the link's path. On any failure
// writes the error to stderr and ends the process with status 1; never
// returns a partial map.
FileTimeMap scan_directory(const std::string& root);

// Returns the modification time in whole seconds of the file at `path`,
// following symbolic links. When it can't be read, writes the error to
// stderr and ends the process with status 1.
std::int64_t get_file_time_sec(const std::filesystem::path& path);

#endif  // KELVODA_SCAN_HPP_
