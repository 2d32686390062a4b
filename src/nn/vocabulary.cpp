#include "nn/vocabulary.hpp"

#include "nn/config.hpp"

namespace lorvane::detail {

namespace {

UnitIds read_ids(const JsonValue& object, const std::string& context, IdContext ids) {
  const JsonValue::Object& members = object.as_object(context);
  UnitIds vocabulary;
  vocabulary.reserve(members.size());
  for (const auto& [unit, id] : members) {
    const std::int64_t value =
        ids == IdContext::kPerUnit ? id.as_integer(member_context(context, unit)) : id.as_integer(context);
    vocabulary.emplace(unit, value);
  }
  return vocabulary;
}

}  // namespace

UnitIds read_unit_ids(const JsonValue& object, std::string_view context) {
  return read_ids(object, std::string(context), IdContext::kPerUnit);
}

UnitIds read_unit2id(const JsonValue& vocab, std::string_view context, IdContext ids) {
  return read_ids(vocab.at("_unit2id", context), member_context(context, "_unit2id"), ids);
}

std::vector<std::string> read_id2unit(const JsonValue& vocab, std::string_view context) {
  const std::string array_context = member_context(context, "_id2unit");
  const JsonValue::Array& elements = vocab.at("_id2unit", context).as_array(array_context);
  const std::string element_context = array_context + "[]";
  std::vector<std::string> units;
  units.reserve(elements.size());
  for (const JsonValue& element : elements) units.push_back(element.as_string(element_context));
  return units;
}

const std::string* first_unit_outside(const UnitIds& ids, std::int64_t rows) {
  const std::string* first = nullptr;
  for (const auto& [unit, id] : ids) {
    if ((id < 0 || id >= rows) && (first == nullptr || unit < *first)) first = &unit;
  }
  return first;
}

std::optional<std::string> ids_outside_rows(const UnitIds& ids, std::int64_t rows, std::string_view table,
                                            std::string_view context) {
  const std::string* unit = first_unit_outside(ids, rows);
  if (unit == nullptr) return std::nullopt;
  return "vocabulary id " + std::to_string(ids.find(*unit)->second) + " is outside the " + std::to_string(rows) +
         " rows of '" + std::string(table) + "' at " + member_context(context, *unit);
}

}  // namespace lorvane::detail
