#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace qm {

// Decoded pictures are capped so that a small compressed file cannot ask for gigabytes.
inline constexpr std::uint64_t maxImagePixels = 64ULL * 1024 * 1024;

struct RGBAImage {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint8_t> pixels;  // width * height * 4, rows top to bottom
};

// libpng / libtiff; none of these throws. Each yields nothing for bytes that do not decode in
// full or whose picture is larger than `maxImagePixels`.
std::optional<RGBAImage> decodePNG(std::span<const std::uint8_t> bytes);
std::optional<RGBAImage> decodeTIFF(std::span<const std::uint8_t> bytes);
std::optional<std::vector<std::uint8_t>> encodePNG(const RGBAImage& image);
std::optional<std::vector<std::uint8_t>> encodeTIFF(const RGBAImage& image);

// An image from PNG or TIFF bytes, as PNG bytes: PNG comes back unchanged, TIFF converted.
std::optional<std::vector<std::uint8_t>> imageAsPNG(std::span<const std::uint8_t> bytes);

}  // namespace qm
