// Carrying out the pending actions on the host tree.
#ifndef KELVODA_APPLY_HPP_
#define KELVODA_APPLY_HPP_

#include <filesystem>
#include <string>
#include <vector>

#include "records.hpp"

// Carries out `entries` in order: copies NEWER and MISSING files from
// `local_root` to `host_root` (creating the folders they need; each copy is
// written to a temporary file and put in place once complete, so a failed
// copy leaves the old host file as it was), and deletes DELETED files on the
// host, then prunes the folders that this left empty. Prints a progress line
// per copy and a line per removed file on stdout, and each failed step on
// stderr; a failed step ends only its own entry.
void sync_different_files(const std::vector<DiffEntry>& entries,
                          const std::string& local_root,
                          const std::string& host_root);

// Removes `start` and the folders above it while they are empty, deepest
// first, and never `stop` (the host root) or anything above it. Ends at the
// first folder that is missing, not empty or not a real folder, or at the
// first failure. Prints a line per removed folder on stdout and each failure
// on stderr.
void remove_empty_parents(std::filesystem::path start,
                          const std::filesystem::path& stop);

#endif  // KELVODA_APPLY_HPP_
