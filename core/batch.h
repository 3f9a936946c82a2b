// Many configurations per call: rows of work spread over threads, each thread
// with a workspace lent by the prepared robot's pool.
#pragma once

#include <cstddef>
#include <functional>

#include "prepared.h"

namespace corvane {
namespace talvex {

// The work of one row, on the calling thread's workspace.
using RowJob = std::function<void(Workspace& workspace, std::size_t row)>;
// Called on the calling thread between its chunks, at most every few tens of
// milliseconds (to look for a pending interrupt); what it throws stops the
// call and is rethrown once every thread has stopped.
using Pause = std::function<void()>;

// Runs job for rows 0..rows-1 on `threads` threads, the calling thread one of
// them (threads = 1: the calling thread alone). Rows are handed out in chunks
// in increasing order. When a row throws, no row after it is started and the
// exception of the lowest row that threw is rethrown (an exception of `pause`
// goes first), so the outcome is the same for every thread count.
void for_each_row(const Prepared& robot, std::size_t rows, int threads, const RowJob& job,
                  const Pause& pause);

}  // namespace talvex
}  // namespace corvane
