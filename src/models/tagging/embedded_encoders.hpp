#pragma once

// The encoders a tagger or parser bundle embeds besides its own weights: the
// forward and backward character language models under its assets' "charlm"
// object, and a transformer under "transformer".

#include <memory>
#include <string>
#include <utility>

#include "bundle/json.hpp"
#include "encoders/charlm/native_charlm.hpp"
#include "encoders/transformer/native_transformer.hpp"
#include "lorvane/bundle.hpp"
#include "nn/plan_loading.hpp"

namespace lorvane::detail {

struct CharLMPair {
  std::unique_ptr<NativeCharLM> forward;
  std::unique_ptr<NativeCharLM> backward;
};

// Builds the models from the root's "charlm" object (members "forward" and
// "backward", tensors under "charmodel_forward." and "charmodel_backward."),
// forward first. A model in the wrong slot is refused through `raise` with
// `direction_message`. The models' own errors pass unchanged.
CharLMPair open_charlm_pair(const std::shared_ptr<const ModelBundle>& bundle, const JsonValue& root,
                            RaiseError raise, const std::string& direction_message);

// Opens what the plan's configuration asks for, character language models
// first: `impl` is the plan's private implementation, whose `use_charlm` and
// `use_transformer` say which, and whose `forward_charlm`, `backward_charlm`
// and `transformer` receive them. Errors as open_charlm_pair and the
// transformer's own.
template <class Impl>
void open_embedded_encoders(Impl& impl, const JsonValue& root, RaiseError raise,
                            const std::string& direction_message) {
  if (impl.use_charlm) {
    CharLMPair charlms = open_charlm_pair(impl.bundle, root, raise, direction_message);
    impl.forward_charlm = std::move(charlms.forward);
    impl.backward_charlm = std::move(charlms.backward);
  }
  if (impl.use_transformer) {
    impl.transformer = std::make_unique<NativeTransformer>(impl.bundle, root.at("transformer", "assets"));
  }
}

}  // namespace lorvane::detail
