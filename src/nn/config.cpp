#include "nn/config.hpp"

#include <string>
#include <utility>

namespace lorvane::detail {

std::string member_context(std::string_view context, std::string_view key) {
  std::string path;
  path.reserve(context.size() + 1 + key.size());
  path.append(context).append(".");
  // Keys are vocabulary units too ("\n" is a character model's start symbol):
  // control characters are escaped so that a message stays on one line.
  static constexpr char kHex[] = "0123456789abcdef";
  for (const char c : key) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\n') {
      path += "\\n";
    } else if (c == '\t') {
      path += "\\t";
    } else if (byte < 0x20 || byte == 0x7f) {
      path.append("\\u00").push_back(kHex[byte >> 4]);
      path.push_back(kHex[byte & 0xf]);
    } else {
      path.push_back(c);
    }
  }
  return path;
}

namespace {

std::string value_context(std::string_view context, std::string_view key, ValueContext value) {
  return value == ValueContext::kNone ? std::string() : member_context(context, key);
}

}  // namespace

const JsonValue* given_member(const JsonValue& object, std::string_view key, std::string_view context) {
  object.as_object(context);
  const JsonValue* value = object.find(key);
  return value == nullptr || value->is_null() ? nullptr : value;
}

std::int64_t required_int(const JsonValue& object, std::string_view key, std::string_view context,
                          ValueContext value) {
  return object.at(key, context).as_integer(value_context(context, key, value));
}

bool required_bool(const JsonValue& object, std::string_view key, std::string_view context,
                   ValueContext value) {
  return object.at(key, context).as_bool(value_context(context, key, value));
}

double required_number(const JsonValue& object, std::string_view key, std::string_view context,
                       ValueContext value) {
  return object.at(key, context).as_number(value_context(context, key, value));
}

const std::string& required_string(const JsonValue& object, std::string_view key,
                                   std::string_view context, ValueContext value) {
  return object.at(key, context).as_string(value_context(context, key, value));
}

std::int64_t optional_int(const JsonValue& object, std::string_view key, std::string_view context,
                          std::int64_t fallback) {
  const JsonValue* value = given_member(object, key, context);
  return value == nullptr ? fallback : value->as_integer(member_context(context, key));
}

bool optional_bool(const JsonValue& object, std::string_view key, std::string_view context,
                   bool fallback, ValueContext value_name) {
  const JsonValue* value = given_member(object, key, context);
  return value == nullptr ? fallback : value->as_bool(value_context(context, key, value_name));
}

double optional_number(const JsonValue& object, std::string_view key, std::string_view context,
                       double fallback) {
  const JsonValue* value = given_member(object, key, context);
  return value == nullptr ? fallback : value->as_number(member_context(context, key));
}

std::string optional_string(const JsonValue& object, std::string_view key, std::string_view context,
                            std::string fallback) {
  const JsonValue* value = given_member(object, key, context);
  return value == nullptr ? std::move(fallback) : value->as_string(member_context(context, key));
}

std::int64_t size_in_range(std::int64_t value, std::int64_t min, std::int64_t max, std::string_view path,
                           RaiseError raise) {
  if (value < min || value > max) {
    raise("expected an integer from " + std::to_string(min) + " to " + std::to_string(max) + " at " +
          std::string(path));
  }
  return value;
}

std::int64_t checked_sum(std::int64_t a, std::int64_t b, std::string_view what, RaiseError raise) {
  std::int64_t result = 0;
  if (__builtin_add_overflow(a, b, &result)) raise(std::string(what) + " is too large");
  return result;
}

std::int64_t checked_product(std::int64_t a, std::int64_t b, std::string_view what, RaiseError raise) {
  std::int64_t result = 0;
  if (__builtin_mul_overflow(a, b, &result)) raise(std::string(what) + " is too large");
  return result;
}

}  // namespace lorvane::detail
