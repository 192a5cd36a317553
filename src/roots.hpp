// Whether the two trees of a run lie one inside the other, which would make
// the run delete the local tree's own files from the host side or copy the
// host into itself.
#ifndef KELVODA_ROOTS_HPP_
#define KELVODA_ROOTS_HPP_

#include <memory>
#include <string>

#include "folders.hpp"
#include "records.hpp"

// True when the canonical path of one root begins with the other's, "/"
// the shortest, so that nested trees are refused before they are walked.
// False when either path can't be formed (the scan then tells why).
bool roots_nest_by_path(const std::string& local_root,
                        const std::string& host_root);

// The identity of each root, for the other tree's walk to watch for.
struct RootWatches {
  FolderWatch local = {};  // watched for by the host's walk
  FolderWatch host = {};   // watched for by the local walk
};

// Returns the identities of both roots; a watch is marked seen when its
// root's identity can't be read, so that a run that cannot rule out nested
// trees stops.
RootWatches watch_roots(const std::string& local_root,
                        const std::string& host_root);

// True when the walks saw one root inside the other, or, on one device, the
// roots nest by a spelling the host takes as the same; never for the same
// folder given twice. Call after both walks.
bool roots_nested(const std::string& local_root, const std::string& host_root,
                  const RootWatches& watches);

// The two roots, held open from before the walks to the end of the run, so
// that the host written is the host that was scanned.
struct HeldRoots {
  std::shared_ptr<const UniqueFd> local = nullptr;  // null: not opened
  std::shared_ptr<const UniqueFd> host = nullptr;
};

// Opens both roots to hold them; a root that cannot be opened is held as
// none, and its walk tells why.
HeldRoots hold_roots(const std::string& local_root,
                     const std::string& host_root);

// Which tree's path names another folder by now than the one held, or none
// at all: a disk unmounted, swapped or replaced since the walks.
enum class Moved { NONE, LOCAL, HOST };
Moved moved_root(const HeldRoots& roots, const std::string& local_root,
                 const std::string& host_root);

// Whether the path `root` names the folder `held`.
bool still_names(const std::string& root, const UniqueFd& held);

#endif  // KELVODA_ROOTS_HPP_
