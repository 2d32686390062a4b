#include "encoders/transformer/native_transformer.hpp"

#include "lorvane/errors.hpp"

namespace lorvane::detail {

struct NativeTransformer::Impl {
  std::int64_t hidden_size = 0;
};

// The compiled-package encoder is not part of this build yet: bundles that
// need it are refused when they are opened.
NativeTransformer::NativeTransformer(std::shared_ptr<const ModelBundle>, const JsonValue&) {
  throw TransformerError("the transformer encoder is not available in this build");
}

NativeTransformer::~NativeTransformer() = default;

std::int64_t NativeTransformer::hidden_size() const noexcept { return impl_ ? impl_->hidden_size : 0; }

at::Tensor NativeTransformer::encode(const std::vector<std::string>&, bool) const {
  throw TransformerError("the transformer encoder is not available in this build");
}

}  // namespace lorvane::detail
