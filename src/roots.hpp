// Whether the two trees of a run lie one inside the other, which would make
// the run delete the local tree's own files from the host side or copy the
// host into itself.
#ifndef KELVODA_ROOTS_HPP_
#define KELVODA_ROOTS_HPP_

#include <string>

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

#endif  // KELVODA_ROOTS_HPP_
