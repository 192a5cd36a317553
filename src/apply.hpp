// Carrying out the pending actions on the host tree.
#ifndef KELVODA_APPLY_HPP_
#define KELVODA_APPLY_HPP_

#include <string>
#include <vector>

#include "console.hpp"
#include "records.hpp"
#include "roots.hpp"

// Carries out `plan`: removes the hidden entries killed runs left, renames
// host entries to their local spelling, then works through the entries in
// order: copies NEWER, REPLACED and MISSING files from `local_root` to
// `host_root` (creating the folders they need; a copy only ever leaves the
// old or the complete new file under the target's name), fails TAKEN ones
// with EEXIST, and deletes DELETED files on the host, then prunes the
// folders that this left empty. All host work goes through folders opened
// from the host root without following links. Prints a progress line per
// copy and a line per rename and per removed file or folder on stdout, and
// each failed step on stderr; a failed step ends only its own entry. Shows
// how far it got on `console`'s status line.
// Works in the trees through `roots`, held since the walks; where the host
// root's path names another folder by now, stops with an error.
void sync_different_files(const CompareResult& plan,
                          const std::string& local_root,
                          const std::string& host_root, const HeldRoots& roots,
                          Console& console);

// Carries out `entries` alone, with a console that shows no status line.
void sync_different_files(const std::vector<DiffEntry>& entries,
                          const std::string& local_root,
                          const std::string& host_root);

#endif  // KELVODA_APPLY_HPP_
