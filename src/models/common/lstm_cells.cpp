#include "models/common/lstm_cells.hpp"

#include <cmath>
#include <cstring>

#include <immintrin.h>

// Two of SLEEF's 8-lane functions, exported by libtorch (which bundles SLEEF
// for its own vectorised kernels). sleef.h declares them only when the whole
// file is compiled for AVX; here only the functions that call them are.
extern "C" {
__m256 Sleef_expf8_u10avx2(__m256);
__m256 Sleef_tanhf8_u10avx2(__m256);
}

namespace lorvane::detail {
namespace {

// Eight floats. GCC lowers the operators to AVX2 inside functions compiled
// for it and to pairs of SSE instructions elsewhere. Every function taking or
// returning them is inlined, so no call passes them by value (hence no ABI
// concern, which -Wpsabi would otherwise report).
#pragma GCC diagnostic ignored "-Wpsabi"
using Floats = float __attribute__((vector_size(32)));
constexpr std::int64_t kLanes = 8;

#define LORVANE_ALWAYS_INLINE __attribute__((always_inline)) inline

LORVANE_ALWAYS_INLINE Floats load(const float* data) {
  Floats value;
  std::memcpy(&value, data, sizeof value);
  return value;
}

LORVANE_ALWAYS_INLINE void store(float* data, Floats value) { std::memcpy(data, &value, sizeof value); }

bool has_avx2() {
  static const bool supported = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return supported;
}

// ---------------------------------------------------------------------------
// Cell updates

// The activations of the AVX2 path: SLEEF's vector exp and tanh (bundled
// with libtorch, whose own vectorised kernels use them), accurate to one unit
// in the last place, so that results round as closely as libtorch's do.
__attribute__((target("avx2,fma"))) LORVANE_ALWAYS_INLINE Floats exp_lanes(Floats x) {
  return (Floats)Sleef_expf8_u10avx2((__m256)x);
}
__attribute__((target("avx2,fma"))) LORVANE_ALWAYS_INLINE Floats tanh_lanes(Floats x) {
  return (Floats)Sleef_tanhf8_u10avx2((__m256)x);
}
__attribute__((target("avx2,fma"))) LORVANE_ALWAYS_INLINE Floats sigmoid_lanes(Floats x) {
  return 1.0f / (1.0f + exp_lanes(-x));
}

// Eight units of one row: the gate pre-activations at i, f, g, o and the
// cell state at c; returns the new cell state and sets `h_next`.
__attribute__((target("avx2,fma"))) LORVANE_ALWAYS_INLINE Floats cell_lanes(Floats i, Floats f, Floats g, Floats o,
                                                                           Floats c, Floats& h_next) {
  const Floats c_next = sigmoid_lanes(f) * c + sigmoid_lanes(i) * tanh_lanes(g);
  h_next = sigmoid_lanes(o) * tanh_lanes(c_next);
  return c_next;
}

__attribute__((target("avx2,fma"))) void update_rows_avx2(const float* gates, float* h, float* c, float* out,
                                                          std::int64_t out_stride, std::int64_t rows,
                                                          std::int64_t hidden) {
  for (std::int64_t r = 0; r < rows; ++r) {
    const float* g = gates + r * 4 * hidden;
    float* h_row = h + r * hidden;
    float* c_row = c + r * hidden;
    float* out_row = out + r * out_stride;
    std::int64_t j = 0;
    Floats h_next;
    for (; j + kLanes <= hidden; j += kLanes) {
      store(c_row + j, cell_lanes(load(g + j), load(g + hidden + j), load(g + 2 * hidden + j),
                                  load(g + 3 * hidden + j), load(c_row + j), h_next));
      store(h_row + j, h_next);
      store(out_row + j, h_next);
    }
    if (j == hidden) continue;
    // The last units, through zero-padded lanes.
    const auto bytes = static_cast<std::size_t>(hidden - j) * sizeof(float);
    float lanes[5][kLanes] = {};
    for (int gate = 0; gate < 4; ++gate) std::memcpy(lanes[gate], g + gate * hidden + j, bytes);
    std::memcpy(lanes[4], c_row + j, bytes);
    store(lanes[0], cell_lanes(load(lanes[0]), load(lanes[1]), load(lanes[2]), load(lanes[3]), load(lanes[4]), h_next));
    store(lanes[1], h_next);
    std::memcpy(c_row + j, lanes[0], bytes);
    std::memcpy(h_row + j, lanes[1], bytes);
    std::memcpy(out_row + j, lanes[1], bytes);
  }
}

// Without AVX2 (SLEEF's 8-lane functions need it), and for double: the C
// library, one value at a time.
template <class T>
void update_rows_scalar(const T* gates, T* h, T* c, T* out, std::int64_t out_stride, std::int64_t rows,
                        std::int64_t hidden) {
  const auto sigmoid = [](T x) { return T(1) / (T(1) + std::exp(-x)); };
  for (std::int64_t r = 0; r < rows; ++r) {
    const T* g = gates + r * 4 * hidden;
    for (std::int64_t j = 0; j < hidden; ++j) {
      const T c_next = sigmoid(g[hidden + j]) * c[r * hidden + j] + sigmoid(g[j]) * std::tanh(g[2 * hidden + j]);
      const T h_next = sigmoid(g[3 * hidden + j]) * std::tanh(c_next);
      c[r * hidden + j] = c_next;
      h[r * hidden + j] = h_next;
      out[r * out_stride + j] = h_next;
    }
  }
}

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

using Ints = std::int32_t __attribute__((vector_size(32)));

// Lane-wise pair sums of a and b as AVX's hadd forms them:
// [a0+a1, a2+a3, b0+b1, b2+b3, a4+a5, a6+a7, b4+b5, b6+b7].
LORVANE_ALWAYS_INLINE Floats pair_sums(Floats a, Floats b) {
  return __builtin_shuffle(a, b, Ints{0, 2, 8, 10, 4, 6, 12, 14}) +
         __builtin_shuffle(a, b, Ints{1, 3, 9, 11, 5, 7, 13, 15});
}

// The lane sums of eight vectors, as one vector: lane k sums v[k].
LORVANE_ALWAYS_INLINE Floats lane_sums(const Floats (&v)[8]) {
  const Floats low = pair_sums(pair_sums(v[0], v[1]), pair_sums(v[2], v[3]));
  const Floats high = pair_sums(pair_sums(v[4], v[5]), pair_sums(v[6], v[7]));
  return __builtin_shuffle(low, high, Ints{0, 1, 2, 3, 8, 9, 10, 11}) +
         __builtin_shuffle(low, high, Ints{4, 5, 6, 7, 12, 13, 14, 15});
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

__attribute__((target("avx2,fma"))) void recurrent_product_avx2(const float* weight, const float* h, float* gates,
                                                                std::int64_t rows, std::int64_t hidden) {
  recurrent_product(weight, h, gates, rows, hidden);
}

void recurrent_product_portable(const float* weight, const float* h, float* gates, std::int64_t rows,
                                std::int64_t hidden) {
  recurrent_product(weight, h, gates, rows, hidden);
}

}  // namespace

void update_lstm_cells(const float* gates, float* h, float* c, float* out, std::int64_t out_stride,
                       std::int64_t rows, std::int64_t hidden) {
  if (has_avx2()) {
    update_rows_avx2(gates, h, c, out, out_stride, rows, hidden);
  } else {
    update_rows_scalar(gates, h, c, out, out_stride, rows, hidden);
  }
}

void update_lstm_cells(const double* gates, double* h, double* c, double* out, std::int64_t out_stride,
                       std::int64_t rows, std::int64_t hidden) {
  update_rows_scalar(gates, h, c, out, out_stride, rows, hidden);
}

void add_recurrent_product(const float* weight, const float* h, float* gates, std::int64_t rows,
                           std::int64_t hidden) {
  if (has_avx2()) {
    recurrent_product_avx2(weight, h, gates, rows, hidden);
  } else {
    recurrent_product_portable(weight, h, gates, rows, hidden);
  }
}

}  // namespace lorvane::detail
