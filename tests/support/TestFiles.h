#pragma once

#include <cstddef>
#include <filesystem>

#include "Platform/Core/ByteIO.h"

namespace qm::test {

// `n` bytes that are the same for the same seed: file contents that compress badly and compare exactly.
Bytes randomBytes(std::size_t n, unsigned seed);

// Writes `data` to `path`, making its folders first.
void writeFile(const std::filesystem::path& path, const Bytes& data);

}  // namespace qm::test
