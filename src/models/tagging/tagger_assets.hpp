#pragma once

// Readers of the assets that the tagger and the parser share: the word
// vocabulary with its lower-casing flag, the components of a composite XPOS
// vocabulary, the plain XPOS "ignore" list and the keyed feature vocabulary.
// JSON shape errors are detail::JsonError; the plan's own refusals go through
// its RaiseError.

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bundle/json.hpp"
#include "nn/config.hpp"
#include "nn/plan_loading.hpp"
#include "nn/vocabulary.hpp"

namespace lorvane::detail {

// A unit-to-id vocabulary with its optional "lower" flag (absent: false; a
// present null is a type error at "<context>.lower").
struct CasedVocabulary {
  UnitIds ids;
  bool lowercase = false;
};
CasedVocabulary read_cased_vocabulary(const JsonValue& vocab, std::string_view context);

// Whether the XPOS vocabulary is composite: its class under
// "_key2class"."xpos" is "XPOSVocab" (composite) or "WordVocab" (plain);
// any other class is refused with "unsupported XPOS vocabulary class: <class>".
// `class_context` is the context of a mistyped class value.
bool read_xpos_composite(const JsonValue& vocab, std::string_view class_context, RaiseError raise);

// Whether a plain XPOS vocabulary carries a non-empty "ignore" array.
bool read_xpos_ignore(const JsonValue& xpos, std::string_view context);

// Refuses (through `raise`, with `message`) a feature vocabulary that is not
// keyed with the separator "|": "keyed" is checked first.
void check_keyed_features(const JsonValue& feats, std::string_view context, RaiseError raise,
                          const std::string& message);

// The index a composite XPOS component key names: the whole key must convert
// as an unsigned decimal integer (as strtoull reads it).
bool parse_component_index(const std::string& key, std::uint64_t& index);

// The components of a composite XPOS vocabulary, from the object under
// `member` ("_id2unit" or "_unit2id"): each key a decimal component index, the
// value read by `read_component(value, value_context)`. Components come back
// in index order; keys that are not integers, or indices that are not exactly
// 0 .. n-1, are refused with "composite XPOS component keys must be integers"
// or "... must be contiguous".
template <class ReadComponent>
auto read_composite_components(const JsonValue& xpos, std::string_view context,
                               std::string_view member, RaiseError raise, ReadComponent&& read_component)
    -> std::vector<decltype(read_component(xpos, std::string_view()))> {
  using Component = decltype(read_component(xpos, std::string_view()));
  const std::string object_context = member_context(context, member);
  const JsonValue::Object& members = xpos.at(member, context).as_object(object_context);
  std::vector<std::pair<std::uint64_t, Component>> indexed;
  indexed.reserve(members.size());
  for (const auto& [key, value] : members) {
    std::uint64_t index = 0;
    if (!parse_component_index(key, index)) raise("composite XPOS component keys must be integers");
    indexed.emplace_back(index, read_component(value, member_context(object_context, key)));
  }
  std::stable_sort(indexed.begin(), indexed.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<Component> components;
  components.reserve(indexed.size());
  for (std::size_t i = 0; i < indexed.size(); ++i) {
    if (indexed[i].first != i) raise("composite XPOS component keys must be contiguous");
    components.push_back(std::move(indexed[i].second));
  }
  return components;
}

// The recurrent settings the native profile needs of "assets.config": no
// recurrent dropout in the highway layers and, unless character language
// models replace the character LSTM, one character LSTM layer without
// recurrent dropout. A dropout passes only when it compares equal to zero
// (NaN fails).
bool recurrent_profile_holds(const JsonValue& config, bool use_charlm);

// "<head><index><tail>", e.g. "xpos_clf.", 2, ".W_bilin".
std::string indexed_name(std::string_view head, std::size_t index, std::string_view tail);

// The strings of an array under `context`, each element read under "<context>[]".
std::vector<std::string> read_string_array(const JsonValue& array, std::string_view context);

}  // namespace lorvane::detail
