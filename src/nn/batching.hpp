#pragma once

// The length-sorted batching loop shared by every model that batches:
// a stable longest-first order, then consecutive batches cut by a count
// and/or a budget of padded rows, or by a budget of summed lengths.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lorvane::detail {

// Indices of `lengths` ordered longest first; equal lengths keep input order.
std::vector<std::size_t> longest_first(const std::vector<std::int64_t>& lengths);

// Positions [begin, end) into an order.
struct BatchRange {
  std::size_t begin = 0;
  std::size_t end = 0;
};

// Cuts `order` (longest first) into consecutive batches whose lengths sum to
// at most `budget`. A batch takes the next item unconditionally, then the
// items after it while they fit, and ends at the first that does not (later,
// shorter items are not searched); so an item longer than the budget forms a
// batch of its own.
std::vector<BatchRange> cut_by_length_sum(const std::vector<std::size_t>& order,
                                          const std::vector<std::int64_t>& lengths,
                                          std::uint64_t budget);

// Cuts `order` (longest first) into consecutive batches. A batch holds at
// most `max_count` items (0: no limit) and, when `max_padded_rows` > 0, at
// most that many padded rows: its item count times its longest length (the
// length of its first item). An item whose length alone exceeds the budget
// forms a batch of its own.
std::vector<BatchRange> cut_batches(const std::vector<std::size_t>& order,
                                    const std::vector<std::int64_t>& lengths, std::size_t max_count,
                                    std::int64_t max_padded_rows);

}  // namespace lorvane::detail
