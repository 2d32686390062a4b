// Cross-checks of the bundle layer against independent references: the JSON
// parser against a plain sequential parser in Python on many mutated texts,
// and the file-system failures that must keep their own exception type.

#include <unistd.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bundle/bundle_test_util.hpp"
#include "bundle/json.hpp"
#include "lorvane/bundle.hpp"
#include "support/test_support.hpp"

namespace lorvane {
namespace {

using detail::JsonError;
using detail::JsonValue;
using testing::TempDir;

// ---------------------------------------------------------------------------
// JSON against tests/reference/json_reference.py

std::string hex_bytes(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const unsigned char c : bytes) {
    out += kHex[c >> 4];
    out += kHex[c & 0xF];
  }
  return out;
}

// The reference's canonical form (see the script's docstring).
std::string canonical(const JsonValue& value) {
  switch (value.kind()) {
    case JsonValue::kNull: return "n";
    case JsonValue::kBool: return value.as_bool("") ? "t" : "f";
    case JsonValue::kInteger: return "i" + std::to_string(value.as_integer(""));
    case JsonValue::kNumber: {
      const double number = value.as_number("");
      std::uint64_t bits;
      std::memcpy(&bits, &number, sizeof bits);
      char text[17];
      std::snprintf(text, sizeof text, "%016" PRIx64, bits);
      return std::string("d") + text;
    }
    case JsonValue::kString: return "s" + hex_bytes(value.as_string(""));
    case JsonValue::kArray: {
      std::string out = "[";
      for (const JsonValue& item : value.as_array("")) {
        if (out.size() > 1) out += ',';
        out += canonical(item);
      }
      return out + "]";
    }
    default: {
      std::string out = "{";
      for (const auto& [key, member] : value.as_object("")) {
        if (out.size() > 1) out += ',';
        out += hex_bytes(key) + ":" + canonical(member);
      }
      return out + "}";
    }
  }
}

std::string outcome(const std::string& text) {
  try {
    return "V " + canonical(detail::parse_json(text));
  } catch (const JsonError& e) {
    return std::string("E ") + e.what();
  }
}

// Texts that reach every rule of the grammar, including manifest-like ones.
std::vector<std::string> seed_texts() {
  std::vector<std::string> seeds = {
      R"({"format": "lorvane-model-bundle", "format_version": 1, "byte_order": "little",
          "tensor_alignment": 64, "assets": {"path": "assets.json", "sha256": "ab"},
          "tensors": [{"name": "w", "dtype": "float32", "shape": [2, 3], "offset": 0, "nbytes": 24}]})",
      R"({"b": 1, "a": [true, false, null], "ab": {"x": -0, "y": 0.5e-3, "z": 1E+2}, "": ""})",
      R"(["\"\\\/\b\f\n\r\t", "\u0041\u00e9\u20AC", "\ud83d\ude00", "a\u0000b", "\uDBFF\uDFFF"])",
      R"([9223372036854775807, -9223372036854775808, 9223372036854775808, 1e308, 1.7976931348623157e308,
          4.9e-324, 2.4e-324, 1e-400, -1e-400, 123.456, 0, -0.0, 10, 1e400])",
      R"({"k": 1, "x": {"k": 2, "k": 3}, "k": 4})",
      R"({"a": {"b": {"c": [[], {}, [[[]]]]}}, "d": [1, [2, [3, {"e": "f"}]]]})",
      " \t\r\n{ \"key\" : [ 1 , 2 ] , \"other\" : { } } \n",
      "\"raw \xC3\xA9 \xFF \x7F bytes\"",
      "[\"\\u12\", \"\\ud83d\\u0041\", \"\\ude00\", \"\\x\", 01, -, 1., 1e+, truex]",
      std::string(511, '[') + std::string(511, ']'),
      std::string(512, '[') + std::string(512, ']'),
  };
  std::string wide = "{";
  for (int i = 0; i < 40; ++i) {
    wide += (i ? ",\"k" : "\"k") + std::to_string((i * 17) % 23) + "\":" + std::to_string(i);
  }
  seeds.push_back(wide + "}");
  return seeds;
}

// Bytes and snippets that mutations splice in: structure, escapes, number
// parts, literal prefixes, control and non-ASCII bytes.
const std::vector<std::string>& splices() {
  static const std::vector<std::string> pieces = {
      "{", "}", "[", "]", "\"", ":", ",", "\\", " ", "\t", "\n", "\r", "-", "+", ".", "e", "E", "0",
      "1", "9", "f", "n", "t", "u", "a", std::string(1, '\0'), "\x1F", "\x7F", "\x80", "\xFF",
      "\\u", "\\ud83d", "\\ude00", "\\u00e9", "1e400", "1e-400", "\"k\"", "\"k\":1", "{\"k\":1}",
      "null", "true", "false", "9223372036854775808", "0.", "[[", "]]",
  };
  return pieces;
}

// Whole values that keep a text valid when added as an array element.
const std::vector<std::string>& element_values() {
  static const std::vector<std::string> values = {
      "0", "-0", "-0.0", "1e-400", "-2.5e-324", "4.9e-324", "1.7976931348623157e308",
      "9223372036854775807", "-9223372036854775809", "123456789012345678901234567890", "0.1e1",
      "\"\\ud83d\\ude00\"", "\"\\u0000\\u00e9\"", "\"\xC3\xA9\xFF\"", "[]", "{}", "[[1],{}]",
      "{\"b\":1,\"a\":{\"a\":null}}", "{\"\\u0061\":1,\"b\":2}", "true", "null",
  };
  return values;
}

// Adds one to three valid elements before closing brackets: the text stays
// valid unless an added object repeats a key.
std::string grow(std::string text, std::mt19937& random) {
  const int additions = 1 + static_cast<int>(random() % 3);
  for (int a = 0; a < additions; ++a) {
    const std::size_t close = text.find(']', random() % (text.size() + 1));
    if (close == std::string::npos) continue;
    text.insert(close, "," + element_values()[random() % element_values().size()]);
  }
  return text;
}

std::string mutate(std::string text, std::mt19937& random) {
  const int edits = 1 + static_cast<int>(random() % 3);
  for (int e = 0; e < edits; ++e) {
    const std::size_t at = text.empty() ? 0 : random() % (text.size() + 1);
    const auto& piece = splices()[random() % splices().size()];
    switch (random() % 5) {
      case 0:  // delete a short run
        if (at < text.size()) text.erase(at, 1 + random() % 3);
        break;
      case 1:  // insert
        text.insert(at, piece);
        break;
      case 2:  // overwrite one byte
        if (at < text.size()) text.replace(at, 1, piece);
        break;
      case 3:  // cut the text short
        text.resize(at);
        break;
      default: {  // repeat a short slice elsewhere (duplicate keys, nested copies)
        if (text.empty()) break;
        const std::size_t from = random() % text.size();
        const std::string slice = text.substr(from, 1 + random() % 12);
        text.insert(at, slice);
      }
    }
  }
  return text;
}

TEST(JsonDifferentialTest, AgreesWithTheSequentialReferenceOnMutatedTexts) {
  std::vector<std::string> texts = seed_texts();
  std::mt19937 random(20240607);
  const std::size_t seeds = texts.size();
  for (int i = 0; i < 30000; ++i) texts.push_back(mutate(texts[random() % seeds], random));
  // Mutants of mutants reach states that one round of edits seldom does.
  for (int i = 0; i < 10000; ++i) texts.push_back(mutate(texts[seeds + random() % 30000], random));
  // Grown seeds keep most texts valid, so values are compared in bulk too.
  for (int i = 0; i < 10000; ++i) texts.push_back(grow(texts[random() % seeds], random));

  TempDir dir;
  {
    std::ofstream input(dir / "texts.hex");
    for (const auto& text : texts) input << hex_bytes(text) << '\n';
  }
  const auto script = testing::source_dir() / "tests" / "reference" / "json_reference.py";
  testing::run_python({script.string(), (dir / "texts.hex").string(), (dir / "expected.txt").string()});

  std::ifstream expected_file(dir / "expected.txt");
  std::size_t mismatches = 0;
  std::size_t values = 0;
  for (const auto& text : texts) {
    std::string expected;
    ASSERT_TRUE(std::getline(expected_file, expected)) << "the reference wrote too few lines";
    const std::string actual = outcome(text);
    values += actual.rfind("V ", 0) == 0;
    if (actual != expected && ++mismatches <= 10) {
      ADD_FAILURE() << "text (hex): " << hex_bytes(text) << "\n  ours:      " << actual.substr(0, 300)
                    << "\n  reference: " << expected.substr(0, 300);
    }
  }
  EXPECT_EQ(mismatches, 0u);
  // Both outcomes are exercised in bulk, not only errors.
  EXPECT_GT(values, 5000u) << values;
  EXPECT_LT(values, texts.size() / 2);
}

// ---------------------------------------------------------------------------
// Failures of the file system itself while locating the bundle directory are
// not bundle problems: they keep the standard library's exception type.

TEST(BundleFileSystemTest, EmptyPathIsAFileSystemError) {
  EXPECT_THROW(ModelBundle(std::filesystem::path(), false), std::filesystem::filesystem_error);
}

TEST(BundleFileSystemTest, SymbolicLinkLoopIsAFileSystemError) {
  TempDir dir;
  std::filesystem::create_symlink(dir / "b", dir / "a");
  std::filesystem::create_symlink(dir / "a", dir / "b");
  EXPECT_THROW(ModelBundle(dir / "a", false), std::filesystem::filesystem_error);
}

TEST(BundleFileSystemTest, VanishedWorkingDirectoryIsAFileSystemError) {
  bool threw_filesystem_error = false;
  testing::in_vanished_working_directory([&] {
    try {
      ModelBundle bundle("bundle", false);
    } catch (const std::filesystem::filesystem_error&) {
      threw_filesystem_error = true;
    } catch (...) {
    }
  });
  EXPECT_TRUE(threw_filesystem_error);
}

}  // namespace
}  // namespace lorvane
