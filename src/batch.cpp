// Durable batches: a batch is made durable by one syncfs and one fsync per
// device, on a thread of its own while the next batch is written, and then
// put in place in the order its copies were written. At most two batches
// wait, so each holds half of what the limit on open files allows. Where the
// run has to wait for a sync, it joins the thread in slices and says so
// between them.
#include "batch.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "interrupt.hpp"

namespace {

// Hands a batch over at this many bytes of copies.
constexpr off_t BATCH_BYTES = off_t{128} << 20;
// Descriptors besides the folders held and the waiting copies: a source
// being read, a listing, and one to spare.
constexpr std::size_t RESERVED_FILES = 3;
// A wait for a sync is told about this often, as often as the status line
// may be drawn.
constexpr long WAIT_SLICE_NS = 100'000'000;
constexpr long NS_PER_SECOND = 1'000'000'000;

// Makes the copies of `batch` durable: one syncfs and one fsync per device
// for all of them. syncfs writes what the kernel holds; FUSE drivers
// (exfat-fuse) keep their allocation maps to themselves until a file is
// synced.
void sync_batch(Batch& batch) {
  for (const WaitingCopy& waiting : batch.copies) {
    if (waiting.stage == CopyStage::FAILED ||
        std::any_of(
            batch.synced.begin(), batch.synced.end(),
            [&](const auto& seen) { return seen.first == waiting.device; })) {
      continue;
    }
    const int fd = waiting.copy.file.get();
    batch.synced.emplace_back(waiting.device,
                              syncfs(fd) == 0 && fsync(fd) == 0 ? 0 : errno);
  }
}

extern "C" void* sync_batch_thread(void* batch) {
  sync_batch(*static_cast<Batch*>(batch));
  return nullptr;
}

// Starts `run` with `argument` on a thread of its own and returns whether it
// started. Signals stay with the main thread, whose handler cleans up.
bool start_thread(pthread_t& thread, void* (*run)(void*), void* argument) {
  sigset_t all;
  sigset_t old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  const bool started = pthread_create(&thread, nullptr, run, argument) == 0;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return started;
}

// Calls `hook`, where there is one.
void tell(const std::function<void()>& hook) {
  if (hook) {
    hook();
  }
}

// Joins `thread`, telling `wait` as the wait begins, after each slice of it
// and once it has ended. pthread_timedjoin_np takes a time on the realtime
// clock only; a clock set back meanwhile just delays the next slice.
void await_thread(const DiskWait& wait, pthread_t thread) {
  tell(wait.waiting);
  int joined = ETIMEDOUT;
  while (joined == ETIMEDOUT) {
    timespec until{};
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_nsec += WAIT_SLICE_NS;
    if (until.tv_nsec >= NS_PER_SECOND) {
      ++until.tv_sec;
      until.tv_nsec -= NS_PER_SECOND;
    }
    joined = pthread_timedjoin_np(thread, nullptr, &until);
    if (joined == ETIMEDOUT) {
      tell(wait.waiting);
    }
  }
  if (joined != 0) {
    pthread_join(thread, nullptr);
  }
  tell(wait.waited);
}

// Runs `run` with `argument` on a thread of its own and waits for it,
// telling `wait`; runs it here where no thread can be started.
void run_awaited(const DiskWait& wait, void* (*run)(void*), void* argument) {
  pthread_t thread{};
  if (!start_thread(thread, run, argument)) {
    run(argument);
    return;
  }
  await_thread(wait, thread);
}

// The final sync, handed to its thread.
struct DeviceSync {
  const Batches* batches = nullptr;
  int root = -1;
  int error = 0;
};

// Makes `root` and every other noted device of `batches` durable. Returns 0
// or the error number.
int sync_each_device(const Batches& batches, int root) {
  struct stat st {};
  if (fstat(root, &st) != 0 || syncfs(root) != 0 || fsync(root) != 0) {
    return errno;
  }
  for (const auto& [device, folder] : batches.devices) {
    if (device == st.st_dev) {
      continue;
    }
    // syncfs needs a descriptor that is more than a handle.
    const UniqueFd other(
        openat(folder->get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!other.valid() || syncfs(other.get()) != 0 || fsync(other.get()) != 0) {
      return errno;
    }
  }
  return 0;
}

extern "C" void* sync_devices_thread(void* job) {
  auto* sync = static_cast<DeviceSync*>(job);
  sync->error = sync_each_device(*sync->batches, sync->root);
  return nullptr;
}

int sync_error(const Batch& batch, const WaitingCopy& waiting) {
  for (const auto& [device, error] : batch.synced) {
    if (device == waiting.device) {
      return error;
    }
  }
  return 0;
}

void fail(WaitingCopy& waiting, int error) {
  discard_copy(waiting.copy);
  waiting.stage = CopyStage::FAILED;
  waiting.error = error;
}

// Marks `folder` and the folders it was made in as holding a copy.
void fill(CreatedFolder* folder) {
  for (; folder != nullptr && !folder->filled; folder = folder->above.get()) {
    folder->filled = true;
  }
}

// Whether a copy below `folder` still waits in the batch being filled.
bool awaited(const Batches& batches, const StagedFolder& folder) {
  return std::any_of(batches.filling.copies.begin(),
                     batches.filling.copies.end(), [&](const WaitingCopy& w) {
                       return w.staged.get() == &folder &&
                              w.stage != CopyStage::FAILED;
                     });
}

// `folder` could not be put in place: every copy below it that still waits
// fails with its error and is closed, then the folder goes with all it
// holds. (A FUSE driver keeps a file that is still open under a new hidden
// name instead of removing it.)
void fail_folder(Batches& batches, StagedFolder& folder, int error) {
  folder.stage = FolderStage::FAILED;
  folder.error = error;
  for (Batch* batch : {&batches.syncing, &batches.filling}) {
    for (WaitingCopy& waiting : batch->copies) {
      if (waiting.staged.get() == &folder &&
          waiting.stage != CopyStage::FAILED) {
        fail(waiting, error);
      }
    }
  }
  remove_tree(folder.parent->get(), folder.hidden.name());
  folder.hidden.reset();
}

// Closes the copies of `batch` written under their own names in staged
// folders, which puts them in place with their folders; a copy whose sync
// or closing failed is discarded.
void place_staged_copies(Batch& batch) {
  for (WaitingCopy& waiting : batch.copies) {
    if (waiting.stage == CopyStage::FAILED ||
        waiting.copy.target != Target::STAGED) {
      continue;
    }
    if (const int error = sync_error(batch, waiting); error != 0) {
      fail(waiting, error);
    } else if (const int placed = place_copy(waiting.copy); placed != 0) {
      waiting.stage = CopyStage::FAILED;
      waiting.error = placed;
    } else {
      ++waiting.staged->placed;
      fill(waiting.created.get());
    }
  }
}

// Puts the staged folders closed with `batch` in place; one whose copies
// all failed goes instead, and one that can't be put in place fails.
void place_folders(Batches& batches, const Batch& batch) {
  for (const std::shared_ptr<StagedFolder>& folder : batch.folders) {
    if (folder->placed == 0 && !awaited(batches, *folder)) {
      // Its copies all failed: it goes, and is not put in place empty.
      fail_folder(batches, *folder, ENOENT);
      folder->stage = FolderStage::REMOVED;
      std::erase(batches.staged, folder);
      continue;
    }
    if (const int error =
            place_folder(folder->parent->get(), folder->hidden, folder->name);
        error != 0) {
      // It stays known as failed, for the copies still to come below it.
      fail_folder(batches, *folder, error);
      continue;
    }
    folder->stage = FolderStage::PLACED;
    std::erase(batches.staged, folder);
  }
}

// Puts the copies of the synced `batch` in place, so a power cut never
// leaves a name on a torn or empty file: first the copies written under
// their own names in staged folders, then those folders, then the other
// copies. A copy whose sync or placing fails is discarded. Returns the
// copies in the order they were written.
std::vector<WaitingCopy> place_batch(Batches& batches, Batch& batch) {
  place_staged_copies(batch);
  place_folders(batches, batch);
  for (WaitingCopy& waiting : batch.copies) {
    if (waiting.stage == CopyStage::FAILED) {
      continue;
    }
    if (waiting.copy.target != Target::STAGED) {
      const bool folder_failed = waiting.staged != nullptr &&
                                 waiting.staged->stage == FolderStage::FAILED;
      int error =
          folder_failed ? waiting.staged->error : sync_error(batch, waiting);
      if (error == 0) {
        error = place_copy(waiting.copy);
      }
      if (error != 0) {
        fail(waiting, error);
        continue;
      }
      fill(waiting.created.get());
    }
    waiting.stage = CopyStage::PLACED;
  }
  std::vector<WaitingCopy> done = std::move(batch.copies);
  batch = Batch{};
  return done;
}

// Ends the writing of new files into the open staged folders: they go in
// place with `batch`, once it is on the disk.
void close_staged(Batches& batches, Batch& batch) {
  for (const std::shared_ptr<StagedFolder>& folder : batches.staged) {
    if (folder->stage == FolderStage::OPEN) {
      folder->stage = FolderStage::CLOSED;
      batch.folders.push_back(folder);
    }
  }
}

// Waits for the batch being synced, if any, and puts it in place.
std::vector<WaitingCopy> place_synced(Batches& batches) {
  if (batches.syncer_running) {
    await_thread(batches.wait, batches.syncer);
    batches.syncer_running = false;
  }
  return place_batch(batches, batches.syncing);
}

// Starts making the full batch durable on a thread of its own, so the disk
// writes it back while the next batch is written; the batch before it goes
// in place first. Where no thread can be started, syncs it here.
std::vector<WaitingCopy> hand_over(Batches& batches) {
  std::vector<WaitingCopy> done = place_synced(batches);
  close_staged(batches, batches.filling);
  std::swap(batches.filling, batches.syncing);
  batches.syncer_running =
      start_thread(batches.syncer, sync_batch_thread, &batches.syncing);
  if (!batches.syncer_running) {
    sync_batch(batches.syncing);
  }
  return done;
}

// How many descriptors are open now, those inherited from the parent
// included; the standard streams' three where /proc can't tell.
std::size_t descriptors_open() {
  DIR* listing = opendir("/proc/self/fd");
  if (listing == nullptr) {
    return 3;
  }
  std::size_t count = 0;
  while (const dirent* entry = readdir(listing)) {
    count += entry->d_name[0] == '.' ? 0 : 1;
  }
  closedir(listing);
  return count - 1;  // the listing's own
}

}  // namespace

std::size_t raise_open_files() {
  // Two descriptors a waiting copy at most (its file and its folder), and
  // some to spare for the folders held open and the standard streams.
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  const rlim_t wanted = 2 * MAX_WAITING_COPIES + 64;
  if (files.rlim_cur < wanted && files.rlim_max > files.rlim_cur) {
    files.rlim_cur = std::min(files.rlim_max, wanted);
    setrlimit(RLIMIT_NOFILE, &files);
  }
  return static_cast<std::size_t>(std::min<rlim_t>(files.rlim_cur, wanted));
}

Batches start_batches() {
  const std::size_t open_files = raise_open_files();
  // A low limit shares what there is with the folders held; add_copy then
  // hands batches over early where deep folders need more.
  const std::size_t spare =
      open_files > 128 ? (open_files - 64) / 2 : open_files / 4;
  const std::size_t waiting = std::min<std::size_t>(spare, MAX_WAITING_COPIES);
  const std::size_t open = descriptors_open();
  return Batches{.limit = std::max<std::size_t>(1, waiting / 2),
                 .free_files = open_files > open ? open_files - open : 0};
}

std::vector<WaitingCopy> add_copy(Batches& batches, WaitingCopy copy,
                                  std::size_t held) {
  batches.filling.bytes += copy.copy.size;
  batches.filling.copies.push_back(std::move(copy));
  const std::size_t waiting =
      batches.filling.copies.size() + batches.syncing.copies.size();
  if (batches.filling.copies.size() >= batches.limit ||
      batches.filling.bytes >= BATCH_BYTES ||
      2 * waiting + held + RESERVED_FILES >= batches.free_files) {
    return hand_over(batches);
  }
  return {};
}

std::vector<WaitingCopy> flush_batches(Batches& batches) {
  std::vector<WaitingCopy> done = place_synced(batches);
  close_staged(batches, batches.filling);
  // A flush comes before each deletion, mostly with nothing to sync.
  if (!batches.filling.copies.empty()) {
    run_awaited(batches.wait, sync_batch_thread, &batches.filling);
  }
  std::vector<WaitingCopy> last = place_batch(batches, batches.filling);
  done.insert(done.end(), std::make_move_iterator(last.begin()),
              std::make_move_iterator(last.end()));
  return done;
}

std::shared_ptr<StagedFolder> stage_new_folder(Batches& batches,
                                               CopyState& copies,
                                               const FolderLevel& parent,
                                               const FolderLevel& level) {
  HiddenEntry hidden;
  if (stage_folder(copies, parent.fd->get(), level.name, hidden) != 0) {
    return nullptr;
  }
  batches.staged.push_back(std::make_shared<StagedFolder>(
      StagedFolder{.parent = parent.fd,
                   .name = level.name,
                   .folder = level.fd,
                   .created = level.created,
                   .hidden = std::move(hidden)}));
  return batches.staged.back();
}

dev_t note_device(Batches& batches,
                  const std::shared_ptr<const UniqueFd>& folder,
                  const std::shared_ptr<const UniqueFd>& root) {
  struct stat st {};
  fstat(folder->get(), &st);
  for (const auto& [device, fd] : batches.devices) {
    if (device == st.st_dev) {
      return device;
    }
  }
  // Kept open until the final sync; the root is held anyway.
  struct stat root_st {};
  const bool on_root =
      fstat(root->get(), &root_st) == 0 && root_st.st_dev == st.st_dev;
  batches.devices.emplace_back(st.st_dev, on_root ? root : folder);
  return st.st_dev;
}

int sync_devices(const Batches& batches, int root) {
  DeviceSync job{.batches = &batches, .root = root};
  run_awaited(batches.wait, sync_devices_thread, &job);
  return job.error;
}
