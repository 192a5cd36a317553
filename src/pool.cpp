// The threads of a walk, the stack of folders they share, and the order in
// which one thread alone would have stored what they found.
#include "pool.hpp"

#include <malloc.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <limits>
#include <utility>

namespace {

// Called with the lock held, whenever `idle` or `waiting` changes.
void count_hunger(Pool& pool) {
  pool.hungry.store(pool.idle > pool.waiting.size(), std::memory_order_relaxed);
}

// Walks waiting subtrees until none waits and no walk can hand one on.
void take_work(Pool& pool) {
  std::unique_lock lock(pool.mutex);
  while (!pool.done) {
    if (!pool.waiting.empty()) {
      Subtree& next = *pool.waiting.back();
      pool.waiting.pop_back();
      count_hunger(pool);
      lock.unlock();
      (*pool.walk)(next);
      lock.lock();
      continue;
    }
    // Only a walking thread hands subtrees on; with every other thread idle
    // and none waiting, all are walked.
    if (pool.idle + 1 == pool.threads) {
      pool.done = true;
      pool.wake.notify_all();
      break;
    }
    ++pool.idle;
    count_hunger(pool);
    pool.wake.wait(lock);
    --pool.idle;
    count_hunger(pool);
  }
}

extern "C" void* pool_thread(void* argument) {
  take_work(*static_cast<Pool*>(argument));
  return nullptr;
}

// Where a walk of the subtrees stands in walk_order.
struct Place {
  const Subtree* subtree = nullptr;
  std::size_t run = 0;      // the run of its own files it is in
  std::size_t in_run = 0;   // files of that run already given
  std::size_t next = 0;     // the next subtree it handed on
  std::uint64_t given = 0;  // its own files given so far
};

}  // namespace

std::size_t walk_threads() {
  cpu_set_t cores;
  if (sched_getaffinity(0, sizeof cores, &cores) == 0 &&
      CPU_COUNT(&cores) == 1) {
    return 1;
  }
  return WALK_THREADS;
}

Subtree& add_root(Pool& pool, Listing listing, std::size_t tree) {
  Subtree& root = pool.subtrees.emplace_back();
  root.listing = std::move(listing);
  root.tree = tree;
  pool.waiting.push_back(&root);
  return root;
}

bool hand_on(Pool& pool, Subtree& from, std::uint64_t found, Listing& listing,
             std::string_view rel) {
  if (!pool.hungry.load(std::memory_order_relaxed)) {
    return false;
  }
  const std::lock_guard lock(pool.mutex);
  if (pool.idle <= pool.waiting.size()) {
    return false;
  }
  Subtree& next = pool.subtrees.emplace_back();
  next.listing = std::move(listing);
  next.rel = rel;
  next.tree = from.tree;
  next.splice = found;
  from.below.push_back(&next);
  pool.waiting.push_back(&next);
  count_hunger(pool);
  pool.wake.notify_one();
  return true;
}

void run_pool(Pool& pool, std::size_t threads, const WalkSubtree& walk) {
  pool.walk = &walk;
  if (threads > 1) {
    // The threads grow the maps in turns. With a malloc arena each, the
    // blocks a map outgrows would stay with the arena of the thread that
    // freed them, unused by the others: a million-file walk then peaks up to
    // 6 bytes a file higher. The threads allocate little else.
    mallopt(M_ARENA_MAX, 1);
  }
  std::vector<pthread_t> started;
  {
    // The threads wait for the lock until all of them are counted.
    const std::lock_guard lock(pool.mutex);
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    for (std::size_t count = 1; count < threads; ++count) {
      pthread_t thread{};
      if (pthread_create(&thread, nullptr, pool_thread, &pool) != 0) {
        break;
      }
      started.push_back(thread);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    pool.threads = started.size() + 1;
  }
  take_work(pool);
  for (const pthread_t thread : started) {
    pthread_join(thread, nullptr);
  }
}

void walk_order(const Subtree& root, std::vector<std::uint32_t>& order) {
  order.clear();
  // A stack, not recursion: subtrees can nest as deep as the folders.
  std::vector<Place> places = {{.subtree = &root}};
  while (!places.empty()) {
    Place& place = places.back();
    const Subtree& subtree = *place.subtree;
    const std::uint64_t until = place.next < subtree.below.size()
                                    ? subtree.below[place.next]->splice
                                    : std::numeric_limits<std::uint64_t>::max();
    while (place.given < until && place.run < subtree.runs.size()) {
      const FileRun& run = subtree.runs[place.run];
      order.push_back(static_cast<std::uint32_t>(run.first + place.in_run));
      ++place.given;
      if (++place.in_run == run.count) {
        ++place.run;
        place.in_run = 0;
      }
    }
    if (place.next == subtree.below.size()) {
      places.pop_back();
      continue;
    }
    const Subtree* below = subtree.below[place.next++];
    places.push_back({.subtree = below});
  }
}
