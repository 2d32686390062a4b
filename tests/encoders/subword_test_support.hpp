#pragma once

// Shared by the subword tokenizer tests: random words from many scripts, and
// running the Python reference (tests/reference/subword_reference.py) or the
// package oracles (subword_oracles.py) over a request in their line format.

#include <cstdint>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "support/test_support.hpp"

namespace lorvane::testing {

// "x" followed by the hex of the bytes: the request format's string field.
inline std::string hex_field(std::string_view bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out = "x";
  for (const char c : bytes) {
    out += digits[static_cast<unsigned char>(c) >> 4];
    out += digits[static_cast<unsigned char>(c) & 15];
  }
  return out;
}

inline std::string hex_fields(const std::vector<std::string>& values) {
  std::string out;
  for (const std::string& value : values) out += " " + hex_field(value);
  return out;
}

// One result line: "ok <ids>" or "err <type> <offset>".
inline std::string ok_line(const std::vector<std::int64_t>& ids) {
  std::string out = "ok";
  for (const std::int64_t id : ids) out += " " + std::to_string(id);
  return out;
}

// Runs `script` (subword_reference.py or subword_oracles.py under python) on
// the request (settings lines) and the words; returns the result lines (the
// script's head_lines, then one per word), or nullopt with *skip set when the
// script reports a missing package.
inline std::optional<std::vector<std::string>> run_subword_script(
    const std::string& python, const std::string& script, const std::string& settings,
    const std::vector<std::string>& words, std::string* skip, std::size_t head_lines = 0) {
  TempDir dir;
  std::string request = settings;
  for (const std::string& word : words) request += "word " + hex_field(word) + "\n";
  write_file(dir / "request.txt", request);
  const auto path = source_dir() / "tests" / "reference" / script;
  const auto [status, output] =
      run_command_status(shell_quote(python) + " " + shell_quote(path.string()) + " " +
                         shell_quote((dir / "request.txt").string()) + " " +
                         shell_quote((dir / "result.txt").string()));
  if (status == 3) {
    *skip = output;
    return std::nullopt;
  }
  EXPECT_EQ(status, 0) << output;
  std::vector<std::string> lines;
  const std::string result = status == 0 ? read_file(dir / "result.txt") : std::string();
  for (std::size_t begin = 0, end; (end = result.find('\n', begin)) != std::string::npos; begin = end + 1) {
    lines.push_back(result.substr(begin, end - begin));
  }
  EXPECT_EQ(lines.size(), head_lines + words.size());
  return lines;
}

// Random words drawn from blocks of many scripts, with separators, controls,
// marks, unassigned and private-use code points mixed in. Seeded.
class RandomWords {
 public:
  explicit RandomWords(std::uint32_t seed) : random_(seed) {}

  std::string word(std::size_t max_code_points = 12) {
    std::string out;
    const std::size_t block = pick(std::size(kBlocks));
    const std::size_t length = 1 + pick(max_code_points);
    for (std::size_t i = 0; i < length; ++i) {
      // Mostly the word's own block, sometimes any other.
      const Block& b = kBlocks[pick(5) == 0 ? pick(std::size(kBlocks)) : block];
      const char32_t c = b.first + static_cast<char32_t>(pick(b.last - b.first + 1));
      out += utf8({c});
    }
    return out;
  }

  // The word with one byte replaced or cut, so that it is no longer UTF-8 (mostly).
  std::string broken(std::string text) {
    if (text.empty()) return std::string(1, '\x80');
    const std::size_t at = pick(text.size());
    static const unsigned char bad[] = {0x80, 0xBF, 0xC0, 0xE2, 0xED, 0xF4, 0xF8, 0xFF};
    text[at] = static_cast<char>(bad[pick(sizeof bad)]);
    return text;
  }

  std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_); }
  std::mt19937& engine() { return random_; }

 private:
  struct Block {
    char32_t first, last;
  };
  static constexpr Block kBlocks[] = {
      {'a', 'z'},        {'A', 'Z'},         {'0', '9'},         {0x21, 0x2F},       {0x3A, 0x40},
      {0x5B, 0x60},      {0x7B, 0x7E},       {0x00, 0x20},       {0x7F, 0xFF},       {0x100, 0x24F},
      {0x300, 0x36F},    {0x370, 0x3FF},     {0x400, 0x4FF},     {0x590, 0x5FF},     {0x600, 0x6FF},
      {0x900, 0x97F},    {0xE00, 0xE7F},     {0x1100, 0x11FF},   {0x1E00, 0x1FFF},   {0x2000, 0x206F},
      {0x2070, 0x218F},  {0x3000, 0x30FF},   {0x3400, 0x3410},   {0x4E00, 0x4E80},   {0xAC00, 0xD7A3},
      {0xE000, 0xE010},  {0xF900, 0xF910},   {0xFE00, 0xFE0F},   {0xFEFF, 0xFFFF},   {0x1F300, 0x1F6FF},
      {0x20000, 0x20010}, {0x2EBF0, 0x2EC00}, {0xE0000, 0xE0080}, {0x10FFF0, 0x10FFFF}, {0x130, 0x131},
  };

  std::mt19937 random_;
};

}  // namespace lorvane::testing
