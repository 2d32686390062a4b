#pragma once

// The boundary between a model plan and its callers. Inside, the tensor
// library reports misfits as c10::Error (with a multi-line stack trace) and
// allocations sized from a model can fail; outside, a caller sees only the
// plan's own error class with a one-line message. The plans check their
// bundles at load so that these paths are not taken; the guard keeps a
// missed case from leaking an internal type.

#include <c10/util/Exception.h>

#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "bundle/json.hpp"
#include "nn/lstm.hpp"

namespace lorvane::detail {

// The text up to its first line break.
inline std::string first_line(std::string_view text) { return std::string(text.substr(0, text.find('\n'))); }

// Rethrows the exception being handled: an unexpected failure of the tensor
// library or of an allocation as Error with a one-line message; anything
// else (the plan's own errors, bundle errors, the documented errors of bad
// input such as invalid UTF-8) unchanged. Call only inside a catch handler;
// a plan's entry point uses it as the handler of a function-try-block:
//   Document XPlan::process(Document document) const try { ... } catch (...) {
//     detail::rethrow_unexpected<XModelError>();
//   }
template <class Error>
[[noreturn]] void rethrow_unexpected() {
  try {
    throw;
  } catch (const c10::Error& error) {
    throw Error(first_line(error.what_without_backtrace()));
  } catch (const LstmShapeError& error) {
    throw Error(error.what());
  } catch (const std::bad_alloc&) {
    throw Error("the model needs more memory than is available");
  } catch (const std::length_error& error) {
    throw Error(std::string("the model's sizes exceed what can be allocated: ") + error.what());
  }
}

// rethrow_unexpected for a plan's construction, which also turns the JSON
// errors of its assets into Error with the same message.
template <class Error>
[[noreturn]] void rethrow_loading_error() {
  try {
    throw;
  } catch (const JsonError& error) {
    throw Error(error.what());
  } catch (...) {
    rethrow_unexpected<Error>();
  }
}

}  // namespace lorvane::detail
