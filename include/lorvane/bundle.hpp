#pragma once

// Converted model bundles: a directory with "manifest.json", an assets JSON
// file, one memory-mapped tensor file and optional artifact files, plus the
// model index that names the bundle of each processor and package.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "lorvane/errors.hpp"
#include "lorvane/export.hpp"

namespace lorvane {

// One entry of a bundle's tensor table. The bytes are little-endian, row-major
// as each model plan interprets them, at [offset, offset + nbytes) of the
// tensor file.
// Safe to share across threads: a plain value.
struct LORVANE_EXPORT TensorDescriptor {
  std::string name;
  std::string dtype;                // "float32", "int64", ... (exact, case-sensitive)
  std::vector<std::int64_t> shape;  // empty for a scalar
  std::uint64_t offset = 0;         // multiple of the manifest's tensor alignment
  std::uint64_t nbytes = 0;         // element size times the product of shape
  std::string sha256;               // manifest digest text, checked only on verification
};

// An opened model bundle: manifest fields, the assets text and the tensor table
// over the read-only mapping of the tensor file. Opening reads the manifest and
// the assets file only; tensor bytes are read when checksums are verified or
// when a model touches them.
// Safe to share across threads: immutable after construction, all operations const.
class LORVANE_EXPORT ModelBundle {
 public:
  // Opens the bundle directory. Every problem with the bundle throws
  // ModelBundleError; with verify_checksums every SHA-256 digest of the
  // manifest is checked before the constructor returns. Failures to make the
  // path absolute or to query its status (an empty path, a vanished working
  // directory, a symbolic-link loop) propagate as
  // std::filesystem::filesystem_error.
  ModelBundle(std::filesystem::path path, bool verify_checksums);
  ModelBundle(ModelBundle&& other) noexcept;
  ModelBundle& operator=(ModelBundle&& other) noexcept;
  ModelBundle(const ModelBundle&) = delete;
  ModelBundle& operator=(const ModelBundle&) = delete;
  ~ModelBundle();

  // The bundle directory as given, made absolute (not normalised).
  const std::filesystem::path& path() const;
  const std::string& language() const;
  const std::string& processor() const;
  const std::string& package() const;
  const std::string& tavrin_version() const;
  const std::string& resources_version() const;
  // True exactly when the bundle was opened with verify_checksums.
  bool checksums_verified() const;
  // The assets file's text, unparsed.
  const std::string& assets_json() const;

  std::uint64_t tensor_file_size() const;
  // Descriptors in manifest order (ascending offsets).
  const std::vector<TensorDescriptor>& tensors() const;
  std::vector<std::string> tensor_names() const;
  // Throws ModelBundleError "tensor is not present in bundle: '<name>'".
  const TensorDescriptor& tensor(std::string_view name) const;
  // First byte of the tensor inside the read-only mapping (null base for an
  // empty tensor file). Valid while the bundle lives; never write through it.
  // The address is aligned to the manifest's tensor alignment only, which may
  // be less than the element size: view tensors through the library's tensor
  // view helper rather than casting this pointer to a typed one.
  const void* tensor_data(std::string_view name) const;

  struct Impl;
  // For the library's own components and tests. Throws std::logic_error on a
  // moved-from bundle, as every accessor does.
  const Impl& impl() const;

 private:
  std::unique_ptr<Impl> impl_;
};

// The bundle directory serving a processor and package: the absolute form of
// model_dir / resources_version / language joined with the relative path that
// the model index "index.json" there gives. The package "default" matches every
// entry of the processor. Every failure throws ModelBundleError.
LORVANE_EXPORT std::filesystem::path resolve_model_bundle(const std::filesystem::path& model_dir,
                                                          std::string_view resources_version,
                                                          std::string_view language,
                                                          std::string_view processor,
                                                          std::string_view package);

}  // namespace lorvane
