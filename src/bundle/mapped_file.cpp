#include "bundle/mapped_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <system_error>

#include "lorvane/errors.hpp"

namespace lorvane::detail {
namespace {

std::string error_text(int error) { return std::system_category().message(error); }

[[noreturn]] void fail(const char* what, const std::filesystem::path& file, const std::string& reason) {
  throw ModelBundleError(std::string("cannot ") + what + " tensor file: " + file.string() + ": " + reason);
}

}  // namespace

MappedFile::MappedFile(const std::filesystem::path& file) {
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  const int opened = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (opened < 0) fail("open", file, error_text(errno));
  fd = opened;

  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    const std::string reason = error_text(errno);
    close();
    fail("stat", file, reason);
  }
  if (!S_ISREG(status.st_mode)) {
    close();
    fail("open", file, "not a regular file");
  }
  if (status.st_size < 0) {
    close();
    fail("stat", file, error_text(EOVERFLOW));
  }
  size = static_cast<std::uint64_t>(status.st_size);
  if (size == 0) return;
  if (size > SIZE_MAX) {
    close();
    fail("map", file, error_text(EFBIG));
  }

  void* mapped = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_PRIVATE, fd, 0);
  if (mapped == MAP_FAILED) {
    const std::string reason = error_text(errno);
    close();
    fail("map", file, reason);
  }
  data = static_cast<const std::uint8_t*>(mapped);
}

MappedFile::~MappedFile() { close(); }

void MappedFile::close() noexcept {
  if (data != nullptr) {
    ::munmap(const_cast<std::uint8_t*>(data), static_cast<std::size_t>(size));
    data = nullptr;
  }
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

}  // namespace lorvane::detail
