#pragma once

// Read-only, private memory mapping of one bundle file (the tensor file or an
// artifact). Opening never blocks and accepts regular files only, so a bundle
// path naming a FIFO or a device fails instead of hanging.

#include <cstdint>
#include <filesystem>

namespace lorvane::detail {

// Not thread-safe to close; the mapped bytes may be read from any thread.
struct MappedFile {
  // Opens and maps the file. Throws ModelBundleError "cannot open tensor
  // file: ", "cannot stat tensor file: " or "cannot map tensor file: "
  // followed by the path, ": " and the reason. An empty file has no mapping.
  explicit MappedFile(const std::filesystem::path& file);
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // Unmaps and closes; size keeps its value. Idempotent.
  void close() noexcept;

  const std::uint8_t* data = nullptr;  // null for an empty file or after close
  std::uint64_t size = 0;
  std::int32_t fd = -1;
};

}  // namespace lorvane::detail
