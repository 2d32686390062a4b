#pragma once

// The one sorted-table look-up over the generated Unicode tables. Each table
// is sorted by its first field, so every query is a binary search.

#include <algorithm>
#include <span>

#include "encoders/unicode/unicode_tables.hpp"

namespace lorvane::detail {

// True when code_point lies inside one of the inclusive ranges.
inline bool in_ranges(std::span<const CodePointRange> ranges, char32_t code_point) noexcept {
  // The first range starting after code_point; its predecessor is the only
  // range that can hold code_point.
  const auto next = std::upper_bound(
      ranges.begin(), ranges.end(), code_point,
      [](char32_t c, const CodePointRange& range) { return c < range.first; });
  return next != ranges.begin() && std::prev(next)->last >= code_point;
}

// The entry whose code_point field equals code_point, or nullptr. Works for
// CaseMapping and SpecialCaseMapping tables alike.
template <class Entry>
const Entry* find_entry(std::span<const Entry> table, char32_t code_point) noexcept {
  const auto it = std::lower_bound(
      table.begin(), table.end(), code_point,
      [](const Entry& entry, char32_t c) { return entry.code_point < c; });
  return it != table.end() && it->code_point == code_point ? &*it : nullptr;
}

}  // namespace lorvane::detail
