#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace vantrel {

// SHA-256 of `data` (FIPS 180-4).
std::array<std::uint8_t, 32> sha256(std::string_view data);
// HMAC-SHA256 of `message` under `key` (RFC 2104).
std::array<std::uint8_t, 32> hmacSha256(std::string_view key, std::string_view message);
// Standard base64 with padding.
std::string base64(const std::uint8_t* data, std::size_t size);
// Percent-encodes everything but unreserved characters, as a URL's query value needs.
std::string urlEncode(std::string_view text);

}  // namespace vantrel
