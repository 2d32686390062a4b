// The stack LSTM steps: one LSTM step per push, for one node or for a batch
// of pushes (one per sentence) at once.

#include <ATen/ops/stack.h>

#include <utility>

#include "lorvane/errors.hpp"
#include "models/constituency/parser_state.hpp"

namespace lorvane::detail::constituency {

StackRnn transition_rnn(const ConstituencyPlan::Impl& impl) {
  return {&impl.transition_stack_weights, impl.transition_hidden_size, impl.num_lstm_layers};
}

StackRnn constituent_rnn(const ConstituencyPlan::Impl& impl) {
  return {&impl.constituent_stack_weights, impl.hidden_size, impl.num_lstm_layers};
}

void check_stack_input(const at::Tensor& input) {
  if (input.dim() != 1 || input.numel() == 0) throw ConstituencyModelError("constituency stack input is not a vector");
}

void check_stack_state(const StackNode& below, const StackRnn& rnn) {
  const auto fits = [&](const at::Tensor& state) {
    return state.dim() == 2 && state.size(0) == rnn.layers && state.size(1) == rnn.hidden;
  };
  if (!fits(below.h) || !fits(below.c)) throw ConstituencyModelError("constituency stack state has the wrong shape");
}

std::vector<StackNode> stack_steps(const StackRnn& rnn, const at::Tensor& inputs, std::vector<Push>& pushes) {
  std::vector<at::Tensor> hs, cs;
  hs.reserve(pushes.size());
  cs.reserve(pushes.size());
  for (const Push& push : pushes) {
    hs.push_back(push.below->h);
    cs.push_back(push.below->c);
  }
  const at::Tensor h0 = at::stack(hs);  // [requests, layers, H]
  const at::Tensor c0 = at::stack(cs);
  std::vector<at::Tensor> h_layers, c_layers;
  h_layers.reserve(static_cast<std::size_t>(rnn.layers));
  c_layers.reserve(static_cast<std::size_t>(rnn.layers));
  at::Tensor x = inputs;
  for (std::int64_t layer = 0; layer < rnn.layers; ++layer) {
    LstmState next = lstm_cell(x, h0.select(1, layer), c0.select(1, layer), rnn.weights->weight_ih(layer, 0),
                               rnn.weights->weight_hh(layer, 0), rnn.weights->bias_ih(layer, 0),
                               rnn.weights->bias_hh(layer, 0));
    x = next.h;
    h_layers.push_back(std::move(next.h));
    c_layers.push_back(std::move(next.c));
  }
  const std::vector<at::Tensor> h = at::stack(h_layers, 1).unbind(0);
  const std::vector<at::Tensor> c = at::stack(c_layers, 1).unbind(0);
  const std::vector<at::Tensor> output = x.unbind(0);
  std::vector<StackNode> nodes;
  nodes.reserve(pushes.size());
  for (std::size_t i = 0; i < pushes.size(); ++i) {
    nodes.push_back({std::move(pushes[i].constituent), pushes[i].transition, h[i], c[i], output[i]});
  }
  return nodes;
}

StackNode stack_step(const StackNode& below, const at::Tensor& input, const StackRnn& rnn,
                     std::optional<Constituent> constituent, std::optional<std::int64_t> transition) {
  check_stack_input(input);
  check_stack_state(below, rnn);
  std::vector<Push> push;
  push.push_back({&below, std::move(constituent), transition});
  return std::move(stack_steps(rnn, input.unsqueeze(0), push).front());
}

StackNode start_node(const StackRnn& rnn, const LstmState& zeros, const at::Tensor& start_embedding) {
  StackNode zero{std::nullopt, std::nullopt, zeros.h.squeeze(1), zeros.c.squeeze(1), {}};
  if (!start_embedding.defined()) {
    zero.output = zero.h.select(0, zero.h.size(0) - 1);
    return zero;
  }
  std::vector<Push> push;
  push.push_back({&zero, std::nullopt, std::nullopt});
  return std::move(stack_steps(rnn, start_embedding.reshape({1, -1}), push).front());
}

void push_constituent(const ConstituencyPlan::Impl& impl, ParserState& state, Constituent constituent) {
  const at::Tensor input = constituent.vector.select(0, constituent.vector.size(0) - 1);
  StackNode node = stack_step(state.constituent_stack.back(), input, constituent_rnn(impl), std::move(constituent),
                              std::nullopt);
  state.constituent_stack.push_back(std::move(node));
}

void push_transition(const ConstituencyPlan::Impl& impl, ParserState& state, std::int64_t transition) {
  const at::Tensor input = impl.fetched.transition_embedding.select(0, transition);
  StackNode node = stack_step(state.transition_stack.back(), input, transition_rnn(impl), std::nullopt, transition);
  state.transition_stack.push_back(std::move(node));
}

}  // namespace lorvane::detail::constituency
