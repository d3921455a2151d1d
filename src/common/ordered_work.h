// Work done on several threads and used in order: the entries a writer
// compresses are encoded side by side, but reach the archive one after the
// other, in command-line order, so the archive and the log are the same
// whatever the number of threads.
#ifndef KESTO_COMMON_ORDERED_WORK_H
#define KESTO_COMMON_ORDERED_WORK_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "common/platform.h"

namespace kesto {

// The number of threads that work on independent items: one per core this
// process may run on (usable_cores), and 1 when the system tells nothing.
inline unsigned default_thread_count() {
  const unsigned cores = usable_cores();
  return cores == 0 ? 1 : cores;
}

// Runs work(i) for each i in [0, count) on up to threads threads, and
// use(i, result) on the calling thread for i = 0, 1, 2... in that order, as
// soon as result i is ready. At most `ahead` results wait to be used at any
// time, so whatever a result holds (a scratch file, a buffer) is bounded by
// ahead, not by count. The first use() that returns anything but 0 ends
// the run: no new item is started, items already started finish and are
// dropped, and that status is returned. With threads <= 1 no thread is
// made and the items run one after the other.
//
// work must be safe to call from several threads at once on different
// items; Result must be movable.
template <class Result, class Work, class Use>
int run_ordered(std::uint32_t count, unsigned threads, unsigned ahead, Work&& work, Use&& use) {
  if (threads <= 1 || count <= 1) {
    for (std::uint32_t i = 0; i < count; ++i) {
      Result result = work(i);
      const int status = use(i, result);
      if (status != 0) return status;
    }
    return 0;
  }
  if (ahead < threads) ahead = threads;
  struct shared_state {
    std::mutex lock;
    std::condition_variable changed;
    std::uint32_t next = 0;       // the next item to start
    std::uint32_t used = 0;       // items used so far
    bool stopping = false;
    std::deque<std::optional<Result>> ready;  // items used .. next - 1
  } state;

  const auto worker = [&]() {
    std::unique_lock<std::mutex> guard(state.lock);
    for (;;) {
      state.changed.wait(guard, [&] {
        return state.stopping || state.next >= count || state.next - state.used < ahead;
      });
      if (state.stopping || state.next >= count) return;
      const std::uint32_t i = state.next++;
      state.ready.emplace_back();
      guard.unlock();
      Result result = work(i);
      guard.lock();
      state.ready[i - state.used].emplace(std::move(result));
      state.changed.notify_all();
    }
  };
  std::vector<std::thread> pool;
  const unsigned wanted = threads < count ? threads : count;
  pool.reserve(wanted);
  // A system that refuses more threads gets the work done by those it gave.
  try {
    while (pool.size() < wanted) pool.emplace_back(worker);
  } catch (const std::system_error&) {
  }
  if (pool.empty()) return run_ordered<Result>(count, 1, ahead, work, use);

  int status = 0;
  for (std::uint32_t i = 0; i < count && status == 0; ++i) {
    std::unique_lock<std::mutex> guard(state.lock);
    state.changed.wait(guard, [&] { return !state.ready.empty() && state.ready.front(); });
    Result result = std::move(*state.ready.front());
    state.ready.pop_front();
    ++state.used;
    state.changed.notify_all();
    guard.unlock();
    status = use(i, result);
  }
  {
    std::lock_guard<std::mutex> guard(state.lock);
    state.stopping = true;
  }
  state.changed.notify_all();
  for (std::thread& t : pool) t.join();
  return status;
}

}  // namespace kesto

#endif
