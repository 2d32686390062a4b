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
#include "nn/plan_loading.hpp"

namespace lorvane::detail {

// "<context>.<key>", with control characters of the key escaped ("\n",
// "\t", "\u001f") so that a message naming it stays on one line.
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

// --- Sizes --------------------------------------------------------------------
// A size read from a bundle (a width, a layer count, a vocabulary size) sizes
// allocations and is combined with others, so it is range-checked before any
// use, and sums and products of sizes are computed with overflow checks.

// The largest configured size a model may give: far above any real model's,
// and small enough that a product of two sizes times a small factor fits in
// 64 bits.
inline constexpr std::int64_t kMaxConfiguredSize = std::int64_t{1} << 24;

// `value` when min <= value <= max; otherwise raises
// "expected an integer from <min> to <max> at <path>".
std::int64_t size_in_range(std::int64_t value, std::int64_t min, std::int64_t max, std::string_view path,
                           RaiseError raise);

// a + b and a x b of non-negative sizes; a result past int64 raises
// "<what> is too large".
std::int64_t checked_sum(std::int64_t a, std::int64_t b, std::string_view what, RaiseError raise);
std::int64_t checked_product(std::int64_t a, std::int64_t b, std::string_view what, RaiseError raise);

}  // namespace lorvane::detail
