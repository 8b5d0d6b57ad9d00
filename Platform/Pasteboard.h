#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace qm {

// The system clipboard as the clipboard bridge needs it. Writing follows the usual pasteboard
// discipline: `clearContents()` starts a new generation (and moves the change count), the
// writes after it add representations of that one item.
class Pasteboard {
public:
    virtual ~Pasteboard() = default;

    // Moves whenever the contents are replaced, by this process or another.
    virtual std::int64_t changeCount() const = 0;
    virtual void clearContents() = 0;

    virtual void setString(const std::string& text) = 0;
    // Bytes under the PNG type, unchanged.
    virtual void setPNGData(const std::vector<std::uint8_t>& png) = 0;
    // An image object; given here as PNG bytes the pasteboard may render to any image type.
    virtual void writeImage(const std::vector<std::uint8_t>& png) = 0;
    virtual void writeFileURLs(const std::vector<std::filesystem::path>& files) = 0;

    virtual std::vector<std::filesystem::path> readFileURLs() const = 0;
    virtual std::optional<std::string> readString() const = 0;
    virtual std::optional<std::vector<std::uint8_t>> readPNGData() const = 0;
    virtual std::optional<std::vector<std::uint8_t>> readTIFFData() const = 0;
};

// A pasteboard held in memory: the Host's default until a desktop clipboard is attached, and
// what tests script. Thread-safe. The `copy...` calls stand for another application copying
// (clear, then write), so each moves the change count once.
class InMemoryPasteboard final : public Pasteboard {
public:
    std::int64_t changeCount() const override;
    void clearContents() override;
    void setString(const std::string& text) override;
    void setPNGData(const std::vector<std::uint8_t>& png) override;
    void writeImage(const std::vector<std::uint8_t>& png) override;
    void writeFileURLs(const std::vector<std::filesystem::path>& files) override;
    std::vector<std::filesystem::path> readFileURLs() const override;
    std::optional<std::string> readString() const override;
    std::optional<std::vector<std::uint8_t>> readPNGData() const override;
    std::optional<std::vector<std::uint8_t>> readTIFFData() const override;

    void copyText(const std::string& text);
    void copyPNG(const std::vector<std::uint8_t>& png);
    void copyTIFF(const std::vector<std::uint8_t>& tiff);
    void copyFiles(const std::vector<std::filesystem::path>& files, const std::string& alsoText = {});

    // What was last written as an image object (PNG bytes), if anything.
    std::optional<std::vector<std::uint8_t>> image() const;

private:
    mutable std::mutex mutex_;
    std::int64_t changeCount_ = 0;
    std::optional<std::string> text_;
    std::optional<std::vector<std::uint8_t>> png_;
    std::optional<std::vector<std::uint8_t>> tiff_;
    std::optional<std::vector<std::uint8_t>> image_;
    std::vector<std::filesystem::path> files_;
};

}  // namespace qm
