// The AVX2 and FMA half of lstm_cells: this file alone is compiled with
// -mavx2 -mfma (see src/CMakeLists.txt), so its vectors pass in AVX
// registers under every compiler's rules.

#include <immintrin.h>

#include "nn/lstm_cell_kernels.hpp"

// Two of SLEEF's 8-lane functions, exported by libtorch (which bundles SLEEF
// for its own vectorised kernels).
extern "C" {
__m256 Sleef_expf8_u10avx2(__m256);
__m256 Sleef_tanhf8_u10avx2(__m256);
}

namespace lorvane::detail {
namespace {

// SLEEF's vector exp and tanh are accurate to one unit in the last place, so
// that results round as closely as libtorch's own kernels do.
LORVANE_ALWAYS_INLINE Floats exp_lanes(Floats x) { return (Floats)Sleef_expf8_u10avx2((__m256)x); }
LORVANE_ALWAYS_INLINE Floats tanh_lanes(Floats x) { return (Floats)Sleef_tanhf8_u10avx2((__m256)x); }
LORVANE_ALWAYS_INLINE Floats sigmoid_lanes(Floats x) { return 1.0f / (1.0f + exp_lanes(-x)); }

// Eight units of one row: the gate pre-activations at i, f, g, o and the
// cell state at c; returns the new cell state and sets `h_next`.
LORVANE_ALWAYS_INLINE Floats cell_lanes(Floats i, Floats f, Floats g, Floats o, Floats c, Floats& h_next) {
  const Floats c_next = sigmoid_lanes(f) * c + sigmoid_lanes(i) * tanh_lanes(g);
  h_next = sigmoid_lanes(o) * tanh_lanes(c_next);
  return c_next;
}

}  // namespace

void avx2::update_lstm_cells(const float* gates, float* h, float* c, float* out, std::int64_t out_stride,
                             std::int64_t rows, std::int64_t hidden) {
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

void avx2::add_recurrent_product(const float* weight, const float* h, float* gates, std::int64_t rows,
                                 std::int64_t hidden) {
  recurrent_product(weight, h, gates, rows, hidden);
}

}  // namespace lorvane::detail
