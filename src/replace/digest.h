// SHA-256 digests, to tell whether a file is still exactly what a run left.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace replace {

// The digest of bytes, as 64 lower-case hex digits.
std::string sha256(std::string_view bytes);

// The digest of the file's content; throws std::runtime_error (naming the
// file) when it cannot be read.
std::string fileDigest(const std::filesystem::path& file);

}  // namespace replace
