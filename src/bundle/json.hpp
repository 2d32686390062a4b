#pragma once

// Strict JSON parser and immutable value tree for manifests, assets files and
// model indexes. Every failure is a JsonError; callers turn it into the error
// of the component that was loading.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace lorvane::detail {

class JsonError : public std::runtime_error {
 public:
  explicit JsonError(const std::string& message) : std::runtime_error(message) {}
};

// One JSON value. Integers (no fraction or exponent, fitting in int64) and
// doubles are distinct kinds; object members are kept sorted by key bytes.
// Safe to share across threads: immutable once built.
class JsonValue {
 public:
  using Array = std::vector<JsonValue>;
  using Object = std::map<std::string, JsonValue, std::less<>>;

  // Kind indices, in this fixed order.
  enum Kind : std::size_t { kNull = 0, kBool, kInteger, kNumber, kString, kArray, kObject };

  JsonValue() noexcept = default;
  explicit JsonValue(bool value) : value_(value) {}
  explicit JsonValue(std::int64_t value) : value_(value) {}
  explicit JsonValue(double value) : value_(value) {}
  explicit JsonValue(std::string value) : value_(std::move(value)) {}
  // Without this, a string literal would pick the bool constructor.
  explicit JsonValue(const char* value) : value_(std::string(value)) {}
  explicit JsonValue(Array value) : value_(std::move(value)) {}
  explicit JsonValue(Object value) : value_(std::move(value)) {}

  std::size_t kind() const noexcept { return value_.index(); }
  bool is_null() const noexcept { return kind() == kNull; }
  bool is_bool() const noexcept { return kind() == kBool; }
  bool is_integer() const noexcept { return kind() == kInteger; }
  // True for an integer or a double.
  bool is_number() const noexcept { return kind() == kInteger || kind() == kNumber; }
  bool is_string() const noexcept { return kind() == kString; }
  bool is_array() const noexcept { return kind() == kArray; }
  bool is_object() const noexcept { return kind() == kObject; }

  // Typed access. A kind mismatch throws "expected JSON <word>", followed by
  // " at <context>" when the context is not empty.
  bool as_bool(std::string_view context) const;
  std::int64_t as_integer(std::string_view context) const;  // a double, even 3.0, is refused
  double as_number(std::string_view context) const;         // integer or double
  const std::string& as_string(std::string_view context) const;
  const Array& as_array(std::string_view context) const;
  const Object& as_object(std::string_view context) const;

  // The member's value, or null when this is not an object or lacks the key.
  const JsonValue* find(std::string_view key) const noexcept;
  // as_object(context), then the member; a missing key throws
  // "missing JSON key '<key>'" with the same context suffix.
  const JsonValue& at(std::string_view key, std::string_view context) const;

  [[noreturn]] static void throw_type(std::string_view word, std::string_view context);

 private:
  std::variant<std::monostate, bool, std::int64_t, double, std::string, Array, Object> value_;
};

// Arrays and objects may nest this many levels deep; a deeper text fails
// with "JSON nesting is too deep" at the bracket that exceeds the bound.
inline constexpr std::size_t kMaxJsonNestingDepth = 512;

// Parses a whole JSON text; the root may be of any kind. Errors read
// "<reason> at JSON byte <position>".
JsonValue parse_json(std::string_view text);
// JSON files (manifests, assets, indexes) larger than this are refused
// before anything is read: 1 GiB, far above any real assets file.
inline constexpr std::uint64_t kMaxJsonFileBytes = std::uint64_t{1} << 30;

// The file's bytes. Throws "cannot open JSON file: <path>", "cannot read
// JSON file: <path>", or "JSON file is too large: <path>" for a file over
// kMaxJsonFileBytes (checked from its size before reading, and again while
// reading, should it grow).
std::string load_text_file(const std::filesystem::path& path);
JsonValue load_json(const std::filesystem::path& path);

}  // namespace lorvane::detail
