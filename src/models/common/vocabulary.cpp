#include "models/common/vocabulary.hpp"

#include "models/common/config.hpp"

namespace lorvane::detail {

UnitIds read_unit2id(const JsonValue& vocab, std::string_view context, IdContext ids) {
  const std::string object_context = member_context(context, "_unit2id");
  const JsonValue::Object& members = vocab.at("_unit2id", context).as_object(object_context);
  UnitIds vocabulary;
  vocabulary.reserve(members.size());
  for (const auto& [unit, id] : members) {
    const std::int64_t value = ids == IdContext::kPerUnit
                                   ? id.as_integer(member_context(object_context, unit))
                                   : id.as_integer(object_context);
    vocabulary.emplace(unit, value);
  }
  return vocabulary;
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

}  // namespace lorvane::detail
