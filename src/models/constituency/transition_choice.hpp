#pragma once

// Which transitions a parser state allows, and which one a step applies.

#include <cstddef>
#include <optional>

#include "models/constituency/parser_state.hpp"

namespace lorvane::detail::constituency {

// Whether the state allows the transition (the in-order legality rules).
bool is_legal(const ConstituencyPlan::Impl& impl, const ParserState& state, const Transition& transition);

// The transition a step applies: the first legal table entry when the
// entries are ranked by score, higher first, equal scores in table order and
// NaN scores after every number (in table order). `scores` holds one score
// per table entry. Nothing when no entry is legal.
std::optional<std::size_t> choose_transition(const ConstituencyPlan::Impl& impl, const ParserState& state,
                                             const double* scores);

}  // namespace lorvane::detail::constituency
