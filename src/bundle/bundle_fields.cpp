#include "bundle/bundle_fields.hpp"

#include <sys/stat.h>

#include "lorvane/errors.hpp"

namespace lorvane::detail {
namespace {

std::string at_context(std::string_view message, std::string_view context) {
  std::string out(message);
  out += " at ";
  out += context;
  return out;
}

bool is_model_name_byte(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
         c == '_';
}

}  // namespace

std::filesystem::path bundle_relative_path(const JsonValue& value, std::string_view context) {
  const std::string& text = value.as_string(context);
  const std::filesystem::path path(text);
  if (path.empty() || path.has_root_directory()) {
    throw ModelBundleError(at_context("bundle path must be non-empty and relative", context));
  }
  // The operating system would stop at the first NUL and open another file
  // than the one checked here.
  if (text.find('\0') != std::string::npos) {
    throw ModelBundleError(at_context("bundle path may not contain NUL bytes", context));
  }
  for (const auto& element : path) {
    if (element == "..") throw ModelBundleError(at_context("bundle path may not traverse parents", context));
  }
  return path;
}

std::uint64_t non_negative_integer(const JsonValue& value, std::string_view context) {
  const std::int64_t number = value.as_integer(context);
  if (number < 0) throw ModelBundleError(at_context("expected a non-negative integer", context));
  return static_cast<std::uint64_t>(number);
}

void validate_model_name(std::string_view value, std::string_view word) {
  bool safe = !value.empty() && value != "." && value != "..";
  for (char c : value) safe = safe && is_model_name_byte(c);
  if (!safe) {
    std::string message = "invalid ";
    message += word;
    message += ": ";
    message += value;
    throw ModelBundleError(message);
  }
}

std::string load_regular_text_file(const std::filesystem::path& path) {
  // A missing or unreadable file is left to load_text_file, whose message
  // callers rely on; only files that exist and are not regular are refused.
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
    throw JsonError("cannot open JSON file: " + path.string() + ": not a regular file");
  }
  return load_text_file(path);
}

JsonValue load_regular_json(const std::filesystem::path& path) { return parse_json(load_regular_text_file(path)); }

}  // namespace lorvane::detail
