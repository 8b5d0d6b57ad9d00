// Sending the Host's files to Viewers through the application as `main` builds it: the
// send-files messages, the no-Viewer alert, the destination picker's entries and remembered
// choice, where the batch goes, and the hand-off of `--send-files` over the local socket.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "HostApp/Delivery/SendFilesService.h"
#include "HostApp/Server/SessionTables.h"
#include "QuillmereProfiles/FileTransferService.h"
#include "support/AppHarness.h"
#include "support/ServerInspector.h"

namespace qm::test {
namespace SendFilesTests {
namespace {

using Controller = SendDestinationPicker::PickerController;

class SendFiles : public ::testing::Test {
protected:
    AppHarness app;
    TemporaryDirectory folder;

    void SetUp() override { app.launch(); }
    void pump() { app.host.clock().runUntilIdle(); }
    std::filesystem::path file(const std::string& name, const std::string& content = "contents") {
        const auto path = folder.path() / name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
    std::unique_ptr<InMemoryViewer> viewer(const std::string& name) {
        auto signedIn = std::make_unique<InMemoryViewer>(app.host, app.host.server().boundPorts().control, name);
        pump();
        signedIn->takeAll();
        return signedIn;
    }
    // The file-transfer packets a Viewer received since the last call, in order.
    std::vector<FileTransferPacket> received(InMemoryViewer& from) {
        pump();
        std::vector<FileTransferPacket> packets;
        for (const auto& frame : from.takeAll()) {
            if (frame.header.type != AuxPacketType::fileTransfer) continue;
            if (auto packet = FileTransferPacket::decode(frame.payload)) packets.push_back(*packet);
        }
        return packets;
    }
    static std::vector<FileTransferOp> ops(const std::vector<FileTransferPacket>& packets) {
        std::vector<FileTransferOp> result;
        for (const auto& packet : packets) result.push_back(packet.op);
        return result;
    }
    std::shared_ptr<Controller> request(const std::vector<std::filesystem::path>& files) {
        const auto before = app.shell->pickers.size();
        app.delegate->handleSendFilesRequest(files);
        pump();
        return app.shell->pickers.size() > before ? app.shell->pickers.back() : nullptr;
    }
    UUID sessionNamed(const std::string& name) {
        auto& tables = ServerInspector(app.host.server()).sessions();
        for (const auto& id : tables.authorizedAudioSessions()) {
            if (tables.displayName(id) == name) return id;
        }
        throw std::runtime_error("no session named " + name);
    }
};

TEST_F(SendFiles, ThePasteboardGivesEachFileOnceInOrderAndNothingElse) {
    SendFilesPasteboard pasteboard;
    pasteboard.urlObjects = {"file:///tmp/a%20b.txt", "FILE://localhost/tmp/c", "file://server/share/x",
                             "https://example.test/y", "file:///tmp/bad%2", "file:///tmp/nul%00"};
    pasteboard.filenames = std::vector<std::string>{"/tmp/a b.txt", "/tmp/d/", "relative/e"};
    pasteboard.itemFileURLs = {std::string("file:///tmp/d"), std::nullopt, std::string("file:///tmp/./f#frag")};
    EXPECT_EQ(SendFilesService::serviceFileURLs(pasteboard),
              (std::vector<std::filesystem::path>{"/tmp/a b.txt", "/tmp/c", "/tmp/d/", "/tmp/./f"}));
}

TEST_F(SendFiles, AMessageWithoutFilesFailsWithItsTextAndShowsNothing) {
    SendFilesPasteboard pasteboard;
    pasteboard.urlObjects = {"https://example.test/"};
    std::string error;
    for (auto message : {&HostProbeDelegate::sendFilesToQuillmereViewer, &HostProbeDelegate::sendFilesToViewer,
                         &HostProbeDelegate::sendFilesViaQuillmere, &HostProbeDelegate::sendToViewer,
                         &HostProbeDelegate::sendToHost}) {
        error.clear();
        EXPECT_FALSE(((*app.delegate).*message)(pasteboard, "ignored", &error));
        EXPECT_EQ(error, "No files were provided to Corventis Host.");
    }
    pump();
    EXPECT_TRUE(app.shell->pickers.empty());
    EXPECT_FALSE(app.delegate->status().summaryWindow->attachedSheet());
}

TEST_F(SendFiles, WithoutAViewerTheAlertShowsAndNothingIsAsked) {
    EXPECT_EQ(request({file("a.txt")}), nullptr);
    const auto& sheet = app.delegate->status().summaryWindow->attachedSheet();
    ASSERT_TRUE(sheet);
    EXPECT_EQ(sheet->messageText, "No Quillmere Viewer is connected.");
    EXPECT_EQ(sheet->informativeText,
              "Open Quillmere on the other device and connect to this Host first, then try Send files via QuillMere again.");
    EXPECT_EQ(sheet->buttons, std::vector<std::string>{"OK"});
    EXPECT_TRUE(app.delegate->status().summaryWindow->visible());
    ASSERT_EQ(app.shell->pendingSheets.size(), 1u);
    app.shell->pendingSheets.front()(1000);
}

TEST_F(SendFiles, HandOffsWithoutAViewerShareTheOneAlertUntilItIsAnswered) {
    for (int handOff = 0; handOff < 100; ++handOff) EXPECT_EQ(request({file("a.txt")}), nullptr);
    EXPECT_EQ(app.shell->sheets.size(), 1u) << "one alert, however many hand-offs";
    EXPECT_EQ(app.count("files: send request dropped (1 item(s)); no Viewer is connected"), 99u);
    ASSERT_EQ(app.shell->pendingSheets.size(), 1u);
    app.shell->pendingSheets.front()(1000);
    pump();

    // Once it is answered, the next hand-off without a Viewer is told again; with one, it is asked.
    EXPECT_EQ(request({file("b.txt")}), nullptr);
    ASSERT_EQ(app.shell->sheets.size(), 2u);
    EXPECT_EQ(app.delegate->status().summaryWindow->attachedSheet()->messageText, "No Quillmere Viewer is connected.");
    auto ada = viewer("Ada's Mac");
    EXPECT_TRUE(request({file("c.txt")}));
}

TEST_F(SendFiles, ViewersWithoutFileChannelsShareOneEntryThatSendsToAllOfThemAndIsRemembered) {
    auto ada = viewer("Ada's Mac");
    auto bob = viewer("Bob's iPad");
    auto picker = request({file("1.txt", "one"), file("2.txt", "two"), file("3.txt", "three")});
    ASSERT_TRUE(picker);
    EXPECT_EQ(picker->windowTitle(), "Send to Quillmere Viewer");
    EXPECT_EQ(picker->headerText(), "Sending 3 items via Quillmere.");
    ASSERT_EQ(picker->peers().size(), 1u);
    EXPECT_EQ(picker->peers()[0].id, "viewer");
    EXPECT_EQ(picker->peers()[0].displayName, "Ada's Mac, Bob's iPad");
    EXPECT_EQ(picker->peers()[0].detailText, std::optional<std::string>("All connected Viewers"));
    EXPECT_EQ(picker->pathText(), "~/Desktop");
    picker->setPathText(" ~/Inbox ");
    picker->setRemember(true);
    picker->pressSend();

    for (auto* target : {ada.get(), bob.get()}) {
        const auto packets = received(*target);
        ASSERT_FALSE(packets.empty());
        EXPECT_EQ(packets.front().op, FileTransferOp::directSave);
        EXPECT_EQ(packets.front().path, "~/Inbox");
        EXPECT_EQ(packets[1].op, FileTransferOp::batchStart);
        EXPECT_EQ(packets.back().op, FileTransferOp::batchEnd);
        const auto kinds = ops(packets);
        EXPECT_EQ(std::count(kinds.begin(), kinds.end(), FileTransferOp::batchIntent), 0) << "a plain copy";
        EXPECT_EQ(std::count(kinds.begin(), kinds.end(), FileTransferOp::fileStart), 3);
    }
    EXPECT_TRUE(app.logged("files: queued 3 item(s) via service -> ~/Inbox"));
    EXPECT_TRUE(app.delegate->files().fileTransferCenter->stack().empty()) << "a plain copy gets no progress row";

    // The next request opens on the remembered choice; cancelling sends and stores nothing.
    auto again = request({file("4.txt")});
    ASSERT_TRUE(again);
    EXPECT_EQ(again->headerText(), "Sending 1 item via Quillmere.");
    EXPECT_EQ(again->pathText(), "~/Inbox");
    EXPECT_TRUE(again->rememberChecked());
    again->setPathText("~/Elsewhere");
    again->pressCancel();
    EXPECT_TRUE(received(*ada).empty());
    EXPECT_EQ(SendDestinationMemory::recall(*app.defaultsStore->standard())->destination, "~/Inbox");

    // A folder a Viewer's listing named may hold a line feed: its log line stays one line.
    auto odd = request({file("5.txt")});
    ASSERT_TRUE(odd);
    odd->setPathText("~/In\nbox");
    odd->pressSend();
    EXPECT_TRUE(app.logged("files: queued 1 item(s) via service -> ~/In\\nbox"));
}

TEST_F(SendFiles, ARememberedViewerThatLeftIsNotPreselected) {
    SendDestinationMemory::remember(*app.defaultsStore->standard(),
                                    {{UUID::random().uuidString(), "Gone", std::nullopt}, "~/Old", true});
    auto ada = viewer("Ada's Mac");
    auto picker = request({file("a.txt")});
    ASSERT_TRUE(picker);
    EXPECT_EQ(picker->peers()[0].detailText, std::optional<std::string>("Connected Viewer"));
    EXPECT_EQ(picker->pathText(), "~/Desktop");
    EXPECT_FALSE(picker->rememberChecked());
    picker->pressSend();
    EXPECT_EQ(SendDestinationMemory::recall(*app.defaultsStore->standard())->destination, "~/Old")
        << "without remember ticked nothing is stored";
}

TEST_F(SendFiles, ASessionIdAddressesThatViewerAloneAndAGoneViewerGetsNothing) {
    auto ada = viewer("Ada's Mac");
    auto bob = viewer("Bob's iPad");
    app.delegate->files().sendFilesService->dispatchSendToViewer({file("only-ada.txt")}, "", sessionNamed("Ada's Mac").uuidString());
    const auto toAda = received(*ada);
    ASSERT_FALSE(toAda.empty());
    EXPECT_EQ(toAda.front().op, FileTransferOp::batchStart) << "no directSave without a folder";
    EXPECT_TRUE(received(*bob).empty());

    // The Viewers leave while the picker is open: Send sends nothing and logs nothing.
    auto picker = request({file("late.txt")});
    ASSERT_TRUE(picker);
    ada->disconnect();
    bob->disconnect();
    pump();
    picker->pressSend();
    pump();
    EXPECT_EQ(app.count("files: queued"), 1u);
}

TEST_F(SendFiles, RequestsThatComeWhileThePickerIsOpenWaitTheirTurn) {
    auto ada = viewer("Ada's Mac");
    auto first = request({file("a.txt")});
    ASSERT_TRUE(first);
    EXPECT_EQ(request({file("b.txt"), file("c.txt")}), nullptr) << "one picker at a time";
    first->pressCancel();
    pump();
    ASSERT_EQ(app.shell->pickers.size(), 2u);
    EXPECT_EQ(app.shell->pickers.back()->headerText(), "Sending 2 items via Quillmere.");
    EXPECT_TRUE(app.shell->pickers.back()->visible());
}

TEST(SendFilesHandOffTest, PathsSurviveTheOneLineTripAndOtherLinesAreNotTakenForIt) {
    const std::vector<std::filesystem::path> files{"/home/u/a b.txt", "/home/u/tab\there", "/home/u/new\nline",
                                                   "/home/u/100%.txt", "/home/u/naïve"};
    const auto line = SendFilesHandOff::encode(files);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_EQ(SendFilesHandOff::decode(line), files);
    EXPECT_FALSE(SendFilesHandOff::decode("quillmerehost://update/restart"));
    EXPECT_FALSE(SendFilesHandOff::decode(SendFilesHandOff::tag));
    EXPECT_FALSE(SendFilesHandOff::decode(SendFilesHandOff::tag + "x\t/a"));
    EXPECT_FALSE(SendFilesHandOff::decode(SendFilesHandOff::tag + "\t/a%2"));
    EXPECT_FALSE(SendFilesHandOff::decode(SendFilesHandOff::tag + "\t/a\t"));

    EXPECT_FALSE(SendFilesHandOff::filesFromArguments({"QuillmereHost", "quillmerehost://x"}, "/w"));
    EXPECT_EQ(SendFilesHandOff::filesFromArguments({"QuillmereHost", "--send-files", "a", "/b/../c", ""}, "/w"),
              (std::vector<std::filesystem::path>{"/w/a", "/c"}));
    EXPECT_EQ(SendFilesHandOff::filesFromArguments({"QuillmereHost", "--send-files"}, "/w"),
              std::vector<std::filesystem::path>{});
}

}  // namespace
}  // namespace SendFilesTests
}  // namespace qm::test
