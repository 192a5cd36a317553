// A hidden file of the run's own in the host root, made before the walks and
// removed before the report. The local walk meeting it means that the host
// lies inside the local tree, whatever view, mount or spelling hides that;
// the host's answers about it tell how the host treats names.
#ifndef KELVODA_MARKER_HPP_
#define KELVODA_MARKER_HPP_

#include <ctime>
#include <string>
#include <vector>

#include "folders.hpp"
#include "interrupt.hpp"
#include "records.hpp"

// The marker of one run.
struct Marker {
  UniqueFd root = {};       // the host root, held while the marker exists
  std::string name = {};    // empty where the host could not be written
  HiddenEntry hidden = {};  // its entry in the interrupt handler's table
  // The root's times before the marker came, which it gets back after.
  timespec accessed = {};
  timespec modified = {};
};

// Makes the marker ".kelvoda-<pid>-Marke.tmp" in the held host root `held`
// (null where it could not be opened), registered with the interrupt
// handler so that a signal removes it; where the host cannot be written,
// returns a marker without a name. Prints nothing.
Marker make_marker(const UniqueFd* held);

// Whether the walk's `run_entries` hold the marker, in any letter case,
// below the walk's root; in the root itself it is the same folder given
// twice.
bool holds_marker(const Marker& marker,
                  const std::vector<std::string>& run_entries);

// How the host treats names, as it answers about the marker: the spelling in
// which its root's listing (the host walk's `run_entries`) shows it, and
// whether the marker is found under other letter case. Unknown (the
// defaults) where there is no marker.
HostNames host_names(const Marker& marker,
                     const std::vector<std::string>& run_entries);

// The host walk's `run_entries` but the marker: what killed runs left.
std::vector<std::string> leftovers(const Marker& marker,
                                   std::vector<std::string> run_entries);

// Removes each of `leftovers` (paths below the root of `host`) whose run has
// ended, folders with all they hold, through the folders of `host`.
// Returns whether anything was removed. Prints nothing.
bool remove_leftovers(FolderChain& host,
                      const std::vector<std::string>& leftovers);

// Removes the marker, if there is one, gives the host root back the times
// it had, and lets go of it.
void remove_marker(Marker& marker);

#endif  // KELVODA_MARKER_HPP_
