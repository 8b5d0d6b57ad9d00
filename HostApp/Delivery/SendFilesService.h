#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "HostApp/App/ViewModels.h"
#include "Platform/Core/DispatchQueue.h"
#include "Platform/UserDefaults.h"
#include "QuillmereProfiles/UI/SendDestinationPicker.h"

namespace qm {

class V230HostAudioAuxServer;
class FileTransferService;

// What a send-files request hands over: the representations a file manager may put on the
// service pasteboard. Each may be empty.
struct SendFilesPasteboard {
    // URL objects read with file URLs only ("file:///..." texts).
    std::vector<std::string> urlObjects;
    // The "NSFilenamesPboardType" property list, when it is a list of strings: plain paths.
    std::optional<std::vector<std::string>> filenames;
    // Each item's string for the file-URL type ("public.file-url"), when it has one.
    std::vector<std::optional<std::string>> itemFileURLs;
};

// The Host's user sends files to Viewers: the desktop's send-files entry (the file manager's
// action, `QuillmereHost --send-files FILE...`) hands the files over, the destination picker asks
// which Viewer and which of its folders, and the file-transfer service sends them as a plain copy
// to that Viewer or to all of them. Main queue only.
class SendFilesService : public std::enable_shared_from_this<SendFilesService> {
public:
    static inline const std::string noFilesError = "No files were provided to Corventis Host.";
    static inline const std::string fallbackEntryID = "viewer";

    struct Environment {
        DispatchQueuePtr mainQueue;
        std::function<std::shared_ptr<V230HostAudioAuxServer>()> server;
        std::shared_ptr<FileTransferService> files;
        std::shared_ptr<UserDefaults> defaults;
        std::function<void()> activateApplication;
        // Runs an alert as a sheet of the summary window.
        std::function<void(const AlertModel&, std::function<void(int)>)> runHostModalAlert;
        // Gives the picker a view.
        SendDestinationPicker::Presenter presentPicker;
        std::function<void(const std::string&)> log;
        std::function<void(const std::string& reason)> invalidateInboundFileClipboardClaim;
        // The one-line summary of the connected Viewers' names.
        std::function<std::string(const std::vector<std::string>&)> viewerDisplayNameSummary;
        std::string localHome;  // for the picker's folder labels; empty: $HOME
    };

    static std::shared_ptr<SendFilesService> create(Environment environment);

    // The five send-files messages share this body: false with `error` set when no file was
    // handed over; otherwise the picker follows on the main queue and this returns at once.
    bool handleServicesMessage(const SendFilesPasteboard& pasteboard, std::string* error);
    // The file URLs on a pasteboard, in order, without duplicates.
    static std::vector<std::filesystem::path> serviceFileURLs(const SendFilesPasteboard& pasteboard);
    // The no-Viewer alert, or the destination picker. While that alert is up, a request made
    // with no Viewer signed in opens nothing and its files are dropped: they cannot be sent, and
    // the alert asks the user to connect a Viewer and try again.
    void presentSendDestinationPicker(const std::vector<std::filesystem::path>& urls);
    // The picker's entries: one per Viewer with a file channel, else one standing for all.
    std::vector<SendDestinationOption> destinationOptions(V230HostAudioAuxServer& server) const;
    void dispatchSendToViewer(const std::vector<std::filesystem::path>& urls, const std::string& destination,
                              const std::string& routingToken);

    // The path of a "file:" URL text (percent escapes decoded); none for other URLs.
    static std::optional<std::filesystem::path> filePathOfURL(const std::string& url);

    // The picker on screen, if any.
    std::shared_ptr<SendDestinationPicker::PickerController> activePicker() const { return picker_; }

private:
    explicit SendFilesService(Environment environment) : env_(std::move(environment)) {}
    void log(const std::string& line) const {
        if (env_.log) env_.log(line);
    }

    void presentNextWaiting();

    Environment env_;
    std::shared_ptr<SendDestinationPicker::PickerController> picker_;  // while it is open
    // Requests that came while the picker was open, oldest first.
    std::vector<std::vector<std::filesystem::path>> waiting_;
    // Alive while the no-Viewer alert is up: its completion holds it, so an alert that goes
    // without an answer (or never shows) lets it go too.
    std::weak_ptr<void> noViewerAlert_;
};

// How `QuillmereHost --send-files FILE...` hands its files to the running Host over the local
// socket: one line, a tag, then each absolute path behind a tab with '%', control bytes and DEL
// percent-escaped.
struct SendFilesHandOff {
    static inline const std::string tag = "quillmere-send-files";
    static std::string encode(const std::vector<std::filesystem::path>& files);
    // The files of a hand-off line; none when the line is not one (or names no file).
    static std::optional<std::vector<std::filesystem::path>> decode(const std::string& line);
    // The arguments after "--send-files", made absolute against `workingDirectory`; none when
    // the flag is absent.
    static std::optional<std::vector<std::filesystem::path>> filesFromArguments(
        const std::vector<std::string>& arguments, const std::filesystem::path& workingDirectory);
};

}  // namespace qm
