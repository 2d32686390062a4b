#pragma once

// SHA-256 (FIPS 180-4) for bundle checksums. Uses the processor's SHA
// extensions when it has them and a portable implementation otherwise; both
// give identical digests.

#include <cstdint>
#include <string>

namespace lorvane::detail {

// The digest as 64 lowercase hexadecimal digits. data may be null when size is 0.
// Safe to call from any thread: keeps no state between calls.
std::string sha256_hex(const void* data, std::uint64_t size);

enum class Sha256Engine { kPortable, kHardware };

// True when the processor has the SHA extensions (and SSSE3/SSE4.1) that the
// hardware engine needs.
bool sha256_hardware_available() noexcept;
// The engine sha256_hex uses.
Sha256Engine sha256_default_engine() noexcept;
// The digest computed by one engine; throws std::logic_error when the hardware
// engine is asked for on a processor without it.
std::string sha256_hex_with(Sha256Engine engine, const void* data, std::uint64_t size);

}  // namespace lorvane::detail
