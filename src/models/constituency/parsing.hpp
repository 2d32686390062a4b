#pragma once

// Parsing many sentences at once: the word encoder over a batch of sentences
// and the transition parser run in lockstep, one transition per sentence per
// round, so that the scorer and the stack LSTMs run as matrix products over
// the batch. Each sentence's transitions, tree and failure are its own: what
// a sentence yields does not depend on the sentences parsed beside it
// (beyond the rounding of the batched products).

#include <ATen/core/Tensor.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "lorvane/tree.hpp"
#include "models/constituency/plan_impl.hpp"

namespace lorvane::detail::constituency {

// One sentence to parse; the lists outlive the call.
struct SentenceRef {
  const std::vector<std::string>* words = nullptr;
  const std::vector<std::string>* tags = nullptr;
};

// The word vectors of several sentences: sentence i owns the n_i + 2 rows
// starting at offsets[i] (start sentinel, words, end sentinel).
struct EncodedSentences {
  at::Tensor rows;
  std::vector<std::int64_t> offsets;
};

// REQUIRES: every sentence has n >= 1 words and as many tags.
EncodedSentences encode_sentences(const ConstituencyPlan::Impl& impl, const std::vector<SentenceRef>& sentences);

// What parsing one sentence gave: its tree, or the exception that ended it.
struct ParseOutcome {
  std::optional<ConstituencyTree> tree;
  std::vector<std::int64_t> transitions;  // applied, in order; kept on request only
  std::exception_ptr error;
};

// Seconds spent in each part of parsing, summed over a call (for
// benchmarks; measured only when asked for).
struct ParseTimings {
  double word_encoder = 0;
  double scorer = 0;
  double choice = 0;       // legality, ranking and the pops of Close
  double composition = 0;  // MAX composition and tree building
  double stack_steps = 0;  // both stack LSTMs, start nodes included
};

// Runs `work`, adding its wall time to *seconds unless that is null.
template <class Work>
void timed(double* seconds, Work&& work) {
  if (seconds == nullptr) {
    work();
    return;
  }
  const auto start = std::chrono::steady_clock::now();
  work();
  *seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Parses already encoded sentences in lockstep; word_rows[i] holds sentence
// i's word vectors ([n_i + 2, H]). REQUIRES: n_i >= 1 and equal tag counts.
std::vector<ParseOutcome> parse_encoded(const ConstituencyPlan::Impl& impl, const std::vector<SentenceRef>& sentences,
                                        const std::vector<at::Tensor>& word_rows, bool keep_transitions,
                                        ParseTimings* timings = nullptr);

// Checks, encodes and parses every sentence, in batches of similar length.
// Sentences after the first one that fails its argument checks are not
// parsed (their outcome is empty), as a one-by-one run would stop there.
std::vector<ParseOutcome> parse_sentences(const ConstituencyPlan::Impl& impl,
                                          const std::vector<SentenceRef>& sentences, bool keep_transitions,
                                          ParseTimings* timings = nullptr);

// The first failure in input order, rethrown; otherwise nothing.
void rethrow_first_failure(const std::vector<ParseOutcome>& outcomes);

}  // namespace lorvane::detail::constituency
