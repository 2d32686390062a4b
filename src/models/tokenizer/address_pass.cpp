// Keeps e-mail and web addresses in one token whatever the network predicted
// inside them.

#include <string>

#include "lorvane/errors.hpp"
#include "models/tokenizer/network.hpp"
#include "models/tokenizer/text/patterns.hpp"
#include "models/tokenizer/text/units.hpp"

namespace lorvane::detail {
namespace {

// Units [first, last] form one address: no break inside it, and a token
// ends at its last unit (a stronger end predicted there stays).
void join_run(std::vector<std::int64_t>& labels, std::size_t first, std::size_t last) {
  for (std::size_t i = first; i < last; ++i) labels[i] = kLabelNone;
  if (labels[last] == kLabelNone) labels[last] = kLabelToken;
}

}  // namespace

void join_email_and_url_spans(const std::vector<TokenizerUnit>& units,
                              std::vector<std::int64_t>& labels) {
  if (labels.size() != units.size()) {
    throw TokenizerModelError("tokenizer labels do not match the paragraph length");
  }
  const std::string joined = join_unit_texts(units);
  // Every address holds an at sign or a full stop; most paragraphs are
  // spared the pattern altogether.
  if (joined.find_first_of("@.") == std::string::npos) return;

  std::vector<float> marks(units.size(), 0.0f);
  mark_pattern_matches(joined, TokenizerPattern::email_or_url, marks);
  std::size_t i = 0;
  while (i < marks.size()) {
    if (marks[i] == 0.0f) {
      ++i;
      continue;
    }
    std::size_t last = i;
    while (last + 1 < marks.size() && marks[last + 1] != 0.0f) ++last;
    join_run(labels, i, last);
    i = last + 1;
  }
}

}  // namespace lorvane::detail
