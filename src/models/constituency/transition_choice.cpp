// The legality rules of the in-order transition system and the ranking of
// scored transitions.

#include "models/constituency/transition_choice.hpp"

#include <cmath>

namespace lorvane {
namespace detail::constituency {
namespace {

using Impl = ConstituencyPlan::Impl;

// The facts of one state that the rules read; the unary tests are made at
// most once per state, when a rule first needs them.
class Legality {
 public:
  Legality(const Impl& impl, const ParserState& state) : impl_(impl), state_(state) {
    const StackNode& last = state.transition_stack.back();
    if (last.transition) prev_ = impl.transitions[static_cast<std::size_t>(*last.transition)].kind;
  }

  bool allows(const Transition& transition) {
    switch (transition.kind) {
      case TransitionKind::Shift:
        return words_left() && (state_.open_count > 0 || start_only());
      case TransitionKind::Close:
        return allows_close();
      case TransitionKind::Open:
        return allows_open(transition);
    }
    return false;
  }

 private:
  bool words_left() const { return state_.position < state_.word_count; }
  bool start_only() const { return state_.constituent_stack.size() == 1; }
  bool prev_is_open() const { return prev_ == TransitionKind::Open; }

  // A Close right after an Open, closing the only open constituent while
  // words are left, would make a unary node over the Open's left child.
  bool allows_close() {
    if (state_.open_count <= 0) return false;
    if (!prev_is_open() || state_.open_count != 1 || !words_left()) return true;
    const std::vector<StackNode>& stack = state_.constituent_stack;
    if (stack.size() <= 2) return false;
    const std::optional<Constituent>& below = stack[stack.size() - 2].constituent;
    if (!below || !below->tree) return true;
    return !impl_.too_many_unary(*below->tree);
  }

  bool allows_open(const Transition& open) {
    if (state_.open_count > state_.word_count + 10 || prev_is_open() || start_only()) return false;
    if (impl_.root_labels.contains(open.labels.front())) return state_.open_count == 0 && !words_left();
    if (state_.open_count == 0 && words_left()) return true;
    return !top_too_many_unary();
  }

  bool top_too_many_unary() {
    if (!top_checked_) {
      const std::optional<Constituent>& top = state_.constituent_stack.back().constituent;
      top_too_many_unary_ = top && top->tree && impl_.too_many_unary(*top->tree);
      top_checked_ = true;
    }
    return top_too_many_unary_;
  }

  const Impl& impl_;
  const ParserState& state_;
  std::optional<TransitionKind> prev_;
  bool top_checked_ = false;
  bool top_too_many_unary_ = false;
};

// Whether score a ranks strictly before score b.
bool ranks_before(double a, double b) {
  if (std::isnan(a)) return false;
  return std::isnan(b) || a > b;
}

}  // namespace

bool is_legal(const Impl& impl, const ParserState& state, const Transition& transition) {
  return Legality(impl, state).allows(transition);
}

// Equal to a stable sort of the candidates followed by a scan for the first
// legal one: a later entry displaces the best so far only by ranking strictly
// before it, and legality is asked only of entries that would displace it.
std::optional<std::size_t> choose_transition(const Impl& impl, const ParserState& state, const double* scores) {
  Legality legality(impl, state);
  std::optional<std::size_t> best;
  for (std::size_t i = 0; i < impl.transitions.size(); ++i) {
    if (best && !ranks_before(scores[i], scores[*best])) continue;
    if (legality.allows(impl.transitions[i])) best = i;
  }
  return best;
}

}  // namespace detail::constituency

bool ConstituencyPlan::Impl::too_many_unary(const ConstituencyTree& tree) const {
  if (unary_limit < 0) return true;
  std::int64_t count = 0;
  const TreeNode* node = tree.node().get();
  while (node->children.size() == 1) {
    node = node->children.front().get();
    if (++count > unary_limit) return true;
  }
  return false;
}

}  // namespace lorvane
