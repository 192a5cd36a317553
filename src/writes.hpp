// Writing the run's copies to the host: through chains of folders held from
// the roots, in durable batches, each copy's outcome reported in the order
// the copies were written; a copy that finds no room waits for a second
// attempt after the deletions.
#ifndef KELVODA_WRITES_HPP_
#define KELVODA_WRITES_HPP_

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "batch.hpp"
#include "clear.hpp"
#include "console.hpp"
#include "copy.hpp"
#include "folders.hpp"
#include "host_folders.hpp"
#include "read_ahead.hpp"
#include "records.hpp"
#include "roots.hpp"

// Whether a copy is tried for the first time, or again after the deletions.
enum class Attempt { FIRST, AGAIN };

// One run's writing on the host.
struct Writes {
  const std::string& local_root;
  const std::string& host_root;
  Console& console;
  FolderChain local;
  HostFolders host;
  CopyState copies;
  Batches batches;
  Clearing clearing;
  FolderChain claims;  // the host folders of a new file whose name is taken
  // The last host folder worked in and its device: the entries of one
  // folder share it, so it is looked up per folder. Not held open by this.
  std::weak_ptr<const UniqueFd> device_folder = {};
  dev_t device = 0;
  std::uint16_t wave = 0;  // of the copies written last
  bool changed = false;    // whether the host needs the final sync
  // Copies that found no room: tried again once the deletions are done.
  Attempt attempt = Attempt::FIRST;
  std::vector<const DiffEntry*> no_room = {};
  // The reading ahead of the sources, and the bytes of the copies written.
  ReadingAhead reading = nullptr;
  std::uint64_t written = 0;
};

// Returns the writing of a run that carries out `entries` from `local_root`
// onto `host_root`, through the folders of `roots`, showing its bytes on
// `console`, with the sources read ahead. Where both chains of folders at
// the entries' deepest level would not leave the copies room under the
// limit on open files, the chains keep only their root and deepest level
// open, and nothing is read ahead.
Writes start_writes(const std::vector<DiffEntry>& entries,
                    const std::string& local_root, const std::string& host_root,
                    const HeldRoots& roots, Console& console);

// Prints the progress line of the copy `entry` (NEWER, MISSING, REPLACED or
// TAKEN) on stdout and writes it into a batch, its folders made as needed;
// a copy of a later wave waits until the earlier ones are in place. A TAKEN
// entry is reported failed with EEXIST in its turn, nothing written. A
// failure is reported on stderr, but for a copy that found no room, which
// waits for write_again.
void write_entry(Writes& writes, const DiffEntry& entry);

// Tries each copy that found no room once more, now that the deletions are
// done; reports those that fail again.
void write_again(Writes& writes);

// Puts every written copy in place and reports them, so the messages of
// earlier entries come first.
void flush(Writes& writes);

// Notes the device of the deepest host folder held, for the final sync.
void note_host_device(Writes& writes);

#endif  // KELVODA_WRITES_HPP_
