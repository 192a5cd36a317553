// The copy engine. New files are written unnamed (O_TMPFILE) and linked in,
// existing ones through a hidden temporary file renamed over them. The
// temporary name is short and pure ASCII, so it is valid on every host and
// never cut inside a character, and the name of the one in use is kept in a
// fixed buffer for the signal handler.
#include "copy.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "folders.hpp"

namespace {

constexpr std::size_t COPY_BUFFER_SIZE = std::size_t{256} * 1024;
constexpr int INTERRUPTS[] = {SIGINT, SIGTERM, SIGHUP};

// The temporary file being written, for the signal handler: the folder's
// descriptor (-1 for none) and the name.
volatile std::sig_atomic_t pending_folder = -1;
std::array<char, 64> pending_name{};

extern "C" void remove_pending_and_die(int signal_number) {
  if (pending_folder >= 0) {
    unlinkat(pending_folder, pending_name.data(), 0);
  }
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

// Names a fresh temporary file in `folder` for the signal handler and
// returns the name.
const char* claim_temp_name(CopyState& state, int folder) {
  pending_folder = -1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  std::snprintf(pending_name.data(), pending_name.size(), ".kelvoda-%d-%u.tmp",
                static_cast<int>(state.pid), state.temp_counter++);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  pending_folder = folder;
  return pending_name.data();
}

void release_temp_name() {
  pending_folder = -1;
}

bool kernel_refuses(int error) {
  return error == EXDEV || error == EINVAL || error == ENOSYS ||
         error == EOPNOTSUPP;
}

int copy_through_buffer(int in, int out, off_t offset, off_t length) {
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

// Opens the file that receives the copy: an unnamed file in `to` for a new
// file where the host has them, otherwise a fresh hidden file, whose name
// is then left in `temp`. Returns the descriptor or -1 with errno set.
int open_receiver(CopyState& state, int to, Target target, mode_t mode,
                  const char*& temp) {
  if (target == Target::NEW && state.unnamed_files) {
    const int fd = openat(to, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (fd >= 0 ||
        (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) {
      return fd;
    }
    state.unnamed_files = false;
  }
  int fd = -1;
  do {
    temp = claim_temp_name(state, to);
    fd = openat(to, temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EEXIST);
  if (fd < 0) {
    release_temp_name();
    temp = nullptr;
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

CopyState start_copies() {
  CopyState state;
  state.umask_bits = umask(0);
  umask(state.umask_bits);
  state.pid = getpid();
  install_interrupt_cleanup();
  return state;
}

int copy_range(CopyState& state, int in, int out, off_t offset, off_t length) {
  off_t in_offset = offset;
  off_t out_offset = offset;
  while (length > 0 && state.kernel_copy) {
    const ssize_t copied = copy_file_range(in, &in_offset, out, &out_offset,
                                           static_cast<std::size_t>(length), 0);
    if (copied == 0) {
      return 0;  // the source ends sooner than it did when it was measured
    }
    if (copied > 0) {
      length -= copied;
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
  return copy_through_buffer(in, out, in_offset, length);
}

int copy_file(CopyState& state, int from, int to, const char* name,
              Target target) {
  // Without blocking: a source that has become a named pipe since the scan
  // must not hang the run.
  const UniqueFd in(openat(from, name, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
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
  const char* temp = nullptr;
  UniqueFd out(open_receiver(state, to, target, st.st_mode & 07777, temp));
  if (!out.valid()) {
    return errno;
  }
  int error = fill(state, in.get(), st, out.get());
  if (error == 0 && temp == nullptr) {
    // Linking never replaces: an occupied name gives EEXIST.
    error = link_unnamed(out.get(), to, name);
    if (error == 0) {
      const int closed = out.close();
      if (closed != 0) {
        unlinkat(to, name, 0);
      }
      return closed;
    }
  }
  // A rename would replace whatever the host resolves the name to, which on
  // a case-insensitive host may be another file's copy.
  struct stat occupant {};
  if (error == 0 && target == Target::NEW &&
      fstatat(to, name, &occupant, AT_SYMLINK_NOFOLLOW) == 0) {
    error = EEXIST;
  }
  if (const int closed = out.close(); error == 0) {
    error = closed;
  }
  if (temp != nullptr) {
    if (error == 0 && renameat(to, temp, to, name) != 0) {
      error = errno;
      // The temporary file is there, so the host refuses the name itself
      // (exfat-fuse answers ENOENT for ':' or '?').
      if (error == ENOENT &&
          fstatat(to, temp, &occupant, AT_SYMLINK_NOFOLLOW) == 0) {
        error = EINVAL;
      }
    }
    if (error != 0) {
      unlinkat(to, temp, 0);
    }
    release_temp_name();
  }
  return error;
}
