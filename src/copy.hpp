// Copying one file from an open local folder into an open host folder so
// that the host only ever holds the old or the complete new file.
#ifndef KELVODA_COPY_HPP_
#define KELVODA_COPY_HPP_

#include <sys/types.h>

#include <memory>
#include <string>

#include "console.hpp"
#include "folders.hpp"
#include "interrupt.hpp"

// What the copies of one run learn about the host and keep using.
struct CopyState {
  Console* console = nullptr;  // whose status line counts the bytes
  mode_t umask_bits = 0;
  pid_t pid = 0;
  unsigned hidden_counter = 0;  // numbers the hidden names
  // Cleared once the host has refused an unnamed file (O_TMPFILE), so later
  // copies go straight to a hidden name.
  bool unnamed_files = true;
  // Cleared once the kernel has refused to copy between the two file
  // systems, so later copies go through `buffer`.
  bool kernel_copy = true;
  std::unique_ptr<char[]> buffer = nullptr;
};

// Returns the state for the copies of one run, showing their bytes on
// `console`: the process's umask and pid.
CopyState start_copies(Console& console);

// Registers a fresh hidden name (".kelvoda-<pid>-<n>.tmp") in the open
// folder `folder` with the interrupt handler as `kind`, before it is made.
// Returns its handle, one that is not valid with errno set when the table
// is full.
HiddenEntry claim_hidden(CopyState& state, int folder, Hidden kind);

// Whether a copy creates a file the host lacks, replaces one it has, or
// creates one in a staged folder (see stage_folder), where it is written
// under its own name since nothing in there can be seen yet.
enum class Target { NEW, REPLACE, STAGED };
// Whether a copy's data is made durable on its own (fsync) or by the caller
// for a whole batch (syncfs) before it is put in place.
enum class Sync { LATER, NOW };

// A copy: where it goes and, once written, the file that holds it until it
// is put in place, kept open: an unnamed file, a hidden file beside the
// target, or the file under its own name in a staged folder. `hidden` is
// its entry in the interrupt handler's table, if it has one.
struct PendingCopy {
  std::shared_ptr<const UniqueFd> folder = nullptr;  // where it goes
  std::string name = {};  // its name there and locally
  Target target = Target::NEW;
  UniqueFd file = {};
  HiddenEntry hidden = {};
  off_t size = 0;
};

// Writes the regular file `pending.name` of the open folder `from` into a
// file in `pending.folder` that has no name, a hidden one, or (STAGED) its
// own, and keeps it open in `pending.file`; the copy takes the source's
// permission bits as far as the host keeps them, holes where the host can
// store them, and as its time the second before the source was opened, so
// that any later change of the source is newer. A source that is not a regular
// file fails with EINVAL. With Sync::NOW the data is on the disk on return. On
// failure nothing is left on the host. Returns 0 or the error number.
// Prints nothing.
int write_copy(CopyState& state, int from, PendingCopy& pending, Sync sync);

// Puts the written copy `pending` in place under its name. A NEW copy never
// replaces anything: when the host already resolves the name (a file that
// appeared since the scan, or one that a case-insensitive host treats as
// the same name) the result is EEXIST and the host is left as it was. A
// REPLACE copy is renamed over the target, so a link there is replaced,
// never written through. On failure the copy is discarded. Returns 0 or the
// error number.
int place_copy(PendingCopy& pending);

// Removes the written copy `pending` without putting it in place.
void discard_copy(PendingCopy& pending);

// A folder the run has just made is staged: it is moved to a hidden name at
// once, the new files below it are written under their own names, which
// spares each a link or rename, and once their data is on the disk the
// folder is put in place by one rename.

// Stages the folder `name` of `parent`, which this run has just made and
// which is empty: renames it to a hidden name, registered in `hidden`.
// Returns 0 or the error number; on failure the folder stays where it is.
int stage_folder(CopyState& state, int parent, const std::string& name,
                 HiddenEntry& hidden);

// Puts the staged folder `hidden` of `parent` in place under `name`, unless
// the host resolves that name by now (EEXIST), and gives its entry back.
// Returns 0 or the error number; on failure the staged folder stays where
// it is.
int place_folder(int parent, HiddenEntry& hidden, const std::string& name);

// Copies `length` bytes at `offset` of `in` to the same offset of `out`, in
// the kernel while `state` allows it, otherwise through a buffer. Stops early
// at the end of `in`. Returns 0 or the error number.
int copy_range(CopyState& state, int in, int out, off_t offset, off_t length);

#endif  // KELVODA_COPY_HPP_
