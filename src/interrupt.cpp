// The table of hidden entries and the handler that removes them. Both live
// in process-wide storage because a signal handler must reach them; the
// handler uses only async-signal-safe calls and reads the table through
// volatile sig_atomic_t fields, each slot marked used only once it is
// filled in.
#include "interrupt.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "terminal.hpp"

namespace {

constexpr std::array<int, 5> INTERRUPTS = {SIGINT, SIGTERM, SIGHUP, SIGQUIT,
                                           SIGPIPE};

struct Slot {
  volatile std::sig_atomic_t used = 0;
  volatile std::sig_atomic_t folder = -1;
  volatile std::sig_atomic_t file = -1;
  volatile std::sig_atomic_t kind = 0;  // a Hidden
  std::array<char, 40> name{};
};

std::array<Slot, MAX_HIDDEN> slots;
// One past the last slot in use; slots are appended, and only a full table
// is searched for one given back.
volatile std::sig_atomic_t slots_end = 0;

// How deep remove_tree goes: a staged folder holds copies of the local
// tree, whose depth the limit on open files already bounds.
constexpr int MAX_REMOVE_DEPTH = 1024;
// Passes in a row that leave a folder no smaller before the removal gives
// up. A FUSE driver may still hold a file just closed and keep it under a
// hidden name for a moment, so one such pass is not yet the end.
constexpr int MAX_STALLED_PASSES = 3;

Slot& slot_at(std::sig_atomic_t index) {
  return slots[static_cast<std::size_t>(index)];
}

// One pass over the open folder `fd`: tries to remove every entry. Returns
// how many entries it saw, or -1 when the folder cannot be read.
long remove_entries(int fd, int depth);

bool remove_tree_at(int parent, const char* name, int depth) {
  const int fd =
      openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    return errno == ENOENT;
  }
  long before = -1;
  for (int stalled = 0; stalled < MAX_STALLED_PASSES;) {
    const long seen = remove_entries(fd, depth);
    if (seen <= 0) {
      break;
    }
    if (before >= 0 && seen >= before) {
      ++stalled;
      const timespec moment{0, 10'000'000};
      nanosleep(&moment, nullptr);
    } else {
      stalled = 0;
    }
    before = seen;
  }
  close(fd);
  return unlinkat(parent, name, AT_REMOVEDIR) == 0;
}

long remove_entries(int fd, int depth) {
  // Removing entries while reading the listing may make it skip some, so
  // each pass reads it from the start.
  lseek(fd, 0, SEEK_SET);
  long seen = 0;
  alignas(8) char buffer[2048];
  for (long got = 0;
       (got = syscall(SYS_getdents64, fd, buffer, sizeof buffer)) != 0;) {
    if (got < 0) {
      return -1;
    }
    for (long at = 0; at < got;) {
      // The kernel's records have the layout of dirent64.
      const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
      at += entry->d_reclen;
      const char* name = entry->d_name;
      if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
        continue;
      }
      ++seen;
      // unlinkat refuses a folder with EISDIR.
      if (unlinkat(fd, name, 0) != 0 && errno == EISDIR &&
          depth < MAX_REMOVE_DEPTH) {
        remove_tree_at(fd, name, depth + 1);
      }
    }
  }
  return seen;
}

// Closes the registered descriptors, then removes the registered entries.
void remove_registered() {
  // Closed first: a FUSE driver does not remove a file that is still open.
  for (std::sig_atomic_t i = 0; i < slots_end; ++i) {
    if (slot_at(i).used != 0 && slot_at(i).file >= 0) {
      close(slot_at(i).file);
    }
  }
  for (std::sig_atomic_t i = 0; i < slots_end; ++i) {
    const Slot& slot = slot_at(i);
    if (slot.used == 0 || slot.folder < 0 || slot.name[0] == '\0') {
      continue;
    }
    if (slot.kind == static_cast<int>(Hidden::STAGED_FOLDER)) {
      remove_tree_at(slot.folder, slot.name.data(), 0);
    } else {
      unlinkat(slot.folder, slot.name.data(), 0);
    }
  }
}

extern "C" void clean_up_and_die(int signal_number) {
  const int saved_errno = errno;
  // From here on a signal ends the process at once.
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigset_t ours;
  sigemptyset(&ours);
  for (const int signal : INTERRUPTS) {
    sigaction(signal, &default_action, nullptr);
    sigaddset(&ours, signal);
  }
  pthread_sigmask(SIG_UNBLOCK, &ours, nullptr);
  remove_registered();
  erase_status_from_signal();
  errno = saved_errno;
  raise(signal_number);
}

// At exit (a failed scan ends the process from within), whatever is still
// registered goes too.
extern "C" void clean_up_at_exit() {
  remove_registered();
}

// A free slot, or -1 with errno EMFILE.
int take_slot() {
  std::sig_atomic_t index = slots_end;
  if (static_cast<std::size_t>(index) == slots.size()) {
    index = 0;
    while (static_cast<std::size_t>(index) < slots.size() &&
           slot_at(index).used != 0) {
      ++index;
    }
    if (static_cast<std::size_t>(index) == slots.size()) {
      errno = EMFILE;
      return -1;
    }
  }
  return index;
}

// Marks `index` used once its fields are written, so the handler never
// reads a half-written slot.
void publish(std::sig_atomic_t index) {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  slot_at(index).used = 1;
  if (index == slots_end) {
    slots_end = index + 1;
  }
}

}  // namespace

void install_interrupt_cleanup() {
  static const bool at_exit = std::atexit(clean_up_at_exit) == 0;
  static_cast<void>(at_exit);
  for (const int signal : INTERRUPTS) {
    struct sigaction old_action {};
    sigaction(signal, nullptr, &old_action);
    if (old_action.sa_handler == SIG_IGN) {
      continue;  // started with the signal ignored (nohup): keep it so
    }
    struct sigaction action {};
    action.sa_handler = clean_up_and_die;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
  }
}

HiddenEntry register_hidden(int folder, const char* name, Hidden kind) {
  const int index = take_slot();
  if (index < 0) {
    return {};
  }
  Slot& slot = slot_at(index);
  slot.folder = folder;
  slot.file = -1;
  slot.kind = static_cast<int>(kind);
  const std::size_t length = strnlen(name, slot.name.size() - 1);
  std::memcpy(slot.name.data(), name, length);
  slot.name[length] = '\0';
  publish(index);
  return HiddenEntry(index);
}

const char* HiddenEntry::name() const {
  return slot_at(index).name.data();
}

void HiddenEntry::set_file(int file) const {
  slot_at(index).file = file;
}

void HiddenEntry::reset() {
  if (index < 0) {
    return;
  }
  slot_at(std::exchange(index, -1)).used = 0;
  while (slots_end > 0 && slot_at(slots_end - 1).used == 0) {
    slots_end = slots_end - 1;
  }
}

bool remove_tree(int parent, const char* name) {
  return remove_tree_at(parent, name, 0);
}
