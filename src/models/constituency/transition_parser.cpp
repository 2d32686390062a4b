// The in-order transition parser. Every sentence keeps its own stacks and
// takes one transition per round; within a round the scorer, the composition
// of closed constituents and both stack LSTMs run once over all sentences
// that need them. Each step of a sentence is the same as in a one-sentence
// parse: end test, scores, the best-ranked legal transition, its application,
// the transition push.

#include <ATen/ops/amax.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/from_blob.h>
#include <ATen/ops/index_select.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/relu.h>
#include <ATen/ops/stack.h>
#include <c10/core/InferenceMode.h>

#include <algorithm>
#include <utility>

#include "lorvane/errors.hpp"
#include "models/constituency/parser_state.hpp"
#include "models/constituency/parsing.hpp"
#include "models/constituency/transition_choice.hpp"

namespace lorvane {
namespace detail::constituency {
namespace {

using Impl = ConstituencyPlan::Impl;

[[noreturn]] void fail(const char* message) { throw ConstituencyModelError(message); }

// One sentence being parsed.
struct Sentence {
  ParserState* state = nullptr;
  ParseOutcome* outcome = nullptr;
  bool keep_transitions = false;
  bool finished = false;  // a tree was returned or the parse failed
};

void fail_sentence(Sentence& sentence, std::exception_ptr error) {
  sentence.outcome->error = std::move(error);
  sentence.finished = true;
}

// Runs a computation shared by all the sentences; an exception ends them all.
template <class Shared>
bool run_shared(std::vector<Sentence*>& sentences, Shared&& shared) {
  try {
    shared();
    return true;
  } catch (...) {
    const std::exception_ptr error = std::current_exception();
    for (Sentence* sentence : sentences) {
      if (!sentence->finished) fail_sentence(*sentence, error);
    }
    return false;
  }
}

void drop_finished(std::vector<Sentence*>& sentences) {
  std::erase_if(sentences, [](const Sentence* sentence) { return sentence->finished; });
}

bool reached_end(const Impl& impl, const ParserState& state) {
  if (state.position != state.word_count || state.constituent_stack.size() != 2) return false;
  const std::optional<Constituent>& top = state.constituent_stack.back().constituent;
  return top && top->tree && impl.root_labels.contains(top->tree->label());
}

// Scores [sentences, T] as doubles: ReLU before every output layer, none after the last.
at::Tensor score(const Impl& impl, const std::vector<Sentence*>& sentences) {
  std::vector<at::Tensor> words, transitions, constituents;
  words.reserve(sentences.size());
  transitions.reserve(sentences.size());
  constituents.reserve(sentences.size());
  for (const Sentence* sentence : sentences) {
    const ParserState& state = *sentence->state;
    words.push_back(state.word_vectors.select(0, state.position + 1));
    transitions.push_back(state.transition_stack.back().output);
    constituents.push_back(state.constituent_stack.back().output);
  }
  at::Tensor x = at::cat({at::stack(words), at::stack(transitions), at::stack(constituents)}, 1);
  for (const auto& [weight, bias] : impl.output_layers) x = at::linear(at::relu(x), weight, bias);
  return x.to(at::kDouble).contiguous();
}

// A sentence's part of one round, between choosing and pushing.
struct Pending {
  Sentence* sentence = nullptr;
  std::int64_t transition = 0;
  std::optional<Constituent> constituent;  // to push on the constituent stack
  std::vector<Constituent> children;       // Close: left to right
  const std::vector<std::string>* labels = nullptr;
};

void begin_shift(const Impl& impl, Pending& pending) {
  ParserState& state = *pending.sentence->state;
  const auto p = static_cast<std::size_t>(state.position);
  pending.constituent = Constituent{state.preterminals[p],
                                    state.word_vectors.narrow(0, state.position + 1, 1).narrow(1, 0, impl.hidden_size),
                                    nullptr, false};
  state.position += 1;
}

void begin_open(const Impl& impl, const Transition& open, Pending& pending) {
  const at::Tensor& dummies = impl.fetched.dummy_embedding;
  if (open.open_index >= dummies.size(0)) fail("constituency Open index is outside dummy embeddings");
  pending.constituent = Constituent{std::nullopt, dummies.narrow(0, open.open_index, 1), &open.labels, true};
  pending.sentence->state->open_count += 1;
}

// Pops everything pushed after the innermost marker, the marker and the left
// child below it; the children come out left to right.
void begin_close(Pending& pending) {
  std::vector<StackNode>& stack = pending.sentence->state->constituent_stack;
  std::vector<Constituent> popped;
  while (stack.size() > 1 && !stack.back().constituent->dummy) {
    popped.push_back(std::move(*stack.back().constituent));
    stack.pop_back();
  }
  if (stack.size() == 1) fail("constituency Close has no matching Open");
  pending.labels = stack.back().constituent->labels;
  stack.pop_back();
  if (stack.size() == 1) fail("in-order constituency Close has no left child");
  popped.push_back(std::move(*stack.back().constituent));
  stack.pop_back();
  std::reverse(popped.begin(), popped.end());
  for (const Constituent& child : popped) {
    if (!child.tree) fail("constituency child is a dummy marker");
  }
  pending.children = std::move(popped);
}

void begin_transition(const Impl& impl, std::int64_t t, Pending& pending) {
  const Transition& transition = impl.transitions[static_cast<std::size_t>(t)];
  pending.transition = t;
  switch (transition.kind) {
    case TransitionKind::Shift:
      begin_shift(impl, pending);
      break;
    case TransitionKind::Open:
      begin_open(impl, transition, pending);
      break;
    case TransitionKind::Close:
      begin_close(pending);
      break;
  }
}

// MAX composition of every closing sentence's children at once:
// ReLU(reduce_linear(max over children)), one [1, H] row per sentence.
std::vector<at::Tensor> compose(const Impl& impl, const std::vector<Pending*>& closing) {
  std::vector<at::Tensor> maxima;
  maxima.reserve(closing.size());
  for (const Pending* pending : closing) {
    std::vector<at::Tensor> vectors;
    vectors.reserve(pending->children.size());
    for (const Constituent& child : pending->children) vectors.push_back(child.vector);
    maxima.push_back(at::amax(at::cat(vectors), 0));
  }
  at::Tensor composed = at::linear(at::stack(maxima), impl.fetched.reduce_weight, impl.fetched.reduce_bias);
  at::relu_(composed);
  return composed.split(1);
}

// Builds the closed constituent: L[0] over ... over L[m - 1] over the children.
void finish_close(const at::Tensor& vector, Pending& pending) {
  if (pending.labels == nullptr || pending.labels->empty()) fail("cannot build a constituent without a label");
  const std::vector<std::string>& labels = *pending.labels;
  std::vector<ConstituencyTree> children;
  children.reserve(pending.children.size());
  for (Constituent& child : pending.children) children.push_back(*child.tree);
  ConstituencyTree tree(labels.back(), std::move(children));
  for (std::size_t j = labels.size() - 1; j-- > 0;) tree = ConstituencyTree(labels[j], {tree});
  pending.constituent = Constituent{std::move(tree), vector, nullptr, false};
  pending.children.clear();
  pending.sentence->state->open_count -= 1;
}

void close_constituents(const Impl& impl, std::vector<Pending>& round) {
  std::vector<Pending*> closing;
  for (Pending& pending : round) {
    if (!pending.sentence->finished && !pending.constituent) closing.push_back(&pending);
  }
  if (closing.empty()) return;
  std::vector<Sentence*> sentences;
  for (Pending* pending : closing) sentences.push_back(pending->sentence);
  std::vector<at::Tensor> vectors;
  if (!run_shared(sentences, [&] { vectors = compose(impl, closing); })) return;
  for (std::size_t i = 0; i < closing.size(); ++i) {
    try {
      finish_close(vectors[i], *closing[i]);
    } catch (...) {
      fail_sentence(*closing[i]->sentence, std::current_exception());
    }
  }
}

// One batched step of a stack for the sentences in `pushes` order; the new
// nodes are appended to the stacks that `stack_of` names.
template <class StackOf>
void step_stacks(const StackRnn& rnn, std::vector<Sentence*>& sentences, const at::Tensor& inputs,
                 std::vector<Push>& pushes, StackOf&& stack_of) {
  if (pushes.empty()) return;
  std::vector<StackNode> nodes;
  if (!run_shared(sentences, [&] { nodes = stack_steps(rnn, inputs, pushes); })) return;
  for (std::size_t i = 0; i < nodes.size(); ++i) stack_of(*sentences[i]).push_back(std::move(nodes[i]));
}

void push_constituents(const Impl& impl, std::vector<Pending>& round) {
  const StackRnn rnn = constituent_rnn(impl);
  std::vector<Sentence*> sentences;
  std::vector<Push> pushes;
  std::vector<at::Tensor> inputs;
  for (Pending& pending : round) {
    Sentence& sentence = *pending.sentence;
    if (sentence.finished) continue;
    try {
      const at::Tensor& vector = pending.constituent->vector;
      at::Tensor input = vector.select(0, vector.size(0) - 1);
      check_stack_input(input);
      check_stack_state(sentence.state->constituent_stack.back(), rnn);
      inputs.push_back(std::move(input));
      pushes.push_back({&sentence.state->constituent_stack.back(), std::move(pending.constituent), std::nullopt});
      sentences.push_back(&sentence);
    } catch (...) {
      fail_sentence(sentence, std::current_exception());
    }
  }
  if (pushes.empty()) return;
  at::Tensor batch;
  if (!run_shared(sentences, [&] { batch = at::stack(inputs); })) return;
  step_stacks(rnn, sentences, batch, pushes,
              [](Sentence& sentence) -> std::vector<StackNode>& { return sentence.state->constituent_stack; });
}

void push_transitions(const Impl& impl, std::vector<Pending>& round) {
  const StackRnn rnn = transition_rnn(impl);
  const at::Tensor& embedding = impl.fetched.transition_embedding;
  std::vector<Sentence*> sentences;
  std::vector<Push> pushes;
  std::vector<std::int64_t> rows;
  for (Pending& pending : round) {
    Sentence& sentence = *pending.sentence;
    if (sentence.finished) continue;
    try {
      check_stack_input(embedding.select(0, pending.transition));
      check_stack_state(sentence.state->transition_stack.back(), rnn);
      pushes.push_back({&sentence.state->transition_stack.back(), std::nullopt, pending.transition});
      rows.push_back(pending.transition);
      sentences.push_back(&sentence);
    } catch (...) {
      fail_sentence(sentence, std::current_exception());
    }
  }
  if (pushes.empty()) return;
  at::Tensor batch;
  const auto index = [&] { return at::from_blob(rows.data(), {static_cast<std::int64_t>(rows.size())}, at::kLong); };
  if (!run_shared(sentences, [&] { batch = embedding.index_select(0, index()); })) return;
  step_stacks(rnn, sentences, batch, pushes,
              [](Sentence& sentence) -> std::vector<StackNode>& { return sentence.state->transition_stack; });
  for (Sentence* sentence : sentences) {
    if (sentence->finished) continue;
    sentence->state->steps += 1;
  }
}

// The best-ranked legal transition of every sentence, checked against the
// limit and begun; a sentence without one fails.
void choose_transitions(const Impl& impl, std::vector<Sentence*>& active, const at::Tensor& scores,
                        std::vector<Pending>& round) {
  const auto count = static_cast<std::size_t>(scores.size(1));
  const double* rows = scores.data_ptr<double>();
  for (std::size_t i = 0; i < active.size(); ++i) {
    Sentence& sentence = *active[i];
    try {
      const std::optional<std::size_t> chosen = choose_transition(impl, *sentence.state, rows + i * count);
      if (!chosen) fail("constituency parser could not find a legal transition");
      const auto words = static_cast<std::uint64_t>(sentence.state->word_count);
      if (sentence.state->steps >= 20 * (words + 2)) fail("constituency parser exceeded its transition limit");
      round.push_back({&sentence, 0, std::nullopt, {}, nullptr});
      begin_transition(impl, static_cast<std::int64_t>(*chosen), round.back());
      if (sentence.keep_transitions) sentence.outcome->transitions.push_back(round.back().transition);
    } catch (...) {
      fail_sentence(sentence, std::current_exception());
    }
  }
}

// One round: the end test, then one transition for every sentence still parsing.
void run_round(const Impl& impl, std::vector<Sentence*>& active, ParseTimings* timings) {
  const auto slot = [&](double ParseTimings::*member) { return timings ? &(timings->*member) : nullptr; };
  for (Sentence* sentence : active) {
    if (!reached_end(impl, *sentence->state)) continue;
    sentence->outcome->tree = sentence->state->constituent_stack.back().constituent->tree;
    sentence->finished = true;
  }
  drop_finished(active);
  if (active.empty()) return;

  at::Tensor scores;
  bool scored = false;
  timed(slot(&ParseTimings::scorer), [&] {
    scored = run_shared(active, [&] {
      scores = score(impl, active);
      if (scores.dim() != 2 || scores.size(1) != static_cast<std::int64_t>(impl.transitions.size())) {
        fail("constituency output layer has the wrong shape");
      }
    });
  });
  if (!scored) return;
  std::vector<Pending> round;
  round.reserve(active.size());
  timed(slot(&ParseTimings::choice), [&] { choose_transitions(impl, active, scores, round); });
  timed(slot(&ParseTimings::composition), [&] { close_constituents(impl, round); });
  timed(slot(&ParseTimings::stack_steps), [&] {
    push_constituents(impl, round);
    push_transitions(impl, round);
  });
  drop_finished(active);
}

std::vector<ConstituencyTree> make_preterminals(const SentenceRef& sentence) {
  std::vector<ConstituencyTree> preterminals;
  preterminals.reserve(sentence.words->size());
  for (std::size_t i = 0; i < sentence.words->size(); ++i) {
    preterminals.emplace_back((*sentence.tags)[i], std::vector<ConstituencyTree>{ConstituencyTree((*sentence.words)[i], {})});
  }
  return preterminals;
}

}  // namespace

std::vector<ParseOutcome> parse_encoded(const Impl& impl, const std::vector<SentenceRef>& sentences,
                                        const std::vector<at::Tensor>& word_rows, bool keep_transitions,
                                        ParseTimings* timings) {
  c10::InferenceMode guard;
  std::vector<ParseOutcome> outcomes(sentences.size());
  std::vector<ParserState> states(sentences.size());
  std::vector<Sentence> parses(sentences.size());
  std::vector<Sentence*> active;
  for (std::size_t i = 0; i < sentences.size(); ++i) {
    Sentence& parse = parses[i];
    parse.state = &states[i];
    parse.outcome = &outcomes[i];
    parse.keep_transitions = keep_transitions;
    const auto n = static_cast<std::int64_t>(sentences[i].words->size());
    if (word_rows[i].dim() < 1 || word_rows[i].size(0) != n + 2) {
      fail_sentence(parse, std::make_exception_ptr(
                               ConstituencyModelError("constituency word encoder omitted sentence sentinels")));
      continue;
    }
    parse.state->word_vectors = word_rows[i];
    parse.state->preterminals = make_preterminals(sentences[i]);
    parse.state->word_count = n;
    active.push_back(&parse);
  }
  if (active.empty()) return outcomes;

  // The start nodes depend on the weights alone: built once, shared by all.
  StackNode transition_start, constituent_start;
  bool started = false;
  timed(timings ? &timings->stack_steps : nullptr, [&] {
    started = run_shared(active, [&] {
      transition_start = start_node(transition_rnn(impl), impl.transition_stack_state, impl.fetched.transition_start);
      constituent_start = start_node(constituent_rnn(impl), impl.constituent_stack_state, impl.fetched.constituent_start);
    });
  });
  if (!started) return outcomes;
  for (Sentence* parse : active) {
    parse->state->transition_stack.push_back(transition_start);
    parse->state->constituent_stack.push_back(constituent_start);
  }
  while (!active.empty()) run_round(impl, active, timings);
  return outcomes;
}

void apply_transition(const Impl& impl, ParserState& state, std::int64_t transition) {
  ParseOutcome outcome;
  Sentence sentence{&state, &outcome, false, false};
  std::vector<Pending> round(1);
  round.front().sentence = &sentence;
  try {
    begin_transition(impl, transition, round.front());
  } catch (...) {
    fail_sentence(sentence, std::current_exception());
  }
  close_constituents(impl, round);
  push_constituents(impl, round);
  if (outcome.error) std::rethrow_exception(outcome.error);
}

}  // namespace detail::constituency

ConstituencyTree ConstituencyPlan::Impl::parse(const std::vector<std::string>& words,
                                               const std::vector<std::string>& tags) const {
  const std::vector<detail::constituency::ParseOutcome> outcomes =
      detail::constituency::parse_sentences(*this, {{&words, &tags}}, false);
  detail::constituency::rethrow_first_failure(outcomes);
  return *outcomes.front().tree;
}

}  // namespace lorvane
