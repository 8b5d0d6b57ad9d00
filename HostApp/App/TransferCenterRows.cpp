#include "HostApp/App/TransferCenterRows.h"

#include "QuillmereProfiles/UI/TransferProgressWindow.h"

namespace qm {

namespace {

class TransferCenterRows final : public FileTransferRows {
public:
    explicit TransferCenterRows(std::shared_ptr<FileTransferCenter> center) : center_(std::move(center)) {}

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
    // The progress window is drawn by its own view rather than as a window model, so it cannot
    // parent a sheet: it comes to the front, and the folder panel and conflict alerts take the
    // application's own window instead.
    std::shared_ptr<WindowModel> foregroundPresentationWindow() override {
        center_->orderFront();
        return nullptr;
    }

private:
    std::shared_ptr<FileTransferCenter> center_;
};

}  // namespace

std::shared_ptr<FileTransferRows> makeTransferCenterRows(std::shared_ptr<FileTransferCenter> center) {
    return std::make_shared<TransferCenterRows>(std::move(center));
}

}  // namespace qm
