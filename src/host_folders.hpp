// The host folders a run works in: the chain from the host root down, whose
// levels know whether the run made them and whether they are staged, the
// folders made that hold no copy yet, and the way back into a staged
// folder, which has a hidden name and cannot be opened by its own.
#ifndef KELVODA_HOST_FOLDERS_HPP_
#define KELVODA_HOST_FOLDERS_HPP_

#include <memory>
#include <string_view>
#include <vector>

#include "batch.hpp"
#include "copy.hpp"
#include "folders.hpp"

// The host's folder chain and the folders the run made that no copy has
// reached yet.
struct HostFolders {
  FolderChain chain = {};
  std::vector<std::shared_ptr<CreatedFolder>> unfilled = {};
};

// Makes `host` hold the host folders of `rel_folder` as open_folders does.
// A staged folder on the way is entered by its handle, and one removed since
// (its copies all failed) is let go of and made anew. Each folder made goes
// on `unfilled`; the topmost of them is staged in `batches` unless it lies
// in a staged folder. Returns 0 or the error number; on failure `host`
// holds the levels that could be opened.
int open_host_folders(HostFolders& host, Batches& batches, CopyState& copies,
                      std::string_view rel_folder, Create create);

// The staged folder that the deepest level of `host` lies in or is, or
// null.
std::shared_ptr<StagedFolder> staged_above(const HostFolders& host);

// Forgets the folders of `unfilled` that a copy has reached.
void forget_filled(HostFolders& host);

// Removes the folders the run made that got no copy, deepest first; one
// that holds something else by now stays.
void remove_unfilled(HostFolders& host);

#endif  // KELVODA_HOST_FOLDERS_HPP_
