#include "HostApp/App/TransferCenterRows.h"

#include "QuillmereProfiles/UI/TransferProgressWindow.h"

namespace qm {

namespace {

class TransferCenterRows final : public FileTransferRows {
public:
    explicit TransferCenterRows(std::shared_ptr<FileTransferCenter> center)
        : center_(std::move(center)), window_(std::make_shared<TransferCenterWindow>(center_)) {
        // Closing the progress window, or its last row going, takes the sheets' parent away too.
        std::weak_ptr<TransferCenterWindow> weak = window_;
        center_->onWindowFollowed = [weak] {
            if (auto window = weak.lock()) window->follow();
        };
    }

    void addTask(const UUID& batchID, FileTransferDirection direction, const std::string& peerLabel,
                 std::int64_t fileCount, std::uint64_t totalBytes, const std::vector<std::string>& itemNames,
                 std::function<void()> onCancel) override {
        center_->addTask({batchID, direction, peerLabel, fileCount, totalBytes, itemNames}, std::move(onCancel));
    }
    void updateProgress(const UUID& batchID, std::uint64_t bytes, std::uint64_t total) override {
        center_->updateProgress(batchID, bytes, total);
    }
    void setSubtitle(const UUID& batchID, const std::string& text) override { center_->setSubtitle(batchID, text); }
    void completeTask(const UUID& batchID, const std::string& summary, double autoCloseDelay) override {
        center_->completeTask(batchID, summary, autoCloseDelay);
    }
    void failTask(const UUID& batchID, const std::string& message) override { center_->failTask(batchID, message); }
    void orderFront() override { center_->orderFront(); }
    std::shared_ptr<WindowModel> foregroundPresentationWindow() override {
        if (!center_->foregroundPresentationWindow()) return nullptr;
        window_->follow();
        return window_;
    }

private:
    std::shared_ptr<FileTransferCenter> center_;
    std::shared_ptr<TransferCenterWindow> window_;
};

}  // namespace

TransferCenterWindow::TransferCenterWindow(std::shared_ptr<FileTransferCenter> center) : center_(center) { follow(); }

void TransferCenterWindow::follow() {
    auto center = center_.lock();
    const auto* window = center ? &center->window() : nullptr;
    if (!window || !*window) {
        if (visible()) close();
        return;
    }
    setTitle((*window)->title);
    if ((*window)->visible && (!visible() || ((*window)->key && !isKey()))) {
        (*window)->key ? makeKeyAndOrderFront() : orderFront();
    } else if (!(*window)->visible && visible()) {
        close();
    }
}

std::shared_ptr<FileTransferRows> makeTransferCenterRows(std::shared_ptr<FileTransferCenter> center) {
    return std::make_shared<TransferCenterRows>(std::move(center));
}

}  // namespace qm
