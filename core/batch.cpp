// The thread engine of the batch calls.
#include "batch.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

namespace corvane {
namespace talvex {
namespace {

// Chunks small enough to even out rows of unequal cost, large enough that
// handing them out costs nothing next to the rows.
constexpr std::size_t kMaxChunk = 256;
constexpr std::size_t kChunksPerThread = 16;
// How often the calling thread pauses (an interrupt is seen well within a second).
constexpr auto kPauseEvery = std::chrono::milliseconds(50);

}  // namespace

void for_each_row(const Prepared& robot, std::size_t rows, int threads, const RowJob& job,
                  const Pause& pause) {
  if (rows == 0) return;
  const std::size_t wanted = static_cast<std::size_t>(std::max(threads, 1));
  const std::size_t chunk =
      std::clamp<std::size_t>(rows / (wanted * kChunksPerThread), 1, kMaxChunk);
  const std::size_t chunks = (rows + chunk - 1) / chunk;
  const std::size_t workers = std::min(wanted, chunks);

  constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
  std::atomic<std::size_t> next_chunk{0};
  std::atomic<std::size_t> first_failed{kNone};  // lowest row that threw
  std::atomic<bool> stopped{false};              // pause threw
  std::mutex failure_mutex;
  std::exception_ptr row_failure, pause_failure;

  const auto fail_row = [&](std::size_t row) {
    std::lock_guard<std::mutex> lock(failure_mutex);
    if (row < first_failed.load()) {
      first_failed.store(row);
      row_failure = std::current_exception();
    }
  };

  const auto stop_with = [&](std::exception_ptr failure) {
    std::lock_guard<std::mutex> lock(failure_mutex);
    if (!pause_failure) pause_failure = failure;
    stopped.store(true);
  };

  const auto work = [&](bool calling_thread) {
    WorkspacePool::Lent workspace(nullptr, WorkspacePool::Giver{nullptr});
    try {
      workspace = robot.pool().lend();
    } catch (...) {
      stop_with(std::current_exception());  // no memory for a workspace
      return;
    }
    auto last_pause = std::chrono::steady_clock::now();
    while (!stopped.load(std::memory_order_relaxed)) {
      const std::size_t c = next_chunk.fetch_add(1, std::memory_order_relaxed);
      if (c >= chunks) break;
      const std::size_t begin = c * chunk;
      if (begin >= first_failed.load()) break;
      const std::size_t end = std::min(rows, begin + chunk);
      for (std::size_t row = begin; row < end; ++row) {
        try {
          job(*workspace, row);
        } catch (...) {
          fail_row(row);
          break;
        }
      }
      if (calling_thread && std::chrono::steady_clock::now() - last_pause >= kPauseEvery) {
        try {
          pause();
        } catch (...) {
          stop_with(std::current_exception());
          break;
        }
        last_pause = std::chrono::steady_clock::now();
      }
    }
  };

  std::vector<std::thread> helpers;
  helpers.reserve(workers - 1);
  try {
    for (std::size_t t = 1; t < workers; ++t) helpers.emplace_back(work, false);
  } catch (...) {
    // No thread to be had: the ones started and this one do the work.
  }
  work(true);
  for (std::thread& helper : helpers) helper.join();
  if (pause_failure) std::rethrow_exception(pause_failure);
  if (row_failure) std::rethrow_exception(row_failure);
}

}  // namespace talvex
}  // namespace corvane
