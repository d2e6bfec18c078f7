#include "app/floor_schedule.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "support/joined_threads.h"

namespace korvane_navigation {

unsigned floorsAtOnce(unsigned processors, unsigned threads_per_floor, size_t floors) {
  const unsigned fitting = std::max(1u, processors / std::max(threads_per_floor, 1u));
  return static_cast<unsigned>(std::clamp<size_t>(floors, 1, fitting));
}

namespace {

// The floors not yet started and the memory of those running.
class FloorQueue {
 public:
  FloorQueue(size_t floors, const std::vector<uint64_t>& needs, uint64_t budget_bytes)
      : floors_(floors), needs_(needs), budget_(budget_bytes) {}

  // The next floor, once it fits beside those running; false when none is
  // left to start.
  bool start(size_t& floor) {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait(lock, [&] { return failed_ || next_ == floors_ || fits(needs_[next_]); });
    if (failed_ || next_ == floors_) return false;
    floor = next_++;
    ++running_;
    running_bytes_ += needs_[floor];
    return true;
  }

  void finish(size_t floor, bool made) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      --running_;
      running_bytes_ -= needs_[floor];
      if (!made) failed_ = true;
    }
    ready_.notify_all();
  }

  bool failed() const { return failed_; }

 private:
  bool fits(uint64_t need) const {
    return running_ == 0 || budget_ == 0 || (running_bytes_ <= budget_ && need <= budget_ - running_bytes_);
  }

  const size_t floors_;
  const std::vector<uint64_t>& needs_;
  const uint64_t budget_;
  std::mutex mutex_;
  std::condition_variable ready_;
  size_t next_ = 0;
  size_t running_ = 0;
  uint64_t running_bytes_ = 0;
  bool failed_ = false;
};

}  // namespace

bool makeFloors(size_t floors, unsigned at_once, const std::vector<uint64_t>& needs, uint64_t budget_bytes,
                const std::function<bool(size_t floor)>& make_floor) {
  if (at_once <= 1 || floors <= 1) {
    for (size_t floor = 0; floor < floors; ++floor) {
      if (!make_floor(floor)) return false;
    }
    return true;
  }
  std::vector<uint64_t> known_needs(needs);
  known_needs.resize(floors, 0);
  FloorQueue queue(floors, known_needs, budget_bytes);
  const auto work = [&] {
    size_t floor = 0;
    while (queue.start(floor)) {
      bool made = false;
      try {
        made = make_floor(floor);
      } catch (...) {
        queue.finish(floor, false);
        throw;
      }
      queue.finish(floor, made);
    }
  };
  runParts(static_cast<unsigned>(std::min<size_t>(at_once, floors)), [&work](unsigned) { work(); });
  return !queue.failed();
}

}  // namespace korvane_navigation
