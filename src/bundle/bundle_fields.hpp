#pragma once

// Readers of manifest and index fields shared by the bundle loader and the
// model index: file names inside a bundle, non-negative integers, single path
// components, and JSON files that must be regular files.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "bundle/json.hpp"

namespace lorvane::detail {

// A string naming a file inside the bundle (or the model index's directory).
// Throws ModelBundleError "bundle path must be non-empty and relative at
// <context>", "bundle path may not contain NUL bytes at <context>" or "bundle
// path may not traverse parents at <context>"; a non-string is the JSON
// kind-mismatch error. The path is returned as written (not normalised).
std::filesystem::path bundle_relative_path(const JsonValue& value, std::string_view context);

// A JSON integer that is not negative. Throws "expected a non-negative integer
// at <context>" (ModelBundleError) or the JSON kind-mismatch error.
std::uint64_t non_negative_integer(const JsonValue& value, std::string_view context);

// Throws ModelBundleError "invalid <word>: <value>" unless the value is a safe
// single path component: non-empty, not "." or "..", and made only of ASCII
// letters, digits, '.', '-' and '_'.
void validate_model_name(std::string_view value, std::string_view word);

// load_text_file / load_json for a file that must be a regular file. A path
// naming a FIFO, device or directory throws JsonError "cannot open JSON file:
// <path>: not a regular file" instead of blocking; a missing file keeps
// load_text_file's message.
std::string load_regular_text_file(const std::filesystem::path& path);
JsonValue load_regular_json(const std::filesystem::path& path);

}  // namespace lorvane::detail
