// One thread opens each source a little ahead of its copy, asks the kernel
// to read it (posix_fadvise WILLNEED starts the reads and returns at once)
// and closes it again; the copy then finds it in the page cache. It keeps
// a batch's worth ahead, so the cache is not flooded, and it waits for the
// copies on a condition, without spinning. Where the sources are in the
// cache already (a warm run), opening each once more would only cost: after
// a long run of sources found there, it looks at one in a few until one is
// not.
#include "read_ahead.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/uio.h>
#include <unistd.h>

#include <string_view>

#include "rel_path.hpp"

namespace {

// How far the reading goes ahead of the copies: about what one batch
// writes.
constexpr std::uint64_t AHEAD_BYTES = std::uint64_t{64} << 20;
constexpr std::size_t AHEAD_FILES = 1024;
// Fewer copies than this are over before reading ahead would pay.
constexpr std::size_t FEWEST_COPIES = 64;
// After this many sources in a row found in the cache, only one in
// `SAMPLED` is looked at.
constexpr std::size_t CACHED_RUN = 256;
constexpr std::size_t SAMPLED = 64;

bool is_copy(const DiffEntry& entry) {
  return entry.type == NEWER || entry.type == MISSING || entry.type == REPLACED;
}

// Asks the kernel to read the source of `entry` unless its start is in
// the cache already; returns whether it was. A source that cannot be
// opened is left to its copy, which reports it.
bool ask_for(ReadAhead& reading, const DiffEntry& entry) {
  if (open_folders(reading.local, folder_of(entry.rel_path), Create::NO) != 0) {
    return false;
  }
  const UniqueFd file(openat(deepest_fd(reading.local),
                             std::string(last_name(entry.rel_path)).c_str(),
                             O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!file.valid()) {
    return false;
  }
  // A read that must not wait for the disk tells whether it would.
  char first = 0;
  iovec part{.iov_base = &first, .iov_len = 1};
  if (preadv2(file.get(), &part, 1, 0, RWF_NOWAIT) >= 0) {
    return true;
  }
  posix_fadvise(file.get(), 0, 0, POSIX_FADV_WILLNEED);
  return false;
}

extern "C" void* read_ahead_thread(void* argument) {
  auto& reading = *static_cast<ReadAhead*>(argument);
  std::uint64_t asked = 0;  // bytes of the sources asked for so far
  std::size_t files = 0;    // sources asked for beyond those written
  std::uint64_t written = 0;
  std::size_t cached = 0;  // sources in a row found in the cache
  std::size_t index = 0;
  for (const DiffEntry& entry : reading.entries) {
    if (!is_copy(entry) || (cached >= CACHED_RUN && ++index % SAMPLED != 0)) {
      continue;
    }
    {
      std::unique_lock guard(reading.lock);
      reading.moved.wait(guard, [&] {
        if (reading.written != written) {
          files = 0;
          written = reading.written;
        }
        return reading.stop ||
               (asked < written + AHEAD_BYTES && files < AHEAD_FILES);
      });
      if (reading.stop) {
        break;
      }
    }
    cached = ask_for(reading, entry) ? cached + 1 : 0;
    asked += entry.size;
    ++files;
  }
  return nullptr;
}

}  // namespace

ReadingAhead start_read_ahead(const std::vector<DiffEntry>& entries,
                              const std::string& local_root,
                              std::shared_ptr<const UniqueFd> held) {
  std::size_t copies = 0;
  for (const DiffEntry& entry : entries) {
    copies += is_copy(entry) ? 1U : 0U;
  }
  if (copies < FEWEST_COPIES) {
    return nullptr;
  }
  // Built in place: its lock and condition cannot move.
  std::unique_ptr<ReadAhead> reading(
      new ReadAhead{.entries = entries,
                    .local = {.root = local_root, .held = std::move(held)}});
  // Signals stay with the main thread, whose handler cleans up.
  sigset_t all;
  sigset_t old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  const bool started = pthread_create(&reading->thread, nullptr,
                                      read_ahead_thread, reading.get()) == 0;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return ReadingAhead(started ? reading.release() : nullptr);
}

void copies_wrote(ReadAhead& reading, std::uint64_t bytes) {
  {
    const std::lock_guard guard(reading.lock);
    reading.written = bytes;
  }
  reading.moved.notify_one();
}

void StopReadAhead::operator()(ReadAhead* reading) const {
  {
    const std::lock_guard guard(reading->lock);
    reading->stop = true;
  }
  reading->moved.notify_one();
  pthread_join(reading->thread, nullptr);
  delete reading;
}
