#pragma once

// The vector code of lstm_cells, included by two translation units: one
// compiled for AVX2 and FMA (lstm_cells_avx2.cpp), one for the baseline
// x86-64 instruction set (lstm_cells.cpp), where the compilers lower each
// eight-float operation to a pair of SSE instructions. Everything here has
// internal linkage, so the two copies never meet at link time, and every
// function taking or returning vectors is inlined into its unit's entry
// points, so no call passes them by value across units.

#include <cstdint>
#include <cstring>

#define LORVANE_ALWAYS_INLINE __attribute__((always_inline)) inline

namespace lorvane::detail {

// The entry points of the AVX2 unit (same contracts as update_lstm_cells and
// add_recurrent_product), to be called only when the processor has AVX2 and
// FMA.
namespace avx2 {
void update_lstm_cells(const float* gates, float* h, float* c, float* out, std::int64_t out_stride,
                       std::int64_t rows, std::int64_t hidden);
void add_recurrent_product(const float* weight, const float* h, float* gates, std::int64_t rows,
                           std::int64_t hidden);
}  // namespace avx2

namespace {

// Eight floats.
using Floats = float __attribute__((vector_size(32)));
constexpr std::int64_t kLanes = 8;

LORVANE_ALWAYS_INLINE Floats load(const float* data) {
  Floats value;
  std::memcpy(&value, data, sizeof value);
  return value;
}

LORVANE_ALWAYS_INLINE void store(float* data, Floats value) { std::memcpy(data, &value, sizeof value); }

// ---------------------------------------------------------------------------
// Recurrent products of a few rows

LORVANE_ALWAYS_INLINE float horizontal_sum(Floats value) {
  float lanes[kLanes];
  std::memcpy(lanes, &value, sizeof value);
  return ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
}

// Outputs [first, first + Outputs) of Rows rows: Outputs x Rows independent
// accumulators, so that neither the weight loads nor the additions wait on
// one another. The constant loops unroll fully, which keeps the
// accumulators in registers.
template <int Rows, int Outputs>
LORVANE_ALWAYS_INLINE void product_block(const float* weight, const float* h, float* gates, std::int64_t first,
                                         std::int64_t hidden) {
  Floats sums[Outputs][Rows] = {};
  std::int64_t j = 0;
  for (; j + kLanes <= hidden; j += kLanes) {
    Floats inputs[Rows];
#pragma GCC unroll 4
    for (int r = 0; r < Rows; ++r) inputs[r] = load(h + r * hidden + j);
#pragma GCC unroll 4
    for (int o = 0; o < Outputs; ++o) {
      const Floats w = load(weight + (first + o) * hidden + j);
#pragma GCC unroll 4
      for (int r = 0; r < Rows; ++r) sums[o][r] += w * inputs[r];
    }
  }
#pragma GCC unroll 4
  for (int o = 0; o < Outputs; ++o) {
    const float* w = weight + (first + o) * hidden;
#pragma GCC unroll 4
    for (int r = 0; r < Rows; ++r) {
      float sum = horizontal_sum(sums[o][r]);
      for (std::int64_t k = j; k < hidden; ++k) sum += w[k] * h[r * hidden + k];
      gates[r * 4 * hidden + first + o] += sum;
    }
  }
}

// Lane-wise pair sums of a and b as AVX's hadd forms them:
// [a0+a1, a2+a3, b0+b1, b2+b3, a4+a5, a6+a7, b4+b5, b6+b7].
// (__builtin_shufflevector: one spelling that GCC and Clang both accept.)
LORVANE_ALWAYS_INLINE Floats pair_sums(Floats a, Floats b) {
  return __builtin_shufflevector(a, b, 0, 2, 8, 10, 4, 6, 12, 14) +
         __builtin_shufflevector(a, b, 1, 3, 9, 11, 5, 7, 13, 15);
}

// The lane sums of eight vectors, as one vector: lane k sums v[k].
LORVANE_ALWAYS_INLINE Floats lane_sums(const Floats (&v)[8]) {
  const Floats low = pair_sums(pair_sums(v[0], v[1]), pair_sums(v[2], v[3]));
  const Floats high = pair_sums(pair_sums(v[4], v[5]), pair_sums(v[6], v[7]));
  return __builtin_shufflevector(low, high, 0, 1, 2, 3, 8, 9, 10, 11) +
         __builtin_shufflevector(low, high, 4, 5, 6, 7, 12, 13, 14, 15);
}

// One row, outputs [first, first + 8): eight accumulators summed across
// their lanes together, rather than one at a time.
LORVANE_ALWAYS_INLINE void product_block_one_row(const float* weight, const float* h, float* gates,
                                                 std::int64_t first, std::int64_t hidden) {
  Floats sums[8] = {};
  std::int64_t j = 0;
  for (; j + kLanes <= hidden; j += kLanes) {
    const Floats input = load(h + j);
#pragma GCC unroll 8
    for (int o = 0; o < 8; ++o) sums[o] += load(weight + (first + o) * hidden + j) * input;
  }
  Floats totals = lane_sums(sums);
  for (; j < hidden; ++j) {
#pragma GCC unroll 8
    for (int o = 0; o < 8; ++o) totals[o] += weight[(first + o) * hidden + j] * h[j];
  }
  store(gates + first, load(gates + first) + totals);
}

template <int Rows>
LORVANE_ALWAYS_INLINE void product_rows(const float* weight, const float* h, float* gates, std::int64_t hidden) {
  const std::int64_t outputs = 4 * hidden;  // a multiple of 4
  std::int64_t first = 0;
  if constexpr (Rows == 1) {
    for (; first + 8 <= outputs; first += 8) product_block_one_row(weight, h, gates, first, hidden);
  }
  constexpr int kOutputs = Rows <= 2 ? 4 : 2;
  for (; first < outputs; first += kOutputs) product_block<Rows, kOutputs>(weight, h, gates, first, hidden);
}

LORVANE_ALWAYS_INLINE void recurrent_product(const float* weight, const float* h, float* gates, std::int64_t rows,
                                             std::int64_t hidden) {
  std::int64_t r = 0;
  for (; r + 4 <= rows; r += 4) product_rows<4>(weight, h + r * hidden, gates + r * 4 * hidden, hidden);
  switch (rows - r) {
    case 3: product_rows<3>(weight, h + r * hidden, gates + r * 4 * hidden, hidden); break;
    case 2: product_rows<2>(weight, h + r * hidden, gates + r * 4 * hidden, hidden); break;
    case 1: product_rows<1>(weight, h + r * hidden, gates + r * 4 * hidden, hidden); break;
    default: break;
  }
}

}  // namespace
}  // namespace lorvane::detail
