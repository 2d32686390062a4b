#pragma once

// Readers of a model's configuration members. `context` is the JSON path of
// the object being read ("assets.config"); a member's value is read under
// "<context>.<key>". Failures are detail::JsonError, which each plan turns
// into its own error where its loading rules say so:
//   a missing required key      "missing JSON key '<key>' at <context>"
//   an object that is no object "expected JSON object at <context>"
//   a value of the wrong type   "expected JSON <type> at <context>.<key>"
// An optional member that is absent or JSON null takes its default.
// Formats that name only the object in a value's type error
// ("expected JSON integer", no path) pass ValueContext::kNone.

#include <cstdint>
#include <string>
#include <string_view>

#include "bundle/json.hpp"

namespace lorvane::detail {

// "<context>.<key>"
std::string member_context(std::string_view context, std::string_view key);

// How a member's value is named in its type error.
enum class ValueContext {
  kMemberPath,  // "expected JSON integer at <context>.<key>"
  kNone,        // "expected JSON integer"
};

// The member, or null when it is absent or JSON null. `object` must be an
// object ("expected JSON object at <context>" otherwise).
const JsonValue* given_member(const JsonValue& object, std::string_view key, std::string_view context);

std::int64_t required_int(const JsonValue& object, std::string_view key, std::string_view context,
                          ValueContext value = ValueContext::kMemberPath);
bool required_bool(const JsonValue& object, std::string_view key, std::string_view context,
                   ValueContext value = ValueContext::kMemberPath);
double required_number(const JsonValue& object, std::string_view key, std::string_view context,
                       ValueContext value = ValueContext::kMemberPath);
const std::string& required_string(const JsonValue& object, std::string_view key,
                                   std::string_view context,
                                   ValueContext value = ValueContext::kMemberPath);

std::int64_t optional_int(const JsonValue& object, std::string_view key, std::string_view context,
                          std::int64_t fallback);
bool optional_bool(const JsonValue& object, std::string_view key, std::string_view context,
                   bool fallback, ValueContext value = ValueContext::kMemberPath);
double optional_number(const JsonValue& object, std::string_view key, std::string_view context,
                       double fallback);
std::string optional_string(const JsonValue& object, std::string_view key, std::string_view context,
                            std::string fallback);

}  // namespace lorvane::detail
