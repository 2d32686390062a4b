#pragma once

// Row counts of a document are uint32 and kNoIndex marks a missing row, so the
// tables must stay below it. The limit can be lowered by tests, which cannot
// allocate billions of rows to reach the real one.

#include <cstdint>

namespace lorvane::detail {

inline constexpr std::uint64_t kDefaultDocumentRowLimit = 0xFFFFFFFFu;

std::uint64_t document_row_limit() noexcept;
// For tests only; not synchronised with documents being built.
void set_document_row_limit(std::uint64_t limit) noexcept;

// Throws std::length_error "a document cannot hold <limit> or more <what>"
// when one more row would bring the table to the limit.
void ensure_row_room(std::uint64_t rows, const char* what);

}  // namespace lorvane::detail
