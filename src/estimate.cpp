// The time left. Bytes alone make a run of many small files look slow until
// a large one comes, and a rate of the last seconds drops to nothing while
// the run waits for the disk and soars when the next batch goes into the
// page cache. So a file counts as FILE_WORK bytes besides its own, and the
// rate is an average in which the past fades over about a minute: waits
// count in it as they recur, and a run whose rate changes is followed.
#include "estimate.hpp"

#include <algorithm>
#include <cmath>

namespace {

// What a file costs beyond its bytes (making, naming and syncing it), in
// the time its disk takes for this many bytes; about as much on a USB stick
// as on an SSD, since a disk that moves more bytes also makes files faster.
constexpr double FILE_WORK = 100'000;
// The time in which the weight of the past falls to 1/e.
constexpr double FADE_MS = 60'000;
// Once this share of the work is done, the rate moves at most by CHANGE
// from one note to the next.
constexpr double STEADY_SHARE = 0.2;
constexpr double CHANGE = 3;
// A bound that keeps a rate faded to almost nothing a number of seconds.
constexpr double MOST_SECONDS = 1e9;

double work_of(Work work) {
  return static_cast<double>(work.bytes) +
         FILE_WORK * static_cast<double>(work.files);
}

}  // namespace

Estimate start_estimate(std::int64_t now) {
  return Estimate{.time = now};
}

Outlook note_work(Estimate& estimate, std::int64_t now, Work done, Work total) {
  const auto elapsed =
      static_cast<double>(std::max<std::int64_t>(now - estimate.time, 0));
  const double kept = std::exp(-elapsed / FADE_MS);
  estimate.weighted_time = estimate.weighted_time * kept + elapsed;
  estimate.weighted_work =
      estimate.weighted_work * kept + work_of(done) - work_of(estimate.done);
  estimate.weighted_bytes = estimate.weighted_bytes * kept +
                            static_cast<double>(done.bytes) -
                            static_cast<double>(estimate.done.bytes);
  estimate.time = std::max(now, estimate.time);
  estimate.done = done;
  if (estimate.weighted_time <= 0 || estimate.weighted_work <= 0) {
    return {};
  }
  double rate = estimate.weighted_work / estimate.weighted_time;
  if (estimate.rate > 0 && work_of(done) >= STEADY_SHARE * work_of(total)) {
    rate = std::clamp(rate, estimate.rate / CHANGE, estimate.rate * CHANGE);
  }
  estimate.rate = rate;
  const double left = std::max(work_of(total) - work_of(done), 0.0);
  return {.bytes_per_second = static_cast<std::uint64_t>(
              std::llround(std::max(estimate.weighted_bytes, 0.0) * 1000 /
                           estimate.weighted_time)),
          .seconds_left = static_cast<std::uint64_t>(
              std::llround(std::min(left / rate / 1000, MOST_SECONDS)))};
}
