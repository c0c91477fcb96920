// Work on the items 0..count-1 of an evaluation spread over threads.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

namespace precision {

/// Runs work(k) for k in [0, count) on up to `threads` threads, each taking
/// the next index when done with one; on the calling thread alone when one
/// is enough. `work` must not depend on which thread runs it.
template <class Work>
void forEachIndex(std::size_t count, unsigned threads, const Work& work) {
  const std::size_t workers = std::min<std::size_t>(std::max(1u, threads), count);
  if (workers <= 1) {
    for (std::size_t k = 0; k < count; ++k) work(k);
    return;
  }
  std::atomic<std::size_t> next{0};
  std::vector<std::jthread> pool;
  pool.reserve(workers);
  for (std::size_t w = 0; w < workers; ++w) {
    pool.emplace_back([&] {
      for (std::size_t k = next++; k < count; k = next++) work(k);
    });
  }
}

}  // namespace precision
