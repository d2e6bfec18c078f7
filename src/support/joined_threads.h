// Threads that are always joined, whose exceptions reach the thread that waits
// for them.
#pragma once

#include <deque>
#include <exception>
#include <thread>
#include <vector>

namespace korvane_navigation {

// The processors this process may run on (`taskset` limits them).
unsigned usableProcessors();

// Threads worth reading and thinning on: the usable processors, at most four
// (beyond, each thread's share of the voxels it meets again costs more than
// the thread saves).
unsigned readingThreads();

class JoinedThreads {
 public:
  JoinedThreads() = default;
  JoinedThreads(const JoinedThreads&) = delete;
  JoinedThreads& operator=(const JoinedThreads&) = delete;
  // Waits for every thread; what they threw is dropped (an exception is
  // already on its way, or nobody asked).
  ~JoinedThreads() { join(); }

  template <typename Run>
  void start(Run run) {
    failures_.emplace_back();
    std::exception_ptr* failure = &failures_.back();
    threads_.emplace_back([run, failure]() {
      try {
        run();
      } catch (...) {
        *failure = std::current_exception();
      }
    });
  }

  // Waits for every thread; rethrows the first exception one of them ended with.
  void joinAndRethrow() {
    join();
    for (const std::exception_ptr& failure : failures_) {
      if (failure) std::rethrow_exception(failure);
    }
  }

 private:
  void join() {
    for (std::thread& t : threads_) {
      if (t.joinable()) t.join();
    }
  }

  std::deque<std::exception_ptr> failures_;  // never moves: the threads hold pointers into it
  std::vector<std::thread> threads_;
};

// Runs part(0) .. part(count - 1), on threads of their own when there are
// several; rethrows what the first of them threw.
template <typename Part>
void runParts(unsigned count, const Part& part) {
  if (count <= 1) {
    if (count == 1) part(0u);
    return;
  }
  JoinedThreads threads;
  for (unsigned i = 0; i < count; ++i) threads.start([&part, i] { part(i); });
  threads.joinAndRethrow();
}

}  // namespace korvane_navigation
