#include "models/common/lstm_cells.hpp"

#include <cmath>
#include <cstring>

namespace lorvane::detail {
namespace {

// Eight floats. GCC lowers the operators to AVX2 inside functions compiled
// for it and to pairs of SSE instructions elsewhere. Every function taking or
// returning them is inlined, so no call passes them by value (hence no ABI
// concern, which -Wpsabi would otherwise report).
#pragma GCC diagnostic ignored "-Wpsabi"
using Floats = float __attribute__((vector_size(32)));
using Ints = std::int32_t __attribute__((vector_size(32)));
constexpr std::int64_t kLanes = 8;

#define LORVANE_ALWAYS_INLINE __attribute__((always_inline)) inline

LORVANE_ALWAYS_INLINE Floats splat(float value) { return Floats{} + value; }

LORVANE_ALWAYS_INLINE Floats load(const float* data) {
  Floats value;
  std::memcpy(&value, data, sizeof value);
  return value;
}

LORVANE_ALWAYS_INLINE void store(float* data, Floats value) { std::memcpy(data, &value, sizeof value); }

// e^x: x = n ln 2 + r with |r| <= ln 2 / 2 (ln 2 split in two for an exact
// product), e^r by a degree-6 polynomial, 2^n built in the exponent bits.
// Arguments are clamped to +-88, so the result stays finite; below about
// -87.3 it is 0.
LORVANE_ALWAYS_INLINE Floats exp_approx(Floats x) {
  x = x > 88.0f ? splat(88.0f) : x;
  x = x < -88.0f ? splat(-88.0f) : x;
  const Floats scaled = x * 1.44269504088896341f + 0.5f;
  Ints n = __builtin_convertvector(scaled, Ints);
  Floats whole = __builtin_convertvector(n, Floats);
  const Ints above = whole > scaled;  // truncation rounded a negative value up
  n += above;                         // lanes of -1 where true
  whole = __builtin_convertvector(n, Floats);
  const Floats r = x - whole * 0.693359375f - whole * -2.12194440e-4f;
  Floats y = splat(1.9875691500e-4f);
  y = y * r + 1.3981999507e-3f;
  y = y * r + 8.3334519073e-3f;
  y = y * r + 4.1665795894e-2f;
  y = y * r + 1.6666665459e-1f;
  y = y * r + 5.0000001201e-1f;
  y = y * (r * r) + r + 1.0f;
  const Ints bits = (n + 127) << 23;
  Floats scale;
  std::memcpy(&scale, &bits, sizeof scale);
  return y * scale;
}

LORVANE_ALWAYS_INLINE Floats sigmoid_approx(Floats x) { return 1.0f / (1.0f + exp_approx(-x)); }

// tanh: an odd polynomial near 0, where 1 - 2 / (e^2x + 1) would lose
// precision, that formula elsewhere.
LORVANE_ALWAYS_INLINE Floats tanh_approx(Floats x) {
  const Floats z = x * x;
  Floats p = splat(-5.70498872745e-3f);
  p = p * z + 2.06390887954e-2f;
  p = p * z - 5.37397155531e-2f;
  p = p * z + 1.33314422036e-1f;
  p = p * z - 3.33332819422e-1f;
  const Floats near_zero = p * z * x + x;
  const Floats elsewhere = 1.0f - 2.0f / (exp_approx(2.0f * x) + 1.0f);
  const Floats magnitude = x < 0.0f ? -x : x;
  return magnitude < 0.625f ? near_zero : elsewhere;
}

// Lanes [j, j + count) of one row, count <= kLanes.
LORVANE_ALWAYS_INLINE void update_lanes(const float* gates, float* h, float* c, float* out, std::int64_t hidden,
                                        std::int64_t j, std::int64_t count) {
  float lanes[5][kLanes] = {};
  const auto bytes = static_cast<std::size_t>(count) * sizeof(float);
  for (int gate = 0; gate < 4; ++gate) std::memcpy(lanes[gate], gates + gate * hidden + j, bytes);
  std::memcpy(lanes[4], c + j, bytes);
  const Floats c_next = sigmoid_approx(load(lanes[1])) * load(lanes[4]) +
                        sigmoid_approx(load(lanes[0])) * tanh_approx(load(lanes[2]));
  const Floats h_next = sigmoid_approx(load(lanes[3])) * tanh_approx(c_next);
  store(lanes[0], c_next);
  store(lanes[1], h_next);
  std::memcpy(c + j, lanes[0], bytes);
  std::memcpy(h + j, lanes[1], bytes);
  std::memcpy(out + j, lanes[1], bytes);
}

LORVANE_ALWAYS_INLINE void update_rows(const float* gates, float* h, float* c, float* out, std::int64_t out_stride,
                                       std::int64_t rows, std::int64_t hidden) {
  for (std::int64_t r = 0; r < rows; ++r) {
    const float* g = gates + r * 4 * hidden;
    float* h_row = h + r * hidden;
    float* c_row = c + r * hidden;
    float* out_row = out + r * out_stride;
    std::int64_t j = 0;
    for (; j + kLanes <= hidden; j += kLanes) {
      const Floats c_next = sigmoid_approx(load(g + hidden + j)) * load(c_row + j) +
                            sigmoid_approx(load(g + j)) * tanh_approx(load(g + 2 * hidden + j));
      const Floats h_next = sigmoid_approx(load(g + 3 * hidden + j)) * tanh_approx(c_next);
      store(c_row + j, c_next);
      store(h_row + j, h_next);
      store(out_row + j, h_next);
    }
    if (j < hidden) update_lanes(g, h_row, c_row, out_row, hidden, j, hidden - j);
  }
}

LORVANE_ALWAYS_INLINE float horizontal_sum(Floats value) {
  float lanes[kLanes];
  std::memcpy(lanes, &value, sizeof value);
  return ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
}

// Outputs [first, first + Outputs) of Rows rows: Outputs x Rows independent
// accumulators, so that neither the weight loads nor the additions wait on
// one another.
template <int Rows, int Outputs>
LORVANE_ALWAYS_INLINE void product_block(const float* weight, const float* h, float* gates, std::int64_t first,
                                         std::int64_t hidden) {
  Floats sums[Outputs][Rows] = {};
  std::int64_t j = 0;
  // The constant loops unroll fully, which keeps the accumulators in registers.
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

template <int Rows>
LORVANE_ALWAYS_INLINE void product_rows(const float* weight, const float* h, float* gates, std::int64_t hidden) {
  constexpr int kOutputs = Rows <= 2 ? 4 : 2;
  const std::int64_t outputs = 4 * hidden;  // a multiple of 4
  for (std::int64_t first = 0; first < outputs; first += kOutputs) {
    product_block<Rows, kOutputs>(weight, h, gates, first, hidden);
  }
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

__attribute__((target("avx2,fma"))) void update_rows_avx2(const float* gates, float* h, float* c, float* out,
                                                              std::int64_t out_stride, std::int64_t rows,
                                                              std::int64_t hidden) {
  update_rows(gates, h, c, out, out_stride, rows, hidden);
}

void update_rows_portable(const float* gates, float* h, float* c, float* out, std::int64_t out_stride,
                          std::int64_t rows, std::int64_t hidden) {
  update_rows(gates, h, c, out, out_stride, rows, hidden);
}

bool has_avx2() {
  static const bool supported = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return supported;
}

}  // namespace

void update_lstm_cells(const float* gates, float* h, float* c, float* out, std::int64_t out_stride,
                       std::int64_t rows, std::int64_t hidden) {
  if (has_avx2()) {
    update_rows_avx2(gates, h, c, out, out_stride, rows, hidden);
  } else {
    update_rows_portable(gates, h, c, out, out_stride, rows, hidden);
  }
}

void add_recurrent_product(const float* weight, const float* h, float* gates, std::int64_t rows,
                           std::int64_t hidden) {
  if (has_avx2()) {
    recurrent_product_avx2(weight, h, gates, rows, hidden);
  } else {
    recurrent_product_portable(weight, h, gates, rows, hidden);
  }
}

void update_lstm_cells(const double* gates, double* h, double* c, double* out, std::int64_t out_stride,
                       std::int64_t rows, std::int64_t hidden) {
  const auto sigmoid = [](double x) { return 1.0 / (1.0 + std::exp(-x)); };
  for (std::int64_t r = 0; r < rows; ++r) {
    const double* g = gates + r * 4 * hidden;
    for (std::int64_t j = 0; j < hidden; ++j) {
      const double c_next = sigmoid(g[hidden + j]) * c[r * hidden + j] + sigmoid(g[j]) * std::tanh(g[2 * hidden + j]);
      const double h_next = sigmoid(g[3 * hidden + j]) * std::tanh(c_next);
      c[r * hidden + j] = c_next;
      h[r * hidden + j] = h_next;
      out[r * out_stride + j] = h_next;
    }
  }
}

}  // namespace lorvane::detail
