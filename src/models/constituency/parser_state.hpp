#pragma once

// The state of one parse: the transition stack and the constituent stack,
// each summarised by its own LSTM. Every node stores the LSTM state reached
// after its own push, so a push is one LSTM step from the node below and a pop
// just drops the top node. Exists only during one parse.

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "lorvane/tree.hpp"
#include "models/constituency/plan_impl.hpp"
#include "nn/lstm.hpp"

namespace lorvane::detail::constituency {

// What a constituent-stack node stands for: a shifted word (its
// preterminal), a constituent built by Close, or the dummy marker of an Open.
struct Constituent {
  std::optional<ConstituencyTree> tree;  // none for a dummy marker
  at::Tensor vector;                     // [1, hidden_size]; the stack LSTM reads its last row
  const std::vector<std::string>* labels = nullptr;  // a marker's Open labels (in the plan's table)
  bool dummy = false;
};

struct StackNode {
  std::optional<Constituent> constituent;  // constituent-stack nodes but the start node
  std::optional<std::int64_t> transition;  // transition-stack nodes but the start node
  at::Tensor h;                            // [layers, H] after this node's step
  at::Tensor c;                            // [layers, H]
  at::Tensor output;                       // [H], the top layer's output
};

struct ParserState {
  at::Tensor word_vectors;  // [n + 2, H]: start sentinel, words, end sentinel
  std::vector<ConstituencyTree> preterminals;
  std::vector<StackNode> transition_stack;   // bottom first; [0] is the start node
  std::vector<StackNode> constituent_stack;  // bottom first; [0] is the start node
  std::int64_t word_count = 0;
  std::int64_t position = 0;    // words shifted so far
  std::int64_t open_count = 0;  // Opens applied minus Closes applied
  std::uint64_t steps = 0;      // transitions applied
};

// One stack's LSTM.
struct StackRnn {
  const LstmWeights* weights = nullptr;
  std::int64_t hidden = 0;
  std::int64_t layers = 0;
};

StackRnn transition_rnn(const ConstituencyPlan::Impl& impl);
StackRnn constituent_rnn(const ConstituencyPlan::Impl& impl);

// ConstituencyModelError "constituency stack input is not a vector" unless
// the input has one dimension and at least one element.
void check_stack_input(const at::Tensor& input);
// ConstituencyModelError "constituency stack state has the wrong shape"
// unless the node's h and c are [layers, hidden].
void check_stack_state(const StackNode& below, const StackRnn& rnn);

// One push request of a batched stack step.
struct Push {
  const StackNode* below = nullptr;
  std::optional<Constituent> constituent;
  std::optional<std::int64_t> transition;
};

// One LSTM step for every request at once; inputs is [requests, I], row r the
// input of request r. REQUIRES: the checks above passed for every request.
// The new nodes come back in request order.
std::vector<StackNode> stack_steps(const StackRnn& rnn, const at::Tensor& inputs, std::vector<Push>& pushes);

// One checked LSTM step from `below` over a one-dimensional input.
StackNode stack_step(const StackNode& below, const at::Tensor& input, const StackRnn& rnn,
                     std::optional<Constituent> constituent, std::optional<std::int64_t> transition);

// The bottom node of a stack: with a start embedding, the LSTM's response to
// it from the zero state; without, the zero state itself.
StackNode start_node(const StackRnn& rnn, const LstmState& zeros, const at::Tensor& start_embedding);

// Applies one table entry to the state as a parse step does, up to and
// including the constituent push (the transition push is separate).
void apply_transition(const ConstituencyPlan::Impl& impl, ParserState& state, std::int64_t transition);

void push_constituent(const ConstituencyPlan::Impl& impl, ParserState& state, Constituent constituent);
void push_transition(const ConstituencyPlan::Impl& impl, ParserState& state, std::int64_t transition);

}  // namespace lorvane::detail::constituency
