#include "kernels/parallel.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace pictor::kernels {
namespace {

// Callers inside split_rows and the helpers they started, over the whole process.
std::atomic<int> busy_threads{0};

// A child forked while another thread was inside a split call has none of its
// threads: it starts with no busy thread.
void reset_busy_threads_in_child() { busy_threads.store(0, std::memory_order_relaxed); }

const bool registered_for_fork = pthread_atfork(nullptr, nullptr, reset_busy_threads_in_child) == 0;

// Takes up to `wanted` helper slots while the busy threads stay within `limit`.
int reserve_helpers(int wanted, int limit) {
  int granted = 0;
  int busy = busy_threads.load(std::memory_order_relaxed);
  while (granted < wanted && busy < limit) {
    if (busy_threads.compare_exchange_weak(busy, busy + 1, std::memory_order_relaxed)) {
      ++granted;
      ++busy;
    }
  }
  return granted;
}

// The parts of one call, taken in turn by the caller and its helpers. Helpers
// hold it by shared pointer: one that starts after the call has returned
// finds no part left and never touches the call's body.
class PartQueue {
 public:
  PartQueue(std::ptrdiff_t rows, int parts, const PartBody& body) : rows_(rows), parts_(parts), body_(body) {}

  // Runs parts until none is left to take.
  void run() {
    for (int part = next_.fetch_add(1); part < parts_; part = next_.fetch_add(1)) {
      try {
        body_(part_start(rows_, part, parts_), part_start(rows_, part + 1, parts_), part);
      } catch (...) {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!failure_) failure_ = std::current_exception();
      }
      const std::lock_guard<std::mutex> lock(mutex_);
      if (++finished_ == parts_) all_finished_.notify_all();
    }
  }

  // Waits for the parts other threads are still running; rethrows the first failure.
  void finish() {
    std::unique_lock<std::mutex> lock(mutex_);
    all_finished_.wait(lock, [this] { return finished_ == parts_; });
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  const std::ptrdiff_t rows_;
  const int parts_;
  const PartBody& body_;
  std::atomic<int> next_{0};
  std::mutex mutex_;
  std::condition_variable all_finished_;
  int finished_ = 0;
  std::exception_ptr failure_;
};

}  // namespace

int part_count(std::ptrdiff_t rows, std::ptrdiff_t row_samples, int threads) {
  if (rows <= 1 || threads <= 1) return 1;
  const std::ptrdiff_t by_work = rows * std::max<std::ptrdiff_t>(row_samples, 1) / kSamplesPerThread;
  return static_cast<int>(std::max<std::ptrdiff_t>(1, std::min({by_work, rows, std::ptrdiff_t{threads}})));
}

void split_rows(std::ptrdiff_t rows, std::ptrdiff_t row_samples, int threads, const PartBody& body) {
  const int parts = part_count(rows, row_samples, threads);
  if (parts == 1) {
    if (rows > 0) body(0, rows, 0);
    return;
  }
  (void)registered_for_fork;
  busy_threads.fetch_add(1, std::memory_order_relaxed);
  int granted = reserve_helpers(parts - 1, threads);
  const auto queue = std::make_shared<PartQueue>(rows, parts, body);
  for (; granted > 0; --granted) {
    try {
      std::thread([queue] {
        queue->run();
        busy_threads.fetch_sub(1, std::memory_order_relaxed);
      }).detach();
    } catch (const std::system_error&) {
      break;  // no thread to be had: the parts run on the threads that started
    }
  }
  queue->run();
  busy_threads.fetch_sub(1 + granted, std::memory_order_relaxed);
  queue->finish();
}

namespace {

// Blocks of kSplitAlignment samples are the rows of split_samples; the last one may be short.
std::ptrdiff_t sample_blocks(std::ptrdiff_t size) { return (size + kSplitAlignment - 1) / kSplitAlignment; }

}  // namespace

int sample_part_count(std::ptrdiff_t size, int threads) {
  return part_count(sample_blocks(size), kSplitAlignment, threads);
}

void split_samples(std::ptrdiff_t size, int threads, const PartBody& body) {
  const std::ptrdiff_t blocks = sample_blocks(size);
  split_rows(blocks, kSplitAlignment, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end, int part) {
    body(begin * kSplitAlignment, std::min(end * kSplitAlignment, size), part);
  });
}

}  // namespace pictor::kernels
