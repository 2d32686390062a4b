#pragma once

// The element-wise half of an LSTM step, fused into one pass over the rows:
// gate activations, the new cell state and the new hidden state, and the
// recurrent product of steps of a few rows. The interface is torch-free.
//
// Float kernels come in two builds, chosen once per process: AVX2 with FMA
// where the processor has both, and the baseline x86-64 instruction set
// elsewhere, or where libtorch's own kernel set was lowered to its baseline
// (ATEN_CPU_CAPABILITY=default), so that such a run exercises the code a
// processor without AVX2 would run.

#include <cstdint>

namespace lorvane::detail {

// For every row r < rows and unit j < hidden, with the row's pre-activation
// gates g = gates + r * 4 * hidden in libtorch's order (input, forget, cell,
// output; both matrix products and both biases already added):
//   c' = sigmoid(g_f) * c + sigmoid(g_i) * tanh(g_c),  h' = sigmoid(g_o) * tanh(c')
// c and h (row stride hidden) are updated in place; h' is also written to
// out (row stride out_stride). The AVX2 float build evaluates exp and tanh
// with vectorised polynomials accurate to a few units in the last place; the
// baseline build and the double version call the C library.
void update_lstm_cells(const float* gates, float* h, float* c, float* out, std::int64_t out_stride,
                       std::int64_t rows, std::int64_t hidden);
void update_lstm_cells(const double* gates, double* h, double* c, double* out, std::int64_t out_stride,
                       std::int64_t rows, std::int64_t hidden);

// gates[r, o] += sum_j weight[o, j] * h[r, j] for r < rows and o < 4 * hidden:
// the recurrent product of a step, for steps of a few rows, where a general
// matrix product costs more in setting up than in computing. `weight` is
// row-major [4 * hidden, hidden] (libtorch's weight_hh layout), h is
// [rows, hidden] and gates [rows, 4 * hidden], both row-major.
void add_recurrent_product(const float* weight, const float* h, float* gates, std::int64_t rows,
                           std::int64_t hidden);

}  // namespace lorvane::detail
