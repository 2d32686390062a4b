#pragma once

// What every model plan does first: open its bundle and make sure it was
// converted for the plan's processor. Also the refusals of model kinds whose
// native implementation is not part of this build.

#include <filesystem>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "lorvane/bundle.hpp"

namespace lorvane::detail {

// Throws a plan's own error type. Shared mechanisms (tensor tables, readers)
// take one of these so that each plan reports failures as its own error class.
using RaiseError = void (*)(const std::string& message);

template <class Error>
[[noreturn]] void raise(const std::string& message) {
  throw Error(message);
}

// Opens the bundle and checks that its manifest names one of `processors`.
// Bundle errors propagate as ModelBundleError; another processor throws Error
// "expected <described> bundle, got '<manifest processor>'", where
// `described` carries its article ("a POS", "an MWT", "a lemma or MWT").
template <class Error>
std::shared_ptr<const ModelBundle> open_bundle_for(std::filesystem::path bundle_dir,
                                                   bool verify_checksums,
                                                   std::initializer_list<std::string_view> processors,
                                                   std::string_view described) {
  auto bundle = std::make_shared<const ModelBundle>(std::move(bundle_dir), verify_checksums);
  for (std::string_view processor : processors) {
    if (bundle->processor() == processor) return bundle;
  }
  throw Error("expected " + std::string(described) + " bundle, got '" + bundle->processor() + "'");
}

template <class Error>
std::shared_ptr<const ModelBundle> open_bundle_for(std::filesystem::path bundle_dir,
                                                   bool verify_checksums,
                                                   std::string_view processor,
                                                   std::string_view described) {
  return open_bundle_for<Error>(std::move(bundle_dir), verify_checksums,
                                std::initializer_list<std::string_view>{processor}, described);
}

// "the native POS model is not available in this build"
inline std::string model_not_available(std::string_view model) {
  return "the native " + std::string(model) + " model is not available in this build";
}

// "no native coref model profile is supported"
inline std::string no_model_profile(std::string_view model) {
  return "no native " + std::string(model) + " model profile is supported";
}

// The Impl of a plan, or std::logic_error when the plan was moved from.
template <class Impl>
const Impl& loaded_impl(const std::unique_ptr<Impl>& impl, std::string_view plan) {
  if (!impl) throw std::logic_error("the " + std::string(plan) + " plan has been moved from");
  return *impl;
}

}  // namespace lorvane::detail
