#pragma once

// Label decoding of the tokenizer network, and the passes that finish a
// paragraph's labels. Torch-free declarations; the network itself lives in
// network.cpp. The *_with_logits forms exist for the library's own tests,
// which compare the summed head logits with an independent computation.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lorvane/tokenizer.hpp"
#include "models/tokenizer/text/units.hpp"

namespace lorvane::detail {

// Longest unit sequence the network sees at once. Longer paragraphs are run
// in windows of this size, each but the last cut back after its last
// sentence end or, without one, after its last token end before its final
// unit.
inline constexpr std::size_t kTokenizerWindow = 1000;

// Label codes, one per unit.
inline constexpr std::int64_t kLabelNone = 0;
inline constexpr std::int64_t kLabelToken = 1;
inline constexpr std::int64_t kLabelSentence = 2;
inline constexpr std::int64_t kLabelMwt = 3;
inline constexpr std::int64_t kLabelMwtSentence = 4;

inline bool is_sentence_end(std::int64_t label) noexcept {
  return label == kLabelSentence || label == kLabelMwtSentence;
}

// Summed head logits of the units whose labels were kept: three floats per
// unit (token end, sentence end, multi-word-token end; the last is 0 when the
// model has no multi-word-token heads), row-major.
using HeadLogits = std::vector<float>;

// As Impl::predict_paragraph, also filling `logits` (n x 3) when not null.
std::vector<std::int64_t> predict_paragraph_with_logits(const TokenizerPlan::Impl& plan,
                                                        const TokenizerParagraph& units,
                                                        HeadLogits* logits);

// As Impl::predict_batch, also filling one HeadLogits per paragraph (in input
// order) when `logits` is not null.
std::vector<std::vector<std::int64_t>> predict_batch_with_logits(
    const TokenizerPlan::Impl& plan, const std::vector<const TokenizerParagraph*>& paragraphs,
    std::vector<HeadLogits>* logits);

// The last unit of a paragraph always ends a sentence: 0 and 1 become 2,
// 3 becomes 4. No-op for an empty label vector.
void apply_final_unit_rule(std::vector<std::int64_t>& labels) noexcept;

// Keeps e-mail and web addresses whole: within every maximal run of units
// covered by the address pattern, labels become 0 except the run's last unit,
// which ends at least a token (a sentence or multi-word-token end there
// survives). Throws TokenizerModelError "tokenizer labels do not match the
// paragraph length" when the vectors differ in size.
void join_email_and_url_spans(const std::vector<TokenizerUnit>& units,
                              std::vector<std::int64_t>& labels);

}  // namespace lorvane::detail
