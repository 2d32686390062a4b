#pragma once

// The forward and backward character language models that a tagger or
// parser bundle may carry under its assets' "charlm" object.

#include <memory>
#include <string>

#include "bundle/json.hpp"
#include "encoders/charlm/native_charlm.hpp"
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

}  // namespace lorvane::detail
