#pragma once

// Readers of the vocabularies in a model's assets, and the look-ups models
// make in them. Failures are detail::JsonError naming the JSON path.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "bundle/json.hpp"

namespace lorvane::detail {

struct TransparentStringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept {
    return std::hash<std::string_view>{}(text);
  }
};

// Unit (UTF-8 bytes) to id, searchable by string_view without a copy.
using UnitIds = std::unordered_map<std::string, std::int64_t, TransparentStringHash, std::equal_to<>>;

// How the ids of a "_unit2id" object are named in type errors.
enum class IdContext {
  kPerUnit,  // "<context>._unit2id.<unit>"
  kShared,   // "<context>._unit2id"
};

// A unit-to-id object under `context`: every value an integer under
// "<context>.<unit>".
UnitIds read_unit_ids(const JsonValue& object, std::string_view context);

// The "_unit2id" member of `vocab`: required under `context`, an object under
// "<context>._unit2id", every value an integer. Ids are taken as stored:
// neither their range nor their uniqueness is checked.
UnitIds read_unit2id(const JsonValue& vocab, std::string_view context,
                     IdContext ids = IdContext::kPerUnit);

// The "_id2unit" member of `vocab`: required under `context`, an array under
// "<context>._id2unit", every element a string under "<context>._id2unit[]".
std::vector<std::string> read_id2unit(const JsonValue& vocab, std::string_view context);

// The unit's id, or `fallback` when the vocabulary lacks it.
inline std::int64_t id_or(const UnitIds& vocabulary, std::string_view unit, std::int64_t fallback) {
  const auto found = vocabulary.find(unit);
  return found == vocabulary.end() ? fallback : found->second;
}

// The unit's id, or nothing.
inline std::optional<std::int64_t> find_id(const UnitIds& vocabulary, std::string_view unit) {
  const auto found = vocabulary.find(unit);
  if (found == vocabulary.end()) return std::nullopt;
  return found->second;
}

// Every id of a vocabulary that indexes an embedding table must name a row.
// The first unit (in byte order) whose id lies outside [0, rows), or null.
const std::string* first_unit_outside(const UnitIds& ids, std::int64_t rows);
// The message for the first unit (in byte order) whose id lies outside
// [0, rows): "vocabulary id <id> is outside the <rows> rows of '<table>' at
// <context>.<unit>", or nothing when all ids fit. One pass over the ids.
std::optional<std::string> ids_outside_rows(const UnitIds& ids, std::int64_t rows, std::string_view table,
                                            std::string_view context);

// The unit of an id, or null when the id lies outside the list (ids come from
// model outputs or bundles and are never trusted as indices).
inline const std::string* unit_at(const std::vector<std::string>& units, std::int64_t id) {
  if (id < 0 || static_cast<std::uint64_t>(id) >= units.size()) return nullptr;
  return &units[static_cast<std::size_t>(id)];
}

}  // namespace lorvane::detail
