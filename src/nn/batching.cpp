#include "nn/batching.hpp"

#include <algorithm>
#include <numeric>

namespace lorvane::detail {

std::vector<std::size_t> longest_first(const std::vector<std::int64_t>& lengths) {
  std::vector<std::size_t> order(lengths.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return lengths[a] > lengths[b]; });
  return order;
}

std::vector<BatchRange> cut_by_length_sum(const std::vector<std::size_t>& order,
                                          const std::vector<std::int64_t>& lengths,
                                          std::uint64_t budget) {
  std::vector<BatchRange> batches;
  std::size_t begin = 0;
  while (begin < order.size()) {
    auto taken = static_cast<std::uint64_t>(lengths[order[begin]]);
    std::size_t end = begin + 1;
    for (; end < order.size(); ++end) {
      const auto next = static_cast<std::uint64_t>(lengths[order[end]]);
      // taken + next <= budget, without overflow.
      if (next > budget || taken > budget - next) break;
      taken += next;
    }
    batches.push_back({begin, end});
    begin = end;
  }
  return batches;
}

std::vector<BatchRange> cut_batches(const std::vector<std::size_t>& order,
                                    const std::vector<std::int64_t>& lengths, std::size_t max_count,
                                    std::int64_t max_padded_rows) {
  std::vector<BatchRange> batches;
  std::size_t begin = 0;
  while (begin < order.size()) {
    const std::int64_t longest = lengths[order[begin]];
    std::size_t end = begin + 1;
    while (end < order.size()) {
      const std::size_t count = end - begin + 1;
      if (max_count > 0 && count > max_count) break;
      // Padded rows of the batch with one more item; compared without
      // overflow as count > budget / longest.
      if (max_padded_rows > 0 && longest > 0 &&
          static_cast<std::int64_t>(count) > max_padded_rows / longest) {
        break;
      }
      ++end;
    }
    batches.push_back({begin, end});
    begin = end;
  }
  return batches;
}

}  // namespace lorvane::detail
