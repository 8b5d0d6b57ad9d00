#include "Platform/Pasteboard.h"

namespace qm {

std::int64_t InMemoryPasteboard::changeCount() const {
    std::lock_guard lock(mutex_);
    return changeCount_;
}

void InMemoryPasteboard::clearContents() {
    std::lock_guard lock(mutex_);
    ++changeCount_;
    text_.reset();
    png_.reset();
    tiff_.reset();
    image_.reset();
    files_.clear();
}

void InMemoryPasteboard::setString(const std::string& text) {
    std::lock_guard lock(mutex_);
    text_ = text;
}

void InMemoryPasteboard::setPNGData(const std::vector<std::uint8_t>& png) {
    std::lock_guard lock(mutex_);
    png_ = png;
}

void InMemoryPasteboard::writeImage(const std::vector<std::uint8_t>& png) {
    std::lock_guard lock(mutex_);
    image_ = png;
}

void InMemoryPasteboard::writeFileURLs(const std::vector<std::filesystem::path>& files) {
    std::lock_guard lock(mutex_);
    files_.insert(files_.end(), files.begin(), files.end());
}

std::vector<std::filesystem::path> InMemoryPasteboard::readFileURLs() const {
    std::lock_guard lock(mutex_);
    return files_;
}

std::optional<std::string> InMemoryPasteboard::readString() const {
    std::lock_guard lock(mutex_);
    return text_;
}

std::optional<std::vector<std::uint8_t>> InMemoryPasteboard::readPNGData() const {
    std::lock_guard lock(mutex_);
    return png_;
}

std::optional<std::vector<std::uint8_t>> InMemoryPasteboard::readTIFFData() const {
    std::lock_guard lock(mutex_);
    return tiff_;
}

std::optional<std::vector<std::uint8_t>> InMemoryPasteboard::image() const {
    std::lock_guard lock(mutex_);
    return image_;
}

void InMemoryPasteboard::copyText(const std::string& text) {
    clearContents();
    setString(text);
}

void InMemoryPasteboard::copyPNG(const std::vector<std::uint8_t>& png) {
    clearContents();
    setPNGData(png);
}

void InMemoryPasteboard::copyTIFF(const std::vector<std::uint8_t>& tiff) {
    clearContents();
    std::lock_guard lock(mutex_);
    tiff_ = tiff;
}

void InMemoryPasteboard::copyFiles(const std::vector<std::filesystem::path>& files, const std::string& alsoText) {
    clearContents();
    writeFileURLs(files);
    if (!alsoText.empty()) setString(alsoText);
}

}  // namespace qm
