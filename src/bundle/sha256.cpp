#include "bundle/sha256.hpp"

#include <array>
#include <cstddef>
#include <cstring>
#include <stdexcept>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define LORVANE_SHA256_X86 1
#endif

namespace lorvane::detail {
namespace {

using State = std::array<std::uint32_t, 8>;
// Compresses `blocks` consecutive 64-byte blocks into the state.
using CompressFn = void (*)(State& state, const std::uint8_t* data, std::size_t blocks);

constexpr State kInitialState = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

alignas(16) constexpr std::uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

std::uint32_t load_be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

void compress_portable(State& state, const std::uint8_t* data, std::size_t blocks) {
  std::uint32_t w[64];
  for (; blocks != 0; --blocks, data += 64) {
    for (int i = 0; i < 16; ++i) w[i] = load_be32(data + 4 * i);
    for (int i = 16; i < 64; ++i) {
      const std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; ++i) {
      const std::uint32_t t1 =
          h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRoundConstants[i] + w[i];
      const std::uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
  }
}

#ifdef LORVANE_SHA256_X86
// The SHA extensions keep the state as two vectors, ABEF and CDGH, and run two
// rounds per sha256rnds2. Message words are scheduled four at a time in a ring
// of four vectors: msg1 starts the schedule of the quad three groups ahead,
// msg2 finishes the one of the next group.
__attribute__((target("sha,sse4.1,ssse3"))) void compress_hardware(State& state, const std::uint8_t* data,
                                                                    std::size_t blocks) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0]));
  __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4]));
  const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
  const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

  for (; blocks != 0; --blocks, data += 64) {
    const __m128i abef_start = abef;
    const __m128i cdgh_start = cdgh;
    __m128i m[4];
#pragma GCC unroll 16
    for (int g = 0; g < 16; ++g) {
      if (g < 4) {
        m[g] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * g)), byte_swap);
      }
      __m128i msg = _mm_add_epi32(m[g & 3],
                                  _mm_load_si128(reinterpret_cast<const __m128i*>(&kRoundConstants[4 * g])));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, msg);
      if (g >= 3 && g <= 14) {
        const __m128i carried = _mm_alignr_epi8(m[g & 3], m[(g - 1) & 3], 4);
        m[(g + 1) & 3] = _mm_sha256msg2_epu32(_mm_add_epi32(m[(g + 1) & 3], carried), m[g & 3]);
      }
      msg = _mm_shuffle_epi32(msg, 0x0E);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, msg);
      if (g >= 1 && g <= 12) m[(g - 1) & 3] = _mm_sha256msg1_epu32(m[(g - 1) & 3], m[g & 3]);
    }
    abef = _mm_add_epi32(abef, abef_start);
    cdgh = _mm_add_epi32(cdgh, cdgh_start);
  }

  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  dcba = _mm_blend_epi16(feba, dchg, 0xF0);
  hgfe = _mm_alignr_epi8(dchg, feba, 8);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), dcba);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), hgfe);
}

bool cpu_has_sha_extensions() noexcept {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
  const bool ssse3 = (ecx & (1u << 9)) != 0;
  const bool sse41 = (ecx & (1u << 19)) != 0;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
  const bool sha = (ebx & (1u << 29)) != 0;
  return ssse3 && sse41 && sha;
}
#else
bool cpu_has_sha_extensions() noexcept { return false; }
#endif

CompressFn compress_function(Sha256Engine engine) {
#ifdef LORVANE_SHA256_X86
  if (engine == Sha256Engine::kHardware) return compress_hardware;
#else
  (void)engine;
#endif
  return compress_portable;
}

std::string hash(CompressFn compress, const void* data, std::uint64_t size) {
  State state = kInitialState;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  const std::uint64_t full_blocks = size / 64;
  if (full_blocks != 0) compress(state, bytes, static_cast<std::size_t>(full_blocks));

  // Padding: the tail, 0x80, zeros, and the bit length big-endian, in one or
  // two blocks.
  std::uint8_t tail[128] = {};
  const std::size_t rest = static_cast<std::size_t>(size % 64);
  if (rest != 0) std::memcpy(tail, bytes + full_blocks * 64, rest);
  tail[rest] = 0x80;
  const std::size_t tail_blocks = rest < 56 ? 1 : 2;
  const std::uint64_t bits = size * 8;  // the length is taken modulo 2^64, as FIPS 180-4 allows
  for (int i = 0; i < 8; ++i) tail[tail_blocks * 64 - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
  compress(state, tail, tail_blocks);

  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(64, '0');
  for (int word = 0; word < 8; ++word) {
    for (int nibble = 0; nibble < 8; ++nibble) {
      out[static_cast<std::size_t>(word * 8 + nibble)] = kHex[(state[word] >> (28 - 4 * nibble)) & 0xF];
    }
  }
  return out;
}

}  // namespace

bool sha256_hardware_available() noexcept {
  static const bool available = cpu_has_sha_extensions();
  return available;
}

Sha256Engine sha256_default_engine() noexcept {
  return sha256_hardware_available() ? Sha256Engine::kHardware : Sha256Engine::kPortable;
}

std::string sha256_hex_with(Sha256Engine engine, const void* data, std::uint64_t size) {
  if (engine == Sha256Engine::kHardware && !sha256_hardware_available()) {
    throw std::logic_error("the processor has no SHA extensions");
  }
  return hash(compress_function(engine), data, size);
}

std::string sha256_hex(const void* data, std::uint64_t size) {
  static const CompressFn compress = compress_function(sha256_default_engine());
  return hash(compress, data, size);
}

}  // namespace lorvane::detail
