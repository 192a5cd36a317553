// Copying one file from an open local folder into an open host folder so
// that the host only ever holds the old or the complete new file.
#ifndef KELVODA_COPY_HPP_
#define KELVODA_COPY_HPP_

#include <sys/types.h>

// What the copies of one run learn about the host and keep using.
struct CopyState {
  mode_t umask_bits = 0;
  pid_t pid = 0;
  unsigned temp_counter = 0;
  // Cleared once the host has refused an unnamed file (O_TMPFILE), so later
  // copies go straight to a hidden name.
  bool unnamed_files = true;
  // Cleared once the kernel has refused to copy between the two file
  // systems, so later copies go straight to the buffer.
  bool kernel_copy = true;
};

// Returns the state for the copies of one run: the process's umask and pid.
CopyState start_copies();

// Whether a copy creates a file the host lacks or replaces one it has.
enum class Target { NEW, REPLACE };

// Copies the regular file `name` of the open folder `from` to `name` in the
// open folder `to`. A NEW file is written unnamed and linked in once
// complete, or where the host has no unnamed files written to a hidden
// temporary file renamed into place; it never replaces anything: when the
// host already resolves `name` (a file that appeared since the scan, or one
// that a case-insensitive host treats as the same name) the result is
// EEXIST and the host is left as it was. A REPLACE copy is written to a
// hidden temporary file that is renamed over the target, so a link there is
// replaced, never written through. On failure, and on SIGINT, SIGTERM or
// SIGHUP while it runs, the temporary file is removed and the host file
// stays as it was. The copy takes the source's permission bits as far as
// the host keeps them, holes where the host can store them, and the time of
// writing. A source that is not a regular file fails with EINVAL. Returns 0
// or the error number. Prints nothing.
int copy_file(CopyState& state, int from, int to, const char* name,
              Target target);

// Copies `length` bytes at `offset` of `in` to the same offset of `out`, in
// the kernel while `state` allows it, otherwise through a buffer. Stops early
// at the end of `in`. Returns 0 or the error number.
int copy_range(CopyState& state, int in, int out, off_t offset, off_t length);

#endif  // KELVODA_COPY_HPP_
