#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include "Platform/Core/ByteIO.h"

namespace qm::test {

// `n` bytes that are the same for the same seed: file contents that compress badly and compare exactly.
Bytes randomBytes(std::size_t n, unsigned seed);

// Writes `data` to `path`, making its folders first.
void writeFile(const std::filesystem::path& path, const Bytes& data);
// The same for text.
void writeText(const std::filesystem::path& path, const std::string& text);

// A file's bytes, or its bytes as text; empty when it cannot be read.
Bytes fileBytes(const std::filesystem::path& path);
std::string fileText(const std::filesystem::path& path);

}  // namespace qm::test
