// The copy engine. New files are written unnamed (O_TMPFILE) and linked in,
// existing ones through a hidden temporary file renamed over them. The
// temporary name is short and pure ASCII, so it is valid on every host and
// never cut inside a character, and the name of the one in use is kept in a
// fixed buffer for the signal handler.
#include "copy.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t COPY_BUFFER_SIZE = std::size_t{256} * 1024;
constexpr off_t KERNEL_CHUNK = off_t{8} << 20;
constexpr int INTERRUPTS[] = {SIGINT, SIGTERM, SIGHUP};

// The hidden temporary files of copies written but not yet in place, for
// the signal handler: per slot the folder's descriptor (-1 for a free slot)
// and the name. Slots are taken in order and all given back together once a
// batch is in place.
struct TempSlot {
  volatile std::sig_atomic_t folder = -1;
  volatile std::sig_atomic_t staged_folder = 0;  // a folder, not a file
  std::array<char, 40> name{};
};
std::array<TempSlot, MAX_PENDING_COPIES + 8> temp_slots;
volatile std::sig_atomic_t temp_slots_used = 0;

// How deep remove_tree goes; a staged folder's files are copies of the
// local tree, whose depth the open-file limit already bounds.
constexpr int MAX_REMOVE_DEPTH = 1024;

// Removes the folder `name` of `parent` with everything in it, without
// following links, using only calls a signal handler may make. Every entry
// in there was made by this run. Returns whether the folder is gone; a
// device that fails every removal ends the work, it never loops.
bool remove_tree(int parent, const char* name, int depth) {
  const int fd =
      openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    return errno == ENOENT;
  }
  // Removing entries while reading the listing may make it skip some, so
  // read it again from the start until a pass removes nothing.
  for (bool removed = true; removed;) {
    removed = false;
    lseek(fd, 0, SEEK_SET);
    alignas(8) char buffer[2048];
    for (long got = 0;
         (got = syscall(SYS_getdents64, fd, buffer, sizeof buffer)) > 0;) {
      for (long at = 0; at < got;) {
        // The kernel's records have the layout of dirent64.
        const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
        at += entry->d_reclen;
        const char* entry_name = entry->d_name;
        if (std::strcmp(entry_name, ".") == 0 ||
            std::strcmp(entry_name, "..") == 0) {
          continue;
        }
        // unlinkat refuses a folder with EISDIR.
        const bool gone = unlinkat(fd, entry_name, 0) == 0 ||
                          (errno == EISDIR && depth < MAX_REMOVE_DEPTH &&
                           remove_tree(fd, entry_name, depth + 1));
        removed = removed || gone;
      }
    }
  }
  close(fd);
  return unlinkat(parent, name, AT_REMOVEDIR) == 0;
}

extern "C" void remove_pending_and_die(int signal_number) {
  for (std::sig_atomic_t i = 0; i < temp_slots_used; ++i) {
    const TempSlot& slot = temp_slots[static_cast<std::size_t>(i)];
    if (slot.folder >= 0) {
      if (slot.staged_folder != 0) {
        remove_tree(slot.folder, slot.name.data(), 0);
      } else {
        unlinkat(slot.folder, slot.name.data(), 0);
      }
    }
  }
  erase_status_from_signal();
  // The handler was reset to the default on entry; the signal stays blocked
  // until the handler returns and then ends the process as it would have.
  raise(signal_number);
}

void install_interrupt_cleanup() {
  for (const int signal_number : INTERRUPTS) {
    struct sigaction old_action {};
    sigaction(signal_number, nullptr, &old_action);
    if (old_action.sa_handler == SIG_IGN) {
      continue;  // started with the signal ignored (nohup): keep it so
    }
    struct sigaction action {};
    action.sa_handler = remove_pending_and_die;
    action.sa_flags = static_cast<int>(SA_RESETHAND);
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
  }
}

// Names a fresh temporary file or staged folder in `folder` in a free slot,
// known to the signal handler before it exists; returns the slot, or -1
// with errno set when none is free. Each waiting copy holds one slot at
// most, its file's or its staged folder's, and two batches never hold more
// copies than there are slots.
int claim_temp_slot(CopyState& state, int folder, bool staged_folder = false) {
  // Append; only a full table is searched for a slot given back.
  std::sig_atomic_t index = temp_slots_used;
  if (static_cast<std::size_t>(index) == temp_slots.size()) {
    index = 0;
    while (static_cast<std::size_t>(index) < temp_slots.size() &&
           temp_slots[static_cast<std::size_t>(index)].folder >= 0) {
      ++index;
    }
  }
  if (static_cast<std::size_t>(index) == temp_slots.size()) {
    errno = EMFILE;
    return -1;
  }
  TempSlot& slot = temp_slots[static_cast<std::size_t>(index)];
  slot.folder = -1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  slot.staged_folder = staged_folder ? 1 : 0;
  std::snprintf(slot.name.data(), slot.name.size(), ".kelvoda-%d-%u.tmp",
                static_cast<int>(state.pid), state.temp_counter++);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  slot.folder = folder;
  if (index == temp_slots_used) {
    temp_slots_used = index + 1;
  }
  return index;
}

const char* temp_name(int slot) {
  return temp_slots[static_cast<std::size_t>(slot)].name.data();
}

void release_temp_slot(int slot) {
  temp_slots[static_cast<std::size_t>(slot)].folder = -1;
  while (temp_slots_used > 0 &&
         temp_slots[static_cast<std::size_t>(temp_slots_used - 1)].folder < 0) {
    temp_slots_used = temp_slots_used - 1;
  }
}

bool kernel_refuses(int error) {
  return error == EXDEV || error == EINVAL || error == ENOSYS ||
         error == EOPNOTSUPP;
}

int copy_through_buffer(Console& console, int in, int out, off_t offset,
                        off_t length) {
  static std::array<char, COPY_BUFFER_SIZE> buffer;
  while (length > 0) {
    const auto want =
        static_cast<std::size_t>(std::min<off_t>(length, buffer.size()));
    const ssize_t got = pread(in, buffer.data(), want, offset);
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
          pwrite(out, buffer.data() + written,
                 static_cast<std::size_t>(got - written), offset + written);
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
    status_bytes(console, static_cast<std::uint64_t>(got));
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

// Opens the file that receives the copy into `pending`: an unnamed file in
// its folder for a new file where the host has them, otherwise a fresh
// hidden file. Returns the descriptor or -1 with errno set.
int open_receiver(CopyState& state, PendingCopy& pending, mode_t mode) {
  const int to = pending.folder->get();
  if (pending.target == Target::STAGED) {
    return openat(to, pending.name.c_str(),
                  O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  }
  if (pending.target == Target::NEW && state.unnamed_files) {
    const int fd = openat(to, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (fd >= 0 ||
        (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) {
      state.unnamed_known = state.unnamed_known || fd >= 0;
      return fd;
    }
    state.unnamed_files = false;
    state.unnamed_known = true;
  }
  int fd = -1;
  do {
    if (pending.slot >= 0) {
      release_temp_slot(pending.slot);
    }
    pending.slot = claim_temp_slot(state, to);
    if (pending.slot < 0) {
      return -1;
    }
    fd = openat(to, temp_name(pending.slot),
                O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EEXIST);
  if (fd < 0) {
    const int error = errno;
    release_temp_slot(pending.slot);
    pending.slot = -1;
    errno = error;
  }
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

}  // namespace

CopyState start_copies(Console& console) {
  CopyState state;
  state.console = &console;
  state.umask_bits = umask(0);
  umask(state.umask_bits);
  state.pid = getpid();
  install_interrupt_cleanup();
  // Two descriptors a waiting copy at most (its file and its folder), and
  // some to spare for the folders held open and the standard streams.
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  const rlim_t wanted = 2 * MAX_PENDING_COPIES + 64;
  if (files.rlim_cur < wanted && files.rlim_max > files.rlim_cur) {
    files.rlim_cur = std::min(files.rlim_max, wanted);
    setrlimit(RLIMIT_NOFILE, &files);
  }
  const rlim_t spare = files.rlim_cur > 128 ? (files.rlim_cur - 64) / 2 : 32;
  state.batch_limit =
      static_cast<std::size_t>(std::min<rlim_t>(spare, MAX_PENDING_COPIES));
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
  return copy_through_buffer(*state.console, in, out, in_offset, length);
}

int write_copy(CopyState& state, int from, const PendingCopy& where,
               PendingCopy& pending, Sync sync) {
  pending.folder = where.folder;
  pending.name = where.name;
  pending.target = where.target;
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
  UniqueFd out(open_receiver(state, pending, st.st_mode & 07777));
  if (!out.valid()) {
    return errno;
  }
  int error = fill(state, in.get(), st, out.get());
  if (error == 0 && sync == Sync::NOW && fsync(out.get()) != 0) {
    error = errno;
  }
  if (error != 0) {
    out.reset();
    discard_copy(pending);
    return error;
  }
  pending.file = std::move(out);
  return 0;
}

int place_copy(PendingCopy& pending) {
  const int to = pending.folder->get();
  const char* name = pending.name.c_str();
  int error = 0;
  if (pending.target == Target::STAGED) {
    // In place with its folder; only a late write error can still come.
    if (const int closed = pending.file.close(); closed != 0) {
      discard_copy(pending);
      return closed;
    }
    return 0;
  }
  if (pending.slot < 0) {
    // Linking never replaces: an occupied name gives EEXIST.
    error = link_unnamed(pending.file.get(), to, name);
    if (const int closed = pending.file.close(); error == 0 && closed != 0) {
      unlinkat(to, name, 0);
      error = closed;
    }
    return error;
  }
  // Some file systems report a failed write only when the file is closed.
  if (const int closed = pending.file.close(); closed != 0) {
    discard_copy(pending);
    return closed;
  }
  // A rename would replace whatever the host resolves the name to, which on
  // a case-insensitive host may be another file's copy.
  struct stat occupant {};
  if (pending.target == Target::NEW &&
      fstatat(to, name, &occupant, AT_SYMLINK_NOFOLLOW) == 0) {
    error = EEXIST;
  } else if (renameat(to, temp_name(pending.slot), to, name) != 0) {
    error = errno;
    // The temporary file is there, so the host refuses the name itself
    // (exfat-fuse answers ENOENT for ':' or '?').
    if (error == ENOENT && fstatat(to, temp_name(pending.slot), &occupant,
                                   AT_SYMLINK_NOFOLLOW) == 0) {
      error = EINVAL;
    }
  }
  if (error != 0) {
    discard_copy(pending);
    return error;
  }
  release_temp_slot(pending.slot);
  pending.slot = -1;
  return 0;
}

void discard_copy(PendingCopy& pending) {
  if (pending.target == Target::STAGED) {
    unlinkat(pending.folder->get(), pending.name.c_str(), 0);
  }
  if (pending.slot >= 0) {
    unlinkat(pending.folder->get(), temp_name(pending.slot), 0);
    release_temp_slot(pending.slot);
    pending.slot = -1;
  }
  pending.file.reset();
}

int stage_folder(CopyState& state, int parent, const std::string& name,
                 int& slot) {
  slot = claim_temp_slot(state, parent, true);
  if (slot < 0) {
    return errno;
  }
  if (renameat(parent, name.c_str(), parent, temp_name(slot)) != 0) {
    const int error = errno;
    release_temp_slot(slot);
    slot = -1;
    return error;
  }
  return 0;
}

int place_folder(int parent, int slot, const std::string& name) {
  // A rename would replace an empty folder that took the name meanwhile.
  struct stat occupant {};
  int error = 0;
  if (fstatat(parent, name.c_str(), &occupant, AT_SYMLINK_NOFOLLOW) == 0) {
    error = EEXIST;
  } else if (renameat(parent, temp_name(slot), parent, name.c_str()) != 0) {
    error = errno;
    if (error == ENOENT &&
        fstatat(parent, temp_name(slot), &occupant, AT_SYMLINK_NOFOLLOW) == 0) {
      error = EINVAL;
    }
  }
  if (error != 0) {
    remove_tree(parent, temp_name(slot), 0);
  }
  release_temp_slot(slot);
  return error;
}

bool has_unnamed_files(CopyState& state, int folder) {
  if (!state.unnamed_known) {
    const int fd = openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0) {
      close(fd);
      state.unnamed_known = true;
    } else if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) {
      state.unnamed_files = false;
      state.unnamed_known = true;
    }
  }
  return state.unnamed_files;
}
