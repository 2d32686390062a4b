#pragma once

// Readers of a model's configuration members. `context` is the JSON path of
// the object being read ("assets.config"); a member's value is read under
// "<context>.<key>". Failures are detail::JsonError, which each plan turns
// into its own error where its loading rules say so:
//   a missing required key      "missing JSON key '<key>' at <context>"
//   an object that is no object "expected JSON object at <context>"
//   a value of the wrong type   "expected JSON <type> at <context>.<key>"
// An optional member that is absent or JSON null takes its default.

#include <cstdint>
#include <string>
#include <string_view>

#include "bundle/json.hpp"

namespace lorvane::detail {

// "<context>.<key>"
std::string member_context(std::string_view context, std::string_view key);

// The member, or null when it is absent or JSON null. `object` must be an
// object ("expected JSON object at <context>" otherwise).
const JsonValue* given_member(const JsonValue& object, std::string_view key, std::string_view context);

std::int64_t required_int(const JsonValue& object, std::string_view key, std::string_view context);
bool required_bool(const JsonValue& object, std::string_view key, std::string_view context);
double required_number(const JsonValue& object, std::string_view key, std::string_view context);
const std::string& required_string(const JsonValue& object, std::string_view key,
                                   std::string_view context);

std::int64_t optional_int(const JsonValue& object, std::string_view key, std::string_view context,
                          std::int64_t fallback);
bool optional_bool(const JsonValue& object, std::string_view key, std::string_view context,
                   bool fallback);
double optional_number(const JsonValue& object, std::string_view key, std::string_view context,
                       double fallback);
std::string optional_string(const JsonValue& object, std::string_view key, std::string_view context,
                            std::string fallback);

}  // namespace lorvane::detail
