#include <stdexcept>

#include "lorvane/document.hpp"

namespace lorvane {

namespace {

[[noreturn]] void throw_outside_sequence() { throw std::out_of_range("index is outside the sequence"); }

// Signed values are combined as unsigned 64-bit numbers: the arithmetic wraps
// instead of overflowing, and the conversion back is modular.
std::int64_t wrap(std::uint64_t value) noexcept { return static_cast<std::int64_t>(value); }
std::uint64_t bits(std::int64_t value) noexcept { return static_cast<std::uint64_t>(value); }

}  // namespace

std::uint64_t SequenceRange::position(std::int64_t index) const {
  if (index < 0) {
    const std::uint64_t from_end = 0 - bits(index);
    if (from_end > size) throw_outside_sequence();
    return size - from_end;
  }
  if (bits(index) >= size) throw_outside_sequence();
  return bits(index);
}

SequenceRange SequenceRange::slice(std::int64_t slice_start, std::int64_t slice_step,
                                   std::uint64_t slice_size) const noexcept {
  return SequenceRange{wrap(bits(start) + bits(slice_start) * bits(step)),
                       wrap(bits(step) * bits(slice_step)), slice_size};
}

SequenceRange SequenceRange::reversed() const noexcept {
  if (size == 0) return *this;
  return SequenceRange{wrap(row(size - 1)), wrap(0 - bits(step)), size};
}

WordSequence::WordSequence(std::shared_ptr<DocumentStorage> storage, SequenceRange range)
    : storage_(std::move(storage)), range_(range) {}

WordSequence::WordSequence(std::shared_ptr<DocumentStorage> storage, SequenceRange range,
                           std::shared_ptr<const RowList> rows)
    : storage_(std::move(storage)), range_(range), rows_(std::move(rows)) {}

WordSequence::WordSequence(std::shared_ptr<DocumentStorage> storage, RowList rows)
    : storage_(std::move(storage)),
      range_{0, 1, rows.size()},
      rows_(std::make_shared<const RowList>(std::move(rows))) {}

std::optional<std::uint32_t> WordSequence::row_at(std::uint64_t position) const noexcept {
  const std::uint64_t row = range_.row(position);
  if (!rows_) return static_cast<std::uint32_t>(row);
  if (row >= rows_->size()) return std::nullopt;
  return (*rows_)[row];
}

std::uint32_t WordSequence::resolve(std::int64_t index) const {
  const std::optional<std::uint32_t> row = row_at(range_.position(index));
  if (!row) throw_outside_sequence();
  return *row;
}

Word WordSequence::at(std::int64_t index) const { return Word(storage_, resolve(index), kNoIndex); }

WordSequence WordSequence::slice(std::int64_t start, std::int64_t step, std::uint64_t size) const {
  return WordSequence(storage_, range_.slice(start, step, size), rows_);
}

WordSequence WordSequence::reversed() const { return WordSequence(storage_, range_.reversed(), rows_); }

bool WordSequence::contains(const Word& word) const noexcept {
  if (word.storage() != storage_ || range_.size == 0) return false;
  for (std::uint64_t k = 0; k < range_.size; ++k)
    if (row_at(k) == word.index()) return true;
  return false;
}

}  // namespace lorvane
