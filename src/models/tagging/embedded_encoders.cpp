#include "models/tagging/embedded_encoders.hpp"

namespace lorvane::detail {

CharLMPair open_charlm_pair(const std::shared_ptr<const ModelBundle>& bundle, const JsonValue& root,
                            RaiseError raise, const std::string& direction_message) {
  const JsonValue& charlm = root.at("charlm", "assets");
  CharLMPair pair;
  pair.forward = std::make_unique<NativeCharLM>(bundle, "charmodel_forward.",
                                                charlm.at("forward", "assets.charlm"));
  pair.backward = std::make_unique<NativeCharLM>(bundle, "charmodel_backward.",
                                                 charlm.at("backward", "assets.charlm"));
  if (!pair.forward->is_forward() || pair.backward->is_forward()) raise(direction_message);
  return pair;
}

}  // namespace lorvane::detail
