#pragma once

// Cell encodings shared by the code that fills and trims the document store.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "lorvane/document.hpp"

namespace lorvane::detail {

std::uint32_t offset_cell(const std::optional<std::uint32_t>& offset) noexcept;
std::int32_t int_cell(const std::optional<std::int32_t>& value) noexcept;
std::int8_t flag_cell(const std::optional<bool>& value) noexcept;

// Whether both offset cells are present and [start, end) lies in a text of
// `codepoints` code points.
bool offsets_inside(std::uint32_t start, std::uint32_t end, std::uint64_t codepoints) noexcept;

// Drops the word rows from `rows` on, in every word column.
void truncate_word_rows(WordColumns& words, std::size_t rows);

}  // namespace lorvane::detail
