// The copy engine. New files are written unnamed (O_TMPFILE) and linked in,
// existing ones through a hidden file renamed over them. The hidden name is
// short and pure ASCII, so it is valid on every host and never cut inside a
// character, and it is registered with the interrupt handler before the
// file exists.
#include "copy.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "interrupt.hpp"

namespace {

constexpr std::size_t COPY_BUFFER_SIZE = std::size_t{256} * 1024;
constexpr off_t KERNEL_CHUNK = off_t{8} << 20;

bool kernel_refuses(int error) {
  return error == EXDEV || error == EINVAL || error == ENOSYS ||
         error == EOPNOTSUPP;
}

int copy_through_buffer(CopyState& state, int in, int out, off_t offset,
                        off_t length) {
  if (state.buffer == nullptr) {
    state.buffer = std::make_unique_for_overwrite<char[]>(COPY_BUFFER_SIZE);
  }
  char* buffer = state.buffer.get();
  while (length > 0) {
    const auto want =
        static_cast<std::size_t>(std::min<off_t>(length, COPY_BUFFER_SIZE));
    const ssize_t got = pread(in, buffer, want, offset);
    if (got == 0) {
      return 0;
    }
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      return errno;
    }
    for (ssize_t written = 0; written < got;) {
      const ssize_t put =
          pwrite(out, buffer + written, static_cast<std::size_t>(got - written),
                 offset + written);
      if (put < 0) {
        if (errno == EINTR) {
          continue;
        }
        return errno;
      }
      written += put;
    }
    offset += got;
    length -= got;
    status_bytes(*state.console, static_cast<std::uint64_t>(got));
  }
  return 0;
}

// Copies the data of a file with holes segment by segment and leaves the
// holes unwritten, so the host keeps them where it can.
int copy_sparse(CopyState& state, int in, int out, off_t size) {
  off_t offset = 0;
  while (offset < size) {
    const off_t data = lseek(in, offset, SEEK_DATA);
    if (data < 0) {
      if (errno == ENXIO) {
        break;  // nothing but a hole up to the end
      }
      return errno;
    }
    off_t hole = lseek(in, data, SEEK_HOLE);
    if (hole < 0) {
      return errno;
    }
    hole = std::min(hole, size);
    if (const int error = copy_range(state, in, out, data, hole - data);
        error != 0) {
      return error;
    }
    offset = hole;
  }
  return ftruncate(out, size) == 0 ? 0 : errno;
}

// Gives the unnamed file `fd` the name `name` in `folder`, which must not
// exist yet. Without the privilege to link by descriptor, links through
// /proc. Returns 0 or the error number.
int link_unnamed(int fd, int folder, const char* name) {
  if (linkat(fd, "", folder, name, AT_EMPTY_PATH) == 0) {
    return 0;
  }
  if (errno != ENOENT && errno != EPERM) {
    return errno;
  }
  std::array<char, 32> proc_path{};
  std::snprintf(proc_path.data(), proc_path.size(), "/proc/self/fd/%d", fd);
  if (linkat(AT_FDCWD, proc_path.data(), folder, name, AT_SYMLINK_FOLLOW) ==
      0) {
    return 0;
  }
  return errno;
}

// Opens the file that receives the copy into `pending` and registers it
// with the interrupt handler: an unnamed file in its folder for a new file
// where the host has them, the file under its own name in a staged folder,
// otherwise a fresh hidden file. Returns the descriptor or -1 with errno
// set.
int open_receiver(CopyState& state, PendingCopy& pending, mode_t mode) {
  const int to = pending.folder->get();
  constexpr int CREATE = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
  if (pending.target == Target::NEW && state.unnamed_files) {
    const int fd = openat(to, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (fd >= 0 ||
        (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) {
      return fd;
    }
    state.unnamed_files = false;
  }
  int fd = -1;
  if (pending.target == Target::STAGED) {
    // Nothing in a staged folder can be seen yet; the handler removes the
    // folder with the file, once the file is closed.
    pending.hidden = register_hidden(-1, "", Hidden::HIDDEN_FILE);
    fd = pending.hidden.valid() ? openat(to, pending.name.c_str(), CREATE, mode)
                                : -1;
  } else {
    do {
      pending.hidden = claim_hidden(state, to, Hidden::HIDDEN_FILE);
      fd = pending.hidden.valid()
               ? openat(to, pending.hidden.name(), CREATE, mode)
               : -1;
    } while (fd < 0 && errno == EEXIST);
  }
  if (fd < 0) {
    const int error = errno;
    pending.hidden.reset();
    errno = error;
    return -1;
  }
  pending.hidden.set_file(fd);
  return fd;
}

// Writes the open source `in` into `out`, gives it the source's bits as far
// as the host keeps them. Returns 0 or the error number.
int fill(CopyState& state, int in, const struct stat& st, int out) {
  // A file that occupies fewer blocks than its size has holes.
  const bool sparse = st.st_blocks * 512 < st.st_size;
  const int error = sparse ? copy_sparse(state, in, out, st.st_size)
                           : copy_range(state, in, out, 0, st.st_size);
  if (error != 0) {
    return error;
  }
  // The umask took bits off the mode; give the copy the source's bits.
  // Hosts that cannot store some of them (set-id and sticky bits, group and
  // other write on FAT-like file systems) keep what they can: the copy's
  // content is what counts.
  const mode_t mode = st.st_mode & 07777;
  if ((mode & state.umask_bits) != 0 && fchmod(out, mode) != 0) {
    fchmod(out, mode & 0777);
  }
  return 0;
}

// Closes the file of `pending`; returns 0 or the error of the close, which
// is where some file systems report a failed write.
int close_file(PendingCopy& pending) {
  if (pending.hidden.valid()) {
    pending.hidden.set_file(-1);
  }
  return pending.file.close();
}

// The host refuses `name` itself when renaming `from` to it fails with
// ENOENT although `from` is there (exfat-fuse answers so for ':' or '?').
int refused_name(int folder, const char* from, int error) {
  struct stat st {};
  if (error == ENOENT && fstatat(folder, from, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    return EINVAL;
  }
  return error;
}

}  // namespace

HiddenEntry claim_hidden(CopyState& state, int folder, Hidden kind) {
  std::array<char, 40> name{};
  std::snprintf(name.data(), name.size(), ".kelvoda-%d-%u.tmp",
                static_cast<int>(state.pid), state.hidden_counter++);
  return register_hidden(folder, name.data(), kind);
}

CopyState start_copies(Console& console) {
  CopyState state;
  state.console = &console;
  state.umask_bits = umask(0);
  umask(state.umask_bits);
  state.pid = getpid();
  return state;
}

int copy_range(CopyState& state, int in, int out, off_t offset, off_t length) {
  off_t in_offset = offset;
  off_t out_offset = offset;
  while (length > 0 && state.kernel_copy) {
    // In chunks, so the status line can follow a large file.
    const ssize_t copied = copy_file_range(
        in, &in_offset, out, &out_offset,
        static_cast<std::size_t>(std::min(length, KERNEL_CHUNK)), 0);
    if (copied == 0) {
      return 0;  // the source ends sooner than it did when it was measured
    }
    if (copied > 0) {
      length -= copied;
      status_bytes(*state.console, static_cast<std::uint64_t>(copied));
      continue;
    }
    if (errno == EINTR) {
      continue;
    }
    if (!kernel_refuses(errno)) {
      return errno;
    }
    state.kernel_copy = false;
  }
  return copy_through_buffer(state, in, out, in_offset, length);
}

int write_copy(CopyState& state, int from, PendingCopy& pending, Sync sync) {
  // Times are compared in whole seconds. A change to the source after it was
  // opened gets at least the second read here from the same coarse clock
  // that file systems stamp with, so the copy is dated a second before it:
  // such a change, even one in the same second, is newer than the copy.
  timespec opened{};
  clock_gettime(CLOCK_REALTIME_COARSE, &opened);
  // Without blocking: a source that has become a named pipe since the scan
  // must not hang the run.
  const UniqueFd in(
      openat(from, pending.name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!in.valid()) {
    return errno;
  }
  struct stat st {};
  if (fstat(in.get(), &st) != 0) {
    return errno;
  }
  if (!S_ISREG(st.st_mode)) {
    return EINVAL;
  }
  pending.size = st.st_size;
  pending.file.reset(open_receiver(state, pending, st.st_mode & 07777));
  if (!pending.file.valid()) {
    return errno;
  }
  int error = fill(state, in.get(), st, pending.file.get());
  if (error == 0) {
    // A host that refuses to set times keeps the time of writing.
    const timespec times[2] = {{0, UTIME_OMIT}, {opened.tv_sec - 1, 0}};
    futimens(pending.file.get(), times);
  }
  if (error == 0 && sync == Sync::NOW && fsync(pending.file.get()) != 0) {
    error = errno;
  }
  if (error != 0) {
    discard_copy(pending);
  }
  return error;
}

int place_copy(PendingCopy& pending) {
  const int to = pending.folder->get();
  const char* name = pending.name.c_str();
  if (pending.target == Target::STAGED) {
    // In place with its folder; only a late write error can still come.
    const int closed = close_file(pending);
    if (closed != 0) {
      discard_copy(pending);
      return closed;
    }
    pending.hidden.reset();
    return 0;
  }
  if (!pending.hidden.valid()) {
    // Linking never replaces: an occupied name gives EEXIST.
    int error = link_unnamed(pending.file.get(), to, name);
    if (const int closed = pending.file.close(); error == 0 && closed != 0) {
      unlinkat(to, name, 0);
      error = closed;
    }
    return error;
  }
  if (const int closed = close_file(pending); closed != 0) {
    discard_copy(pending);
    return closed;
  }
  // A rename would replace whatever the host resolves the name to, which on
  // a case-insensitive host may be another file's copy.
  struct stat occupant {};
  int error = 0;
  if (pending.target == Target::NEW &&
      fstatat(to, name, &occupant, AT_SYMLINK_NOFOLLOW) == 0) {
    error = EEXIST;
  } else if (renameat(to, pending.hidden.name(), to, name) != 0) {
    error = refused_name(to, pending.hidden.name(), errno);
  }
  if (error != 0) {
    discard_copy(pending);
    return error;
  }
  pending.hidden.reset();
  return 0;
}

void discard_copy(PendingCopy& pending) {
  // Closed before the removal: a FUSE driver keeps a file that is still
  // open under a new hidden name.
  if (pending.file.valid()) {
    close_file(pending);
  }
  if (pending.target == Target::STAGED) {
    unlinkat(pending.folder->get(), pending.name.c_str(), 0);
  } else if (pending.hidden.valid()) {
    unlinkat(pending.folder->get(), pending.hidden.name(), 0);
  }
  pending.hidden.reset();
}

int stage_folder(CopyState& state, int parent, const std::string& name,
                 HiddenEntry& hidden) {
  hidden = claim_hidden(state, parent, Hidden::STAGED_FOLDER);
  if (!hidden.valid()) {
    return errno;
  }
  if (renameat(parent, name.c_str(), parent, hidden.name()) != 0) {
    const int error = errno;
    hidden.reset();
    return error;
  }
  return 0;
}

int place_folder(int parent, HiddenEntry& hidden, const std::string& name) {
  // A rename would replace an empty folder that took the name meanwhile.
  struct stat occupant {};
  if (fstatat(parent, name.c_str(), &occupant, AT_SYMLINK_NOFOLLOW) == 0) {
    return EEXIST;
  }
  if (renameat(parent, hidden.name(), parent, name.c_str()) != 0) {
    return refused_name(parent, hidden.name(), errno);
  }
  hidden.reset();
  return 0;
}
