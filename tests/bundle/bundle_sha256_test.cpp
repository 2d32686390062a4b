// SHA-256: the FIPS 180-4 examples, sizes around the block boundaries against
// Python's hashlib, and the hardware engine against the portable one.

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "bundle/json.hpp"
#include "bundle/sha256.hpp"
#include "support/test_support.hpp"

namespace lorvane {
namespace {

using detail::Sha256Engine;

std::vector<Sha256Engine> available_engines() {
  std::vector<Sha256Engine> engines = {Sha256Engine::kPortable};
  if (detail::sha256_hardware_available()) engines.push_back(Sha256Engine::kHardware);
  return engines;
}

const char* engine_name(Sha256Engine engine) {
  return engine == Sha256Engine::kHardware ? "hardware" : "portable";
}

// The byte at position i of the generated messages; Python builds the same.
std::uint8_t pattern_byte(std::size_t i) { return static_cast<std::uint8_t>((i * 131 + 7) % 251); }

std::string pattern(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>(pattern_byte(i));
  return data;
}

TEST(Sha256Test, FipsExamples) {
  struct Vector {
    std::string message;
    const char* digest;
  };
  const std::vector<Vector> vectors = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& v : vectors) {
    SCOPED_TRACE(v.message.substr(0, 16));
    EXPECT_EQ(detail::sha256_hex(v.message.data(), v.message.size()), v.digest);
    for (const auto engine : available_engines()) {
      EXPECT_EQ(detail::sha256_hex_with(engine, v.message.data(), v.message.size()), v.digest) << engine_name(engine);
    }
  }
  EXPECT_EQ(detail::sha256_hex(nullptr, 0), vectors[0].digest);
}

TEST(Sha256Test, SizesAroundBlockBoundariesMatchHashlib) {
  std::vector<std::size_t> sizes;
  for (std::size_t n = 0; n <= 200; ++n) sizes.push_back(n);
  for (std::size_t block : {4u, 16u, 1024u, 16384u}) {
    for (std::size_t delta : {0u, 1u, 55u, 56u, 63u, 64u, 65u}) sizes.push_back(block * 64 + delta);
  }
  sizes.push_back(1000003);

  std::string size_list;
  for (std::size_t n : sizes) size_list += (size_list.empty() ? "" : ",") + std::to_string(n);
  const std::string script =
      "import hashlib, json\n"
      "sizes = [" + size_list + "]\n"
      "data = bytes((i * 131 + 7) % 251 for i in range(max(sizes)))\n"
      "print(json.dumps([hashlib.sha256(data[:n]).hexdigest() for n in sizes]))\n";
  const std::string output = testing::run_python({"-c", script});
  const auto expected = detail::parse_json(output).as_array("");
  ASSERT_EQ(expected.size(), sizes.size());

  const std::string data = pattern(*std::max_element(sizes.begin(), sizes.end()));
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    for (const auto engine : available_engines()) {
      ASSERT_EQ(detail::sha256_hex_with(engine, data.data(), sizes[i]), expected[i].as_string(""))
          << engine_name(engine) << " size " << sizes[i];
    }
  }
}

TEST(Sha256Test, EnginesAgreeOnUnalignedInput) {
  if (!detail::sha256_hardware_available()) GTEST_SKIP() << "no SHA extensions on this processor";
  const std::string data = pattern(70000);
  for (std::size_t start = 0; start < 17; ++start) {
    for (std::size_t size : {0u, 1u, 63u, 64u, 127u, 128u, 4097u, 65536u}) {
      EXPECT_EQ(detail::sha256_hex_with(Sha256Engine::kPortable, data.data() + start, size),
                detail::sha256_hex_with(Sha256Engine::kHardware, data.data() + start, size))
          << start << " " << size;
    }
  }
  EXPECT_EQ(detail::sha256_default_engine(), Sha256Engine::kHardware);
}

TEST(Sha256Test, DigestIsLowercaseHex) {
  for (std::size_t size = 0; size < 64; ++size) {
    const std::string digest = detail::sha256_hex(pattern(size).data(), size);
    ASSERT_EQ(digest.size(), 64u);
    for (char c : digest) EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) << digest;
  }
}

}  // namespace
}  // namespace lorvane
