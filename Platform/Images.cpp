#include "Platform/Images.h"

#include <png.h>
#include <sys/mman.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace qm {

namespace {

bool sizeAllowed(std::uint64_t width, std::uint64_t height) {
    return width > 0 && height > 0 && width * height <= maxImagePixels;
}

// libtiff works on descriptors; an anonymous memory file keeps everything off the disk.
class MemoryFile {
public:
    MemoryFile() : fd_(memfd_create("quillmere-image", MFD_CLOEXEC)) {}
    ~MemoryFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    int fd() const { return fd_; }
    bool write(std::span<const std::uint8_t> bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            auto n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return ::lseek(fd_, 0, SEEK_SET) == 0;
    }
    std::optional<std::vector<std::uint8_t>> readAll() {
        auto end = ::lseek(fd_, 0, SEEK_END);
        if (end < 0 || ::lseek(fd_, 0, SEEK_SET) != 0) return std::nullopt;
        std::vector<std::uint8_t> out(static_cast<std::size_t>(end));
        std::size_t done = 0;
        while (done < out.size()) {
            auto n = ::read(fd_, out.data() + done, out.size() - done);
            if (n <= 0) return std::nullopt;
            done += static_cast<std::size_t>(n);
        }
        return out;
    }

private:
    int fd_;
};

// libtiff reports through global handlers; the Host has no use for its chatter.
void silenceTIFF() {
    static const bool once = [] {
        TIFFSetWarningHandler(nullptr);
        TIFFSetErrorHandler(nullptr);
        return true;
    }();
    (void)once;
}

// TIFFClose closes the descriptor it was given (a failed open does not), so it gets its own.
TIFF* openTIFF(int fd, const char* mode) {
    const int own = ::dup(fd);
    if (own < 0) return nullptr;
    TIFF* tiff = TIFFFdOpen(own, "clipboard", mode);
    if (!tiff) ::close(own);
    return tiff;
}

// Read-only client procedures over bytes in memory, so that looking at a header copies nothing.
struct MemoryReader {
    std::span<const std::uint8_t> bytes;
    std::uint64_t at = 0;
};

tmsize_t memoryRead(thandle_t handle, void* buffer, tmsize_t size) {
    auto& reader = *static_cast<MemoryReader*>(handle);
    if (size <= 0 || reader.at >= reader.bytes.size()) return 0;
    const auto n = std::min<std::uint64_t>(static_cast<std::uint64_t>(size), reader.bytes.size() - reader.at);
    std::memcpy(buffer, reader.bytes.data() + reader.at, n);
    reader.at += n;
    return static_cast<tmsize_t>(n);
}

tmsize_t memoryWrite(thandle_t, void*, tmsize_t) { return -1; }

toff_t memorySeek(thandle_t handle, toff_t offset, int whence) {
    auto& reader = *static_cast<MemoryReader*>(handle);
    std::uint64_t base = 0;
    if (whence == SEEK_CUR) base = reader.at;
    if (whence == SEEK_END) base = reader.bytes.size();
    if (offset > std::numeric_limits<std::uint64_t>::max() - base) return static_cast<toff_t>(-1);
    reader.at = base + offset;
    return reader.at;
}

int memoryClose(thandle_t) { return 0; }
toff_t memorySize(thandle_t handle) { return static_cast<MemoryReader*>(handle)->bytes.size(); }
int memoryMap(thandle_t, void**, toff_t*) { return 0; }
void memoryUnmap(thandle_t, void*, toff_t) {}

}  // namespace

std::optional<ImageDimensions> tiffDimensions(std::span<const std::uint8_t> bytes) {
    silenceTIFF();
    if (bytes.size() < 8) return std::nullopt;
    MemoryReader reader{bytes};
    // Opening reads the header and the first directory's tags; no strip or tile is read.
    TIFF* tiff = TIFFClientOpen("clipboard", "rm", &reader, memoryRead, memoryWrite, memorySeek, memoryClose,
                                memorySize, memoryMap, memoryUnmap);
    if (!tiff) return std::nullopt;
    ImageDimensions size;
    const bool known = TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &size.width) == 1 &&
                       TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &size.height) == 1;
    TIFFClose(tiff);
    if (!known) return std::nullopt;
    return size;
}

std::optional<RGBAImage> decodePNG(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 8 || png_sig_cmp(bytes.data(), 0, 8) != 0) return std::nullopt;
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) return std::nullopt;
    if (!sizeAllowed(image.width, image.height)) {
        png_image_free(&image);
        return std::nullopt;
    }
    image.format = PNG_FORMAT_RGBA;
    RGBAImage out;
    out.width = image.width;
    out.height = image.height;
    out.pixels.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, out.pixels.data(), 0, nullptr)) {
        png_image_free(&image);
        return std::nullopt;
    }
    return out;
}

std::optional<std::vector<std::uint8_t>> encodePNG(const RGBAImage& source) {
    if (!sizeAllowed(source.width, source.height) ||
        source.pixels.size() != std::size_t{source.width} * source.height * 4)
        return std::nullopt;
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = source.width;
    image.height = source.height;
    image.format = PNG_FORMAT_RGBA;
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&image, nullptr, &size, 0, source.pixels.data(), 0, nullptr)) return std::nullopt;
    std::vector<std::uint8_t> out(size);
    if (!png_image_write_to_memory(&image, out.data(), &size, 0, source.pixels.data(), 0, nullptr)) return std::nullopt;
    out.resize(size);
    return out;
}

std::optional<RGBAImage> decodeTIFF(std::span<const std::uint8_t> bytes) {
    silenceTIFF();
    if (bytes.size() < 8) return std::nullopt;
    MemoryFile file;
    if (file.fd() < 0 || !file.write(bytes)) return std::nullopt;
    TIFF* tiff = openTIFF(file.fd(), "rm");
    if (!tiff) return std::nullopt;
    std::uint32_t width = 0, height = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    std::optional<RGBAImage> result;
    if (sizeAllowed(width, height)) {
        std::vector<std::uint32_t> raster(std::size_t{width} * height);
        if (TIFFReadRGBAImageOriented(tiff, width, height, raster.data(), ORIENTATION_TOPLEFT, 0)) {
            RGBAImage out;
            out.width = width;
            out.height = height;
            out.pixels.resize(raster.size() * 4);
            for (std::size_t i = 0; i < raster.size(); ++i) {
                out.pixels[i * 4 + 0] = static_cast<std::uint8_t>(TIFFGetR(raster[i]));
                out.pixels[i * 4 + 1] = static_cast<std::uint8_t>(TIFFGetG(raster[i]));
                out.pixels[i * 4 + 2] = static_cast<std::uint8_t>(TIFFGetB(raster[i]));
                out.pixels[i * 4 + 3] = static_cast<std::uint8_t>(TIFFGetA(raster[i]));
            }
            result = std::move(out);
        }
    }
    TIFFClose(tiff);
    return result;
}

std::optional<std::vector<std::uint8_t>> encodeTIFF(const RGBAImage& source) {
    silenceTIFF();
    if (!sizeAllowed(source.width, source.height) ||
        source.pixels.size() != std::size_t{source.width} * source.height * 4)
        return std::nullopt;
    MemoryFile file;
    if (file.fd() < 0) return std::nullopt;
    TIFF* tiff = openTIFF(file.fd(), "w");
    if (!tiff) return std::nullopt;
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, source.width);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, source.height);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 4);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    std::uint16_t extra = EXTRASAMPLE_UNASSALPHA;
    TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, &extra);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, source.height);
    bool ok = true;
    for (std::uint32_t row = 0; row < source.height && ok; ++row) {
        auto* line = const_cast<std::uint8_t*>(source.pixels.data() + std::size_t{row} * source.width * 4);
        ok = TIFFWriteScanline(tiff, line, row, 0) == 1;
    }
    TIFFClose(tiff);
    if (!ok) return std::nullopt;
    return file.readAll();
}

std::optional<std::vector<std::uint8_t>> imageAsPNG(std::span<const std::uint8_t> bytes) {
    if (decodePNG(bytes)) return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
    if (auto picture = decodeTIFF(bytes)) return encodePNG(*picture);
    return std::nullopt;
}

}  // namespace qm
