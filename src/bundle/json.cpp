#include "bundle/json.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <fstream>
#include <ios>
#include <iterator>
#include <limits>
#include <system_error>
#include <type_traits>

#include "document/utf8_decode.hpp"

namespace lorvane::detail {

// ---------------------------------------------------------------------------
// Typed access

namespace {

std::string context_suffix(std::string_view context) {
  if (context.empty()) return {};
  std::string suffix = " at ";
  suffix.append(context);
  return suffix;
}

}  // namespace

void JsonValue::throw_type(std::string_view word, std::string_view context) {
  std::string message = "expected JSON ";
  message.append(word);
  throw JsonError(message + context_suffix(context));
}

bool JsonValue::as_bool(std::string_view context) const {
  if (const auto* value = std::get_if<bool>(&value_)) return *value;
  throw_type("boolean", context);
}

std::int64_t JsonValue::as_integer(std::string_view context) const {
  if (const auto* value = std::get_if<std::int64_t>(&value_)) return *value;
  throw_type("integer", context);
}

double JsonValue::as_number(std::string_view context) const {
  if (const auto* value = std::get_if<double>(&value_)) return *value;
  if (const auto* value = std::get_if<std::int64_t>(&value_)) return static_cast<double>(*value);
  throw_type("number", context);
}

const std::string& JsonValue::as_string(std::string_view context) const {
  if (const auto* value = std::get_if<std::string>(&value_)) return *value;
  throw_type("string", context);
}

const JsonValue::Array& JsonValue::as_array(std::string_view context) const {
  if (const auto* value = std::get_if<Array>(&value_)) return *value;
  throw_type("array", context);
}

const JsonValue::Object& JsonValue::as_object(std::string_view context) const {
  if (const auto* value = std::get_if<Object>(&value_)) return *value;
  throw_type("object", context);
}

const JsonValue* JsonValue::find(std::string_view key) const noexcept {
  const auto* object = std::get_if<Object>(&value_);
  if (object == nullptr) return nullptr;
  const auto it = object->find(key);
  return it == object->end() ? nullptr : &it->second;
}

const JsonValue& JsonValue::at(std::string_view key, std::string_view context) const {
  const Object& object = as_object(context);
  const auto it = object.find(key);
  if (it != object.end()) return it->second;
  std::string message = "missing JSON key '";
  message.append(key);
  message += '\'';
  throw JsonError(message + context_suffix(context));
}

// ---------------------------------------------------------------------------
// Parser

namespace {

bool is_whitespace(unsigned char byte) {
  return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r';
}

bool is_digit(unsigned char byte) { return byte >= '0' && byte <= '9'; }

int hex_digit_value(unsigned char byte) {
  if (byte >= '0' && byte <= '9') return byte - '0';
  if (byte >= 'a' && byte <= 'f') return byte - 'a' + 10;
  if (byte >= 'A' && byte <= 'F') return byte - 'A' + 10;
  return -1;
}

bool is_high_surrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Bytes that a string copies verbatim: everything but the closing quote, the
// escape introducer and the control characters.
constexpr std::array<bool, 256> make_plain_string_bytes() {
  std::array<bool, 256> plain{};
  for (int byte = 0x20; byte < 256; ++byte) plain[byte] = byte != '"' && byte != '\\';
  return plain;
}
constexpr std::array<bool, 256> kPlainStringByte = make_plain_string_bytes();

// Where the digits of a number token are, as found by the grammar check.
struct NumberToken {
  std::size_t begin = 0;  // the minus sign or the first digit
  std::size_t end = 0;    // one past the last byte of the token
  std::size_t integer_begin = 0;
  std::size_t integer_end = 0;
  bool negative = false;
  bool has_fraction = false;
  bool has_exponent = false;
};

// Converts the integer part of a token without fraction or exponent. False
// when it does not fit in a signed 64-bit integer.
bool integer_from_digits(const char* digits, std::size_t count, bool negative,
                         std::int64_t& result) {
  const std::uint64_t limit =
      static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + (negative ? 1 : 0);
  std::uint64_t magnitude = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const auto digit = static_cast<std::uint64_t>(digits[i] - '0');
    if (magnitude > (limit - digit) / 10) return false;
    magnitude = magnitude * 10 + digit;
  }
  // Two's complement negation of the magnitude also covers -2^63.
  result = negative ? static_cast<std::int64_t>(~magnitude + 1)
                    : static_cast<std::int64_t>(magnitude);
  return true;
}

// For a syntactically valid token that is out of the double range: true when
// its magnitude is below one (an underflow), false when it is above the
// largest double. Out-of-range magnitudes are far from one on either side, so
// the decimal power of the first significant digit plus the exponent decides.
bool out_of_range_token_is_tiny(std::string_view token) {
  std::int64_t integer_digits = 0;
  std::int64_t first_significant = -1;  // index among all mantissa digits
  std::int64_t mantissa_digits = 0;
  std::size_t i = token.front() == '-' ? 1 : 0;
  bool in_fraction = false;
  for (; i < token.size() && token[i] != 'e' && token[i] != 'E'; ++i) {
    if (token[i] == '.') {
      in_fraction = true;
      continue;
    }
    if (token[i] != '0' && first_significant < 0) first_significant = mantissa_digits;
    ++mantissa_digits;
    if (!in_fraction) ++integer_digits;
  }
  if (first_significant < 0) return true;
  constexpr std::int64_t kSaturated = std::int64_t{1} << 40;
  std::int64_t exponent = 0;
  bool exponent_negative = false;
  if (i < token.size()) {
    ++i;
    if (token[i] == '+' || token[i] == '-') exponent_negative = token[i++] == '-';
    for (; i < token.size() && exponent < kSaturated; ++i) exponent = exponent * 10 + (token[i] - '0');
  }
  const std::int64_t power = integer_digits - 1 - first_significant;
  return power + (exponent_negative ? -exponent : exponent) < 0;
}

// One object member between parsing and insertion into the sorted map.
struct PendingMember {
  std::string key;
  JsonValue value;
  std::size_t value_end;  // byte just after the value, for "duplicate object key"
};

// Sort entry of a member: the first eight key bytes as a big-endian number
// (zero-padded), so most comparisons are a single integer comparison.
struct MemberOrder {
  std::uint64_t prefix;
  std::size_t index;
};

std::uint64_t key_prefix(const std::string& key) {
  std::uint64_t prefix = 0;
  for (std::size_t i = 0; i < 8; ++i)
    prefix = (prefix << 8) | (i < key.size() ? static_cast<unsigned char>(key[i]) : 0u);
  return prefix;
}

// Orders members by key bytes, equal keys in document order.
void sort_members(const PendingMember* members, std::size_t count, std::vector<MemberOrder>& order) {
  order.resize(count);
  for (std::size_t i = 0; i < count; ++i) order[i] = MemberOrder{key_prefix(members[i].key), i};
  std::sort(order.begin(), order.end(), [members](const MemberOrder& a, const MemberOrder& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    const int cmp = members[a.index].key.compare(members[b.index].key);
    return cmp != 0 ? cmp < 0 : a.index < b.index;
  });
}

constexpr std::size_t kNoDuplicate = static_cast<std::size_t>(-1);

// The position at which a sequential parse would first meet a repeated key:
// the smallest value end among members whose key an earlier member has.
std::size_t earliest_duplicate(const PendingMember* members, const std::vector<MemberOrder>& order) {
  std::size_t earliest = kNoDuplicate;
  for (std::size_t i = 1; i < order.size(); ++i) {
    const PendingMember& previous = members[order[i - 1].index];
    const PendingMember& current = members[order[i].index];
    if (order[i - 1].prefix == order[i].prefix && previous.key == current.key)
      earliest = std::min(earliest, current.value_end);
  }
  return earliest;
}

static_assert(std::is_nothrow_move_constructible_v<JsonValue>,
              "growing a vector of values must move, not copy, subtrees");

// Drops an object's pending members however its parse ends, so that an
// enclosing object never sees members of a nested one.
// Not thread-safe: lives on one parse's stack.
class PendingScope {
 public:
  PendingScope(std::vector<PendingMember>& pending, std::size_t first)
      : pending_(pending), first_(first) {}
  ~PendingScope() {
    pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(first_), pending_.end());
  }
  PendingScope(const PendingScope&) = delete;
  PendingScope& operator=(const PendingScope&) = delete;

 private:
  std::vector<PendingMember>& pending_;
  std::size_t first_;
};

// Not thread-safe: one parser serves one parse_json call.
class Parser {
 public:
  explicit Parser(std::string_view text) : size_(text.size()), data_(text.data()) {}

  JsonValue parse_document() {
    skip_whitespace();
    JsonValue root = parse_value();
    skip_whitespace();
    if (!at_end()) fail("unexpected trailing data");
    return root;
  }

 private:
  [[noreturn]] void fail(std::string_view reason) const { fail_at(reason, pos_); }

  [[noreturn]] static void fail_at(std::string_view reason, std::size_t position) {
    std::string message(reason);
    message += " at JSON byte ";
    message += std::to_string(static_cast<std::uint64_t>(position));
    throw JsonError(message);
  }

  bool at_end() const { return pos_ == size_; }
  unsigned char peek() const { return static_cast<unsigned char>(data_[pos_]); }

  void skip_whitespace() {
    while (!at_end() && is_whitespace(peek())) ++pos_;
  }

  void expect(char c) {
    if (at_end() || data_[pos_] != c) {
      std::string reason = "expected '";
      reason += c;
      reason += '\'';
      fail(reason);
    }
    ++pos_;
  }

  JsonValue parse_value() {
    if (at_end()) fail("unexpected end of JSON");
    switch (peek()) {
      case '"': return JsonValue(parse_string());
      case '[': return parse_array();
      case '{': return parse_object();
      case 'f': return parse_literal("false", JsonValue(false));
      case 'n': return parse_literal("null", JsonValue());
      case 't': return parse_literal("true", JsonValue(true));
      default:
        if (peek() == '-' || is_digit(peek())) return parse_number();
        fail("unexpected JSON token");
    }
  }

  JsonValue parse_literal(std::string_view spelling, JsonValue value) {
    if (std::string_view(data_ + pos_, size_ - pos_).substr(0, spelling.size()) != spelling)
      fail("invalid JSON literal");
    pos_ += spelling.size();
    return value;
  }

  // Called with the cursor on the opening bracket of a container. Bounding
  // the depth keeps hostile input from exhausting the stack.
  void enter_container() {
    if (depth_ == kMaxJsonNestingDepth) fail("JSON nesting is too deep");
    ++depth_;
    ++pos_;
    skip_whitespace();
  }

  JsonValue parse_array() {
    enter_container();
    JsonValue::Array array;
    if (!at_end() && peek() == ']') return close_container(std::move(array));
    for (;;) {
      skip_whitespace();
      array.push_back(parse_value());
      skip_whitespace();
      if (!at_end() && peek() == ']') return close_container(std::move(array));
      expect(',');
    }
  }

  // Members are collected in document order and sorted once when the object
  // closes: inserting a large, unsorted vocabulary into the map one key at a
  // time costs a tree search per key. Duplicates show up as neighbours in the
  // sorted order; the one reported is the first a sequential check would find.
  JsonValue parse_object() {
    enter_container();
    if (!at_end() && peek() == '}') return close_container(JsonValue::Object());
    const std::size_t first = pending_.size();
    const PendingScope scope(pending_, first);
    try {
      for (;;) {
        parse_member();
        skip_whitespace();
        if (!at_end() && peek() == '}') break;
        expect(',');
      }
    } catch (const JsonError&) {
      // A duplicate among the finished members precedes the later error.
      fail_on_duplicate(first);
      throw;
    }
    fail_on_duplicate(first);
    JsonValue::Object object = take_sorted_members(first);
    return close_container(std::move(object));
  }

  template <class Container>
  JsonValue close_container(Container&& container) {
    ++pos_;
    --depth_;
    return JsonValue(std::forward<Container>(container));
  }

  void parse_member() {
    skip_whitespace();
    if (at_end() || peek() != '"') fail("expected object key");
    std::string key = parse_string();
    skip_whitespace();
    expect(':');
    skip_whitespace();
    JsonValue value = parse_value();
    pending_.push_back(PendingMember{std::move(key), std::move(value), pos_});
  }

  // Sorts the members from index first on, and fails on a duplicate key.
  void fail_on_duplicate(std::size_t first) {
    sort_members(pending_.data() + first, pending_.size() - first, order_);
    const std::size_t position = earliest_duplicate(pending_.data() + first, order_);
    if (position != kNoDuplicate) fail_at("duplicate object key", position);
  }

  // Moves the sorted members from index first on into a map; the caller's
  // PendingScope drops the emptied entries.
  JsonValue::Object take_sorted_members(std::size_t first) {
    // The sorted walk visits the members in random order; fetching a few
    // members ahead hides most of the cache misses on large objects.
    constexpr std::size_t kPrefetchAhead = 8;
    JsonValue::Object object;
    for (std::size_t i = 0; i < order_.size(); ++i) {
      if (i + kPrefetchAhead < order_.size())
        __builtin_prefetch(&pending_[first + order_[i + kPrefetchAhead].index]);
      PendingMember& member = pending_[first + order_[i].index];
      object.emplace_hint(object.end(), std::move(member.key), std::move(member.value));
    }
    return object;
  }

  std::string parse_string() {
    ++pos_;  // the opening quote
    std::string out;
    for (;;) {
      const std::size_t run = pos_;
      while (!at_end() && kPlainStringByte[peek()]) ++pos_;
      out.append(data_ + run, pos_ - run);
      if (at_end()) fail("unterminated string");
      const unsigned char byte = peek();
      ++pos_;
      if (byte == '"') return out;
      if (byte < 0x20) fail("unescaped control character in string");
      parse_escape(out);
    }
  }

  // Called just past the backslash.
  void parse_escape(std::string& out) {
    if (at_end()) fail("truncated string escape");
    const char letter = data_[pos_++];
    switch (letter) {
      case '"':
      case '/':
      case '\\': out.push_back(letter); return;
      case 'b': out.push_back('\b'); return;
      case 'f': out.push_back('\f'); return;
      case 'n': out.push_back('\n'); return;
      case 'r': out.push_back('\r'); return;
      case 't': out.push_back('\t'); return;
      case 'u': append_utf8(parse_unicode_escape(), out); return;
      default: fail("invalid string escape");
    }
  }

  // Called just past the u; reads one code unit, or a surrogate pair.
  char32_t parse_unicode_escape() {
    const char32_t unit = read_hex_unit();
    if (is_low_surrogate(unit)) fail("unpaired low surrogate");
    if (!is_high_surrogate(unit)) return unit;
    if (size_ - pos_ < 6 || data_[pos_] != '\\' || data_[pos_ + 1] != 'u')
      fail("missing low surrogate");
    pos_ += 2;
    const char32_t low = read_hex_unit();
    if (!is_low_surrogate(low)) fail("invalid low surrogate");
    return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
  }

  char32_t read_hex_unit() {
    if (size_ - pos_ < 4) fail("truncated Unicode escape");
    char32_t unit = 0;
    for (int i = 0; i < 4; ++i) {
      const int digit = hex_digit_value(peek());
      ++pos_;
      if (digit < 0) fail("invalid Unicode escape");
      unit = unit * 16 + static_cast<char32_t>(digit);
    }
    return unit;
  }

  JsonValue parse_number() {
    const NumberToken token = scan_number();
    if (!token.has_fraction && !token.has_exponent) {
      std::int64_t value;
      if (integer_from_digits(data_ + token.integer_begin, token.integer_end - token.integer_begin,
                              token.negative, value))
        return JsonValue(value);
    }
    return JsonValue(convert_double(token));
  }

  NumberToken scan_number() {
    NumberToken token;
    token.begin = pos_;
    token.negative = peek() == '-';
    if (token.negative && ++pos_ == size_) fail("truncated number");
    token.integer_begin = pos_;
    scan_integer_part();
    token.integer_end = pos_;
    token.has_fraction = scan_fraction();
    token.has_exponent = scan_exponent();
    token.end = pos_;
    return token;
  }

  void scan_integer_part() {
    if (peek() == '0') {
      ++pos_;
      if (!at_end() && is_digit(peek())) fail("leading zero in number");
      return;
    }
    if (!is_digit(peek())) fail("invalid number");
    scan_digits();
  }

  bool scan_fraction() {
    if (at_end() || peek() != '.') return false;
    ++pos_;
    if (at_end() || !is_digit(peek())) fail("missing fractional digits");
    scan_digits();
    return true;
  }

  bool scan_exponent() {
    if (at_end() || (peek() != 'e' && peek() != 'E')) return false;
    ++pos_;
    if (!at_end() && (peek() == '+' || peek() == '-')) ++pos_;
    if (at_end() || !is_digit(peek())) fail("missing exponent digits");
    scan_digits();
    return true;
  }

  void scan_digits() {
    while (!at_end() && is_digit(peek())) ++pos_;
  }

  // std::from_chars reads the token the same way in every locale, unlike
  // strtod, whose decimal point follows LC_NUMERIC.
  double convert_double(const NumberToken& token) const {
    const char* first = data_ + token.begin;
    const char* last = data_ + token.end;
    double value = 0.0;
    const auto [end, error] = std::from_chars(first, last, value);
    if (end == last && error == std::errc::result_out_of_range &&
        out_of_range_token_is_tiny(std::string_view(first, token.end - token.begin)))
      return token.negative ? -0.0 : 0.0;
    if (end != last || error != std::errc() || !std::isfinite(value))
      fail("invalid floating-point number");
    return value;
  }

  std::size_t size_;
  const char* data_;
  std::size_t pos_ = 0;
  std::size_t depth_ = 0;
  // Members of the objects being parsed, innermost last.
  std::vector<PendingMember> pending_;
  // Sorted order of the innermost object's members.
  std::vector<MemberOrder> order_;
};

}  // namespace

JsonValue parse_json(std::string_view text) { return Parser(text).parse_document(); }

// ---------------------------------------------------------------------------
// Files

std::string load_text_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) throw JsonError("cannot open JSON file: " + path.string());
  const auto too_large = [&] { return JsonError("JSON file is too large: " + path.string()); };
  std::string content;
  std::error_code size_error;
  const auto size = std::filesystem::file_size(path, size_error);
  if (!size_error) {
    if (size > kMaxJsonFileBytes) throw too_large();
    content.reserve(size);
  }
  // istream::read turns a failing read (a directory, an I/O error) into
  // badbit, so a read error is not mistaken for the end of the file.
  std::array<char, 1 << 16> buffer;
  while (in.read(buffer.data(), buffer.size()) || in.gcount() > 0) {
    if (content.size() + static_cast<std::size_t>(in.gcount()) > kMaxJsonFileBytes) throw too_large();
    content.append(buffer.data(), static_cast<std::size_t>(in.gcount()));
  }
  if (in.bad() || !in.eof()) throw JsonError("cannot read JSON file: " + path.string());
  return content;
}

JsonValue load_json(const std::filesystem::path& path) { return parse_json(load_text_file(path)); }

}  // namespace lorvane::detail
