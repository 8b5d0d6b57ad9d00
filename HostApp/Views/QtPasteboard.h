#pragma once

#include <QObject>
#include <atomic>

#include "Platform/Pasteboard.h"

namespace qm {

// The desktop clipboard through Qt (X11 selections are Qt's to serve): text, images and file
// lists. Use it on the main thread only, as the clipboard bridge does. The change count moves
// when another application copies and when this one starts a new item.
class QtPasteboard final : public QObject, public Pasteboard {
public:
    QtPasteboard();
    std::int64_t changeCount() const override { return changeCount_.load(); }
    void clearContents() override;
    void setString(const std::string& text) override;
    void setPNGData(const std::vector<std::uint8_t>& png) override;
    void writeImage(const std::vector<std::uint8_t>& png) override;
    void writeFileURLs(const std::vector<std::filesystem::path>& files) override;
    std::vector<std::filesystem::path> readFileURLs() const override;
    std::optional<std::string> readString() const override;
    std::optional<std::vector<std::uint8_t>> readPNGData() const override;
    std::optional<std::vector<std::uint8_t>> readTIFFData() const override;

private:
    // Publishes what was written since clearContents as one item.
    void publish();
    std::atomic<std::int64_t> changeCount_{0};
    bool writing_ = false;
    std::optional<std::string> text_;
    std::optional<std::vector<std::uint8_t>> png_;
    std::vector<std::filesystem::path> files_;
};

}  // namespace qm
