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

// Width and height from a TIFF's first directory, read without touching its pixel data;
// nothing for bytes that are no TIFF.
struct ImageDimensions {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};
std::optional<ImageDimensions> tiffDimensions(std::span<const std::uint8_t> bytes);

// An image from PNG or TIFF bytes, as PNG bytes: PNG comes back unchanged, TIFF converted.
std::optional<std::vector<std::uint8_t>> imageAsPNG(std::span<const std::uint8_t> bytes);

}  // namespace qm
