#pragma once

// What a lemma plan reads from its assets (the settings and the dictionary),
// the dictionary look-up, and the check of the model against the settings.

#include <string>
#include <string_view>

#include "bundle/json.hpp"
#include "models/lemma/plan_impl.hpp"

namespace lorvane::detail {

// dict_only, ensemble_dict and pos from "config" (false when absent or null,
// and all false when "config" is null or not an object), then caseless: the
// top-level "caseless" unless it is absent or null, else the one in "config".
// JSON errors leave as detail::JsonError ("missing JSON key 'config' at
// assets", "expected JSON boolean at assets.config.<key>" or at
// assets.caseless).
void read_lemma_settings(const JsonValue& root, LemmaPlan::Impl& plan);

// The "pos_dict" member of the assets root: one entry map per member (also
// for a member without lemmas), word keys as written, null lemmas skipped.
// JSON errors (a missing or non-object "pos_dict", a member that is not an
// object, a lemma that is neither a string nor null) leave as detail::JsonError
// under assets.pos_dict[.<POS key>].
LemmaDictionary read_lemma_dictionary(const JsonValue& root);

// Throws LemmaModelError "lemma config and seq2seq POS settings disagree"
// unless the model reads POS tags exactly when the settings say so.
void require_same_pos_setting(bool pos, const Seq2SeqPlan& model);

// The stored lemma of `key` under `pos_key`, else under "*", else null.
const std::string* find_lemma(const LemmaDictionary& dictionary, std::string_view pos_key, std::string_view key);

}  // namespace lorvane::detail
