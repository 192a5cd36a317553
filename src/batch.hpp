// Written copies wait in batches until their data is on the disk; only then
// do they, and the folders staged for them, get their names.
//
// A copy goes through these stages:
//   FILLING  written into a batch, its data maybe only in memory until the
//            batch is made durable (on a thread of its own while the next
//            batch fills);
//   PLACED   under its name on the host (final);
//   FAILED   discarded with nothing left behind, `error` says why (final).
// A staged folder (a folder the run made, kept under a hidden name):
//   OPEN     new files below it are written under their own names;
//   CLOSED   the batch it was open for is handed over, later files below it
//            take the usual way;
//   PLACED   renamed to its name once that batch is on the disk (final);
//   REMOVED  its copies all failed, so it is removed instead; a later copy
//            below it makes the folder anew (final);
//   FAILED   could not be put in place and is removed with all it holds;
//            every copy below it fails with `error` (final).
#ifndef KELVODA_BATCH_HPP_
#define KELVODA_BATCH_HPP_

#include <pthread.h>
#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "copy.hpp"
#include "folders.hpp"
#include "records.hpp"

enum class CopyStage { FILLING, PLACED, FAILED };
enum class FolderStage { OPEN, CLOSED, PLACED, REMOVED, FAILED };

// A folder this run made and staged (see stage_folder) until the copies
// below it are on the disk.
struct StagedFolder {
  std::shared_ptr<const UniqueFd> parent = nullptr;
  std::string name = {};  // under which it goes in place
  std::shared_ptr<const UniqueFd> folder = nullptr;  // the folder itself
  std::shared_ptr<CreatedFolder> created = nullptr;  // with its path
  HiddenEntry hidden = {};
  std::size_t placed = 0;  // copies below it put in place
  FolderStage stage = FolderStage::OPEN;
  int error = 0;  // why it FAILED
};

// A written copy of `entry` and, once its batch is placed, its outcome.
struct WaitingCopy {
  const DiffEntry* entry = nullptr;
  PendingCopy copy = {};
  std::shared_ptr<StagedFolder> staged = nullptr;  // the one it lies below
  // The deepest folder this run made that it lies in, if any.
  std::shared_ptr<CreatedFolder> created = nullptr;
  dev_t device = 0;  // of its folder
  CopyStage stage = CopyStage::FILLING;
  int error = 0;  // why it FAILED
};

// Copies of one batch, their bytes, the result of syncing each device, and
// the staged folders that go in place with them.
struct Batch {
  std::vector<WaitingCopy> copies = {};
  off_t bytes = 0;
  std::vector<std::pair<dev_t, int>> synced = {};  // device, error
  std::vector<std::shared_ptr<StagedFolder>> folders = {};
};

// What the run does while it waits for its data to reach the disk:
// `waiting` is called as a wait begins and about ten times a second while
// it lasts, `waited` once it has ended. An empty one is not called.
struct DiskWait {
  std::function<void()> waiting = nullptr;
  std::function<void()> waited = nullptr;
};

// The batch being filled, the one before it while the sync thread makes it
// durable, the staged folders not yet in place, and the devices the run
// wrote to, each with a folder on it, for the final sync.
struct Batches {
  Batch filling = {};
  Batch syncing = {};
  pthread_t syncer = {};
  bool syncer_running = false;
  std::size_t limit = 1;  // copies a batch holds at most
  // Descriptors the run may still open: the limit on open files less those
  // open when the batches started, inherited ones included.
  std::size_t free_files = 0;
  // Not yet in place, in the order they were staged, and those that failed.
  std::vector<std::shared_ptr<StagedFolder>> staged = {};
  std::vector<std::pair<dev_t, std::shared_ptr<const UniqueFd>>> devices = {};
  DiskWait wait = {};  // told about each wait for a sync
};

// The fewest open files a run works with: the standard streams, the
// folders held, a file being copied and a few to spare.
inline constexpr std::size_t MIN_OPEN_FILES = 16;

// Raises the limit on open files toward its hard limit, as far as two full
// batches need, and returns it.
std::size_t raise_open_files();

// Returns empty batches sized so that two of them fit the limit on open
// files.
Batches start_batches();

// Adds the written `copy` to the batch being filled. A full batch is handed
// over to be made durable, and the one before it is put in place; so is a
// batch whose copies, with the `held` descriptors the run holds elsewhere,
// would leave no room under the limit on open files for the next copy.
// While the batch before it is still being made durable, tells
// `batches.wait` that the run waits. Returns the copies that this put in
// place or failed, in the order they were written.
std::vector<WaitingCopy> add_copy(Batches& batches, WaitingCopy copy,
                                  std::size_t held);

// Makes every written copy durable, on a thread of its own while this one
// tells `batches.wait` that it waits, and puts it in place. Returns them, in
// the order they were written.
std::vector<WaitingCopy> flush_batches(Batches& batches);

// Stages the folder of `level`, which this run has just made in the folder
// of `parent` and which is empty, and returns its record; where that fails,
// the folder simply stays in place and the result is null.
std::shared_ptr<StagedFolder> stage_new_folder(Batches& batches,
                                               CopyState& copies,
                                               const FolderLevel& parent,
                                               const FolderLevel& level);

// The device of the open folder `folder`, noted for `sync_devices` with a
// folder on it to keep: `root`, the host root, where that is on it too.
dev_t note_device(Batches& batches,
                  const std::shared_ptr<const UniqueFd>& folder,
                  const std::shared_ptr<const UniqueFd>& root);

// Makes everything written to the host durable: `root` (a folder that can
// be read) and every noted device, one syncfs and one fsync each, on a
// thread of its own while this one tells `batches.wait` that it waits.
// Returns 0 or the error number.
int sync_devices(const Batches& batches, int root);

#endif  // KELVODA_BATCH_HPP_
