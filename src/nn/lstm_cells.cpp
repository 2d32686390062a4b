#include "nn/lstm_cells.hpp"

#include <ATen/Version.h>

#include <cmath>

// Without AVX the eight-float vectors of the shared kernels are lowered to
// SSE pairs and passed in memory; both compilers warn that this differs from
// the AVX convention, which no call here crosses (the AVX2 unit is reached
// through plain pointers only).
#pragma GCC diagnostic ignored "-Wpsabi"
#include "nn/lstm_cell_kernels.hpp"

namespace lorvane::detail {
namespace {

// The AVX2 unit runs where the processor has AVX2 and FMA, unless libtorch's
// own kernel set was lowered to the baseline (ATEN_CPU_CAPABILITY=default):
// then both run the baseline code, as on a processor without AVX2.
bool use_avx2() {
  static const bool supported = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
                                at::get_cpu_capability() != "DEFAULT";
  return supported;
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

}  // namespace

void update_lstm_cells(const float* gates, float* h, float* c, float* out, std::int64_t out_stride,
                       std::int64_t rows, std::int64_t hidden) {
  if (use_avx2()) {
    avx2::update_lstm_cells(gates, h, c, out, out_stride, rows, hidden);
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
  if (use_avx2()) {
    avx2::add_recurrent_product(weight, h, gates, rows, hidden);
  } else {
    recurrent_product(weight, h, gates, rows, hidden);
  }
}

}  // namespace lorvane::detail
