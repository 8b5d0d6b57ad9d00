#include "HostApp/Views/QtPasteboard.h"

#include <QBuffer>
#include <QClipboard>
#include <QGuiApplication>
#include <QImage>
#include <QMimeData>
#include <QUrl>

namespace qm {

QtPasteboard::QtPasteboard() {
    connect(QGuiApplication::clipboard(), &QClipboard::dataChanged, this, [this] {
        if (!writing_) changeCount_.fetch_add(1);
    });
}

void QtPasteboard::clearContents() {
    text_.reset();
    png_.reset();
    files_.clear();
    changeCount_.fetch_add(1);
}

void QtPasteboard::publish() {
    auto* data = new QMimeData();
    if (text_) data->setText(QString::fromStdString(*text_));
    if (png_) {
        data->setData("image/png", QByteArray(reinterpret_cast<const char*>(png_->data()), static_cast<qsizetype>(png_->size())));
        QImage image;
        if (image.loadFromData(png_->data(), static_cast<int>(png_->size()), "PNG")) data->setImageData(image);
    }
    if (!files_.empty()) {
        QList<QUrl> urls;
        for (const auto& file : files_) urls.push_back(QUrl::fromLocalFile(QString::fromStdString(file.string())));
        data->setUrls(urls);
    }
    writing_ = true;
    QGuiApplication::clipboard()->setMimeData(data);
    writing_ = false;
}

void QtPasteboard::setString(const std::string& text) {
    text_ = text;
    publish();
}

void QtPasteboard::setPNGData(const std::vector<std::uint8_t>& png) {
    png_ = png;
    publish();
}

void QtPasteboard::writeImage(const std::vector<std::uint8_t>& png) { setPNGData(png); }

void QtPasteboard::writeFileURLs(const std::vector<std::filesystem::path>& files) {
    files_ = files;
    publish();
}

std::vector<std::filesystem::path> QtPasteboard::readFileURLs() const {
    std::vector<std::filesystem::path> files;
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    if (!data || !data->hasUrls()) return files;
    for (const auto& url : data->urls()) {
        if (url.isLocalFile()) files.emplace_back(url.toLocalFile().toStdString());
    }
    return files;
}

std::optional<std::string> QtPasteboard::readString() const {
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    if (!data || !data->hasText()) return std::nullopt;
    return data->text().toStdString();
}

std::optional<std::vector<std::uint8_t>> QtPasteboard::readPNGData() const {
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    if (!data) return std::nullopt;
    QByteArray bytes;
    if (data->hasFormat("image/png")) {
        bytes = data->data("image/png");
    } else if (data->hasImage()) {
        QImage image = qvariant_cast<QImage>(data->imageData());
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
    }
    if (bytes.isEmpty()) return std::nullopt;
    return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

std::optional<std::vector<std::uint8_t>> QtPasteboard::readTIFFData() const {
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    if (!data || !data->hasFormat("image/tiff")) return std::nullopt;
    QByteArray bytes = data->data("image/tiff");
    return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

}  // namespace qm
