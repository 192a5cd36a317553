// Removing the host folders that deletions left empty.
#ifndef KELVODA_PRUNE_HPP_
#define KELVODA_PRUNE_HPP_

#include <filesystem>

#include "console.hpp"
#include "folders.hpp"

// Removes the deepest folder that `folders` holds below its root while it
// is empty, climbing one level at a time, and never the root. `start` is
// that deepest folder's path as printed; the folders above it are its
// parent paths. Ends at the first folder that is not empty and at the first
// failure. Prints "Ordner ... wurde entfernt" per removed folder on stdout
// and each failure on stderr. Removed levels leave `folders`. Returns the
// number of folders removed.
int remove_empty_parents(FolderChain& folders, std::filesystem::path start,
                         Console& console);

// The same with a console that shows no status line.
int remove_empty_parents(FolderChain& folders, std::filesystem::path start);

#endif  // KELVODA_PRUNE_HPP_
