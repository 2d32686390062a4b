#include "models/common/config.hpp"

#include <utility>

namespace lorvane::detail {

std::string member_context(std::string_view context, std::string_view key) {
  std::string path;
  path.reserve(context.size() + 1 + key.size());
  path.append(context).append(".").append(key);
  return path;
}

const JsonValue* given_member(const JsonValue& object, std::string_view key, std::string_view context) {
  object.as_object(context);
  const JsonValue* value = object.find(key);
  return value == nullptr || value->is_null() ? nullptr : value;
}

std::int64_t required_int(const JsonValue& object, std::string_view key, std::string_view context) {
  return object.at(key, context).as_integer(member_context(context, key));
}

bool required_bool(const JsonValue& object, std::string_view key, std::string_view context) {
  return object.at(key, context).as_bool(member_context(context, key));
}

double required_number(const JsonValue& object, std::string_view key, std::string_view context) {
  return object.at(key, context).as_number(member_context(context, key));
}

const std::string& required_string(const JsonValue& object, std::string_view key,
                                   std::string_view context) {
  return object.at(key, context).as_string(member_context(context, key));
}

std::int64_t optional_int(const JsonValue& object, std::string_view key, std::string_view context,
                          std::int64_t fallback) {
  const JsonValue* value = given_member(object, key, context);
  return value == nullptr ? fallback : value->as_integer(member_context(context, key));
}

bool optional_bool(const JsonValue& object, std::string_view key, std::string_view context,
                   bool fallback) {
  const JsonValue* value = given_member(object, key, context);
  return value == nullptr ? fallback : value->as_bool(member_context(context, key));
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

}  // namespace lorvane::detail
