// The destination picker as a model over a real file-transfer service on virtual time: entries,
// roots, listings asked of one Viewer, time-outs, the answer, and the remembered choice.
#include <gtest/gtest.h>

#include "Platform/UserDefaults.h"
#include "QuillmereProfiles/FileTransferService.h"
#include "QuillmereProfiles/UI/SendDestinationPicker.h"
#include "support/TestPlatform.h"

namespace qm::test {
namespace SendDestinationPickerTests {
namespace {

using Controller = SendDestinationPicker::PickerController;

class SendDestinationPickerTest : public ::testing::Test {
protected:
    ManualPlatform manual;
    TemporaryDirectory folders;
    std::shared_ptr<FileTransferService> service = std::make_shared<FileTransferService>(
        manual.platform, "Viewer", 4096, FileTransferService::Folders{folders.path() / "caches", folders.path()});
    struct Sent {
        FileTransferPacket packet;
        std::optional<std::string> token;
    };
    std::vector<Sent> sent;
    std::vector<std::optional<SendDestinationResult>> answers;
    int beeps = 0;
    std::shared_ptr<Controller> picker;
    const std::string ada = UUID::random().uuidString();
    const std::string bob = UUID::random().uuidString();
    std::vector<SendDestinationOption> twoViewers{{ada, "Ada's Mac", "Connected Viewer"}, {bob, "Bob's iPad", "Connected Viewer"}};

    void SetUp() override {
        service->routedSendPacket = [this](const FileTransferPacket& packet, const std::optional<std::string>& token) {
            sent.push_back({packet, token});
        };
    }
    void run() { manual.clock->runUntilIdle(); }
    void open(std::vector<SendDestinationOption> peers, std::optional<SendDestinationResult> previous = std::nullopt,
              bool browsing = true) {
        SendDestinationPicker::Environment environment;
        environment.mainQueue = manual.platform.mainQueue;
        environment.localHome = "/home/host";
        picker = SendDestinationPicker::present("Send to Quillmere Viewer", "Sending 2 items via Quillmere.", peers,
                                                SendDestinationPicker::defaultPresets(), previous,
                                                browsing ? service : nullptr, environment,
                                                [this](std::optional<SendDestinationResult> result) { answers.push_back(result); });
        picker->beep = [this] { ++beeps; };
    }
    std::vector<Sent> listingRequests() const {
        std::vector<Sent> requests;
        for (const auto& item : sent) {
            if (item.packet.op == FileTransferOp::listDir) requests.push_back(item);
        }
        return requests;
    }
    // A Viewer's answer to a listing request, arriving on the Host's receive road.
    void reply(const UUID& requestID, const std::string& fromPeer, const std::string& resolved,
               std::vector<RemoteDirectoryEntry> entries) {
        service->handleIncomingPacket(FileTransferPacket{FileTransferOp::listDirReply, requestID, 0, 0, resolved,
                                                         FileTransferDocuments::encodeListing(entries)},
                                      fromPeer);
        run();
    }
    std::vector<std::string> rootNames() const {
        std::vector<std::string> names;
        for (const auto& root : picker->roots()) names.push_back(root->name + "=" + root->path);
        return names;
    }
};

TEST_F(SendDestinationPickerTest, WithoutEntriesNothingCanBeSentAndEveryEndAnswersNothing) {
    open({});
    const auto rows = picker->entryRows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].title, "No connected device");
    EXPECT_TRUE(rows[0].placeholder);
    EXPECT_FALSE(picker->sendEnabled());
    EXPECT_TRUE(picker->visible());
    picker->pressSend();
    picker->pressCancel();
    picker->windowShouldClose();
    ASSERT_EQ(answers.size(), 1u) << "the completion runs once";
    EXPECT_FALSE(answers[0]);
    EXPECT_FALSE(picker->visible());
}

TEST_F(SendDestinationPickerTest, TheRememberedChoiceSeedsThePathRootsAndSelection) {
    // Its Viewer is gone: the first entry stays selected, its folder still leads the roots.
    open(twoViewers, SendDestinationResult{{"gone", "Old Mac", std::nullopt}, " ~/Projects/Q ", true});
    EXPECT_EQ(picker->selectedPeerIndex(), 0);
    EXPECT_EQ(picker->pathText(), " ~/Projects/Q ");
    EXPECT_TRUE(picker->rememberChecked());
    EXPECT_EQ(rootNames(), (std::vector<std::string>{"Q=~/Projects/Q", "Home=~", "Desktop=~/Desktop",
                                                     "Downloads=~/Downloads", "Documents=~/Documents"}));
    EXPECT_EQ(picker->statusText(), "Select a folder, use a preset, or type a path and click Load.");
    picker->pressCancel();

    // Its Viewer is here and its folder is a preset: that entry is selected and no root is added.
    open(twoViewers, SendDestinationResult{{bob, "Bob's iPad", std::nullopt}, "~/Downloads", false});
    EXPECT_EQ(picker->selectedPeerIndex(), 1);
    EXPECT_FALSE(picker->rememberChecked());
    EXPECT_EQ(picker->roots().size(), 4u);
    picker->pressCancel();
    open(twoViewers, SendDestinationResult{{bob, "Bob's iPad", std::nullopt}, "~", false});
    EXPECT_EQ(picker->roots().size(), 4u);
    EXPECT_EQ(Controller::folderDisplayName("~/Work/", "/home/host"), "Work");
    EXPECT_EQ(Controller::folderDisplayName("/", "/home/host"), "/");
}

TEST_F(SendDestinationPickerTest, ListingsAskOnlyTheSelectedViewerAndTakeOnlyItsAnswer) {
    open(twoViewers);
    picker->selectPeerRow(1);
    auto home = picker->roots().front();
    picker->selectFolder(home);
    picker->selectFolder(home);  // coming back while the answer is pending asks nothing more
    run();
    auto requests = listingRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].packet.path, "~");
    EXPECT_EQ(requests[0].token, std::optional<std::string>(bob)) << "the request goes to Bob's session alone";
    EXPECT_EQ(picker->statusText(), "Loading ~ from Bob's iPad...");
    ASSERT_TRUE(home->children);
    EXPECT_TRUE(home->children->front()->placeholder);

    // Ada answers a request she was never sent: her folders do not appear as Bob's.
    reply(requests[0].packet.batchID, ada, "/Users/ada", {{"Secret", true, 0, std::nullopt}});
    EXPECT_TRUE(home->children->front()->placeholder);
    EXPECT_EQ(picker->pendingRequestCount(), 1u);

    reply(requests[0].packet.batchID, bob, "/Users/bob",
          {{"Music", true, 0, std::nullopt}, {"notes.txt", false, 12, std::nullopt}, {"Apps", true, 0, std::nullopt}});
    EXPECT_EQ(home->path, "/Users/bob");
    ASSERT_EQ(home->children->size(), 2u);
    EXPECT_EQ((*home->children)[0]->path, "/Users/bob/Music");
    EXPECT_EQ((*home->children)[1]->name, "Apps");
    EXPECT_EQ(picker->statusText(), "Loaded /Users/bob");
    EXPECT_EQ(picker->pathText(), "/Users/bob") << "the selected folder shows its resolved path";

    // A folder without subfolders; the root "/" builds "/" + name.
    picker->selectFolder((*home->children)[0]);
    run();
    reply(listingRequests().back().packet.batchID, bob, "", {});
    EXPECT_EQ(picker->statusText(), "No subfolders in /Users/bob/Music; this folder is selected.");
    picker->setPathText("/");
    picker->pressLoad();
    run();
    reply(listingRequests().back().packet.batchID, bob, "", {{"tmp", true, 0, std::nullopt}});
    EXPECT_EQ(picker->roots().front()->path, "/");
    EXPECT_EQ(picker->roots().front()->children->front()->path, "/tmp");
}

TEST_F(SendDestinationPickerTest, AnUnansweredListingGivesUpAfterSixSecondsAndLoadAsksAgain) {
    open(twoViewers);
    auto desktop = picker->roots()[1];
    picker->selectFolder(desktop);
    run();
    manual.clock->advance(5.9);
    EXPECT_EQ(picker->pendingRequestCount(), 1u);
    manual.clock->advance(0.2);
    EXPECT_EQ(picker->pendingRequestCount(), 0u);
    ASSERT_TRUE(desktop->children);
    EXPECT_TRUE(desktop->children->empty());
    EXPECT_EQ(picker->statusText(), "No folder list response for ~/Desktop; type a path or use a preset.");
    const auto first = listingRequests().front().packet.batchID;
    picker->selectFolder(desktop);
    run();
    EXPECT_EQ(listingRequests().size(), 1u) << "a folder that gave up is not asked again by selecting it";
    picker->pressPreset(0);  // "Desktop": the same root, loaded again
    run();
    EXPECT_EQ(listingRequests().size(), 2u);
    // The late answer to the first request changes nothing.
    reply(first, ada, "", {{"Late", true, 0, std::nullopt}});
    EXPECT_TRUE(desktop->children->front()->placeholder);
}

TEST_F(SendDestinationPickerTest, SwitchingViewersHandsLateAnswersToTheSavedHandlerAndRestoresItAtTheEnd) {
    std::vector<UUID> forwarded;
    service->onDirectoryListing = [&](const UUID& id, const std::string&, const std::vector<RemoteDirectoryEntry>&) {
        forwarded.push_back(id);
    };
    open(twoViewers);
    picker->selectFolder(picker->roots().front());
    run();
    const auto request = listingRequests().back().packet.batchID;
    picker->selectPeerRow(1);
    EXPECT_EQ(picker->pendingRequestCount(), 0u);
    EXPECT_FALSE(picker->roots().front()->children) << "the new tree starts clean";
    reply(request, ada, "/Users/ada", {});
    EXPECT_EQ(forwarded, std::vector<UUID>{request});

    picker->pressCancel();
    const auto after = service->requestDirectoryListing("~");
    service->handleIncomingPacket(FileTransferPacket{FileTransferOp::listDirReply, after, 0, 0, "", {}});
    run();
    EXPECT_EQ(forwarded.back(), after) << "the saved handler is back once the window has gone";
}

TEST_F(SendDestinationPickerTest, SendAnswersTheTrimmedPathAndABlankPathBeeps) {
    open(twoViewers);
    picker->setPathText("  \t ");
    picker->pressSend();
    picker->pressLoad();
    EXPECT_EQ(beeps, 2);
    EXPECT_TRUE(answers.empty());
    EXPECT_TRUE(picker->visible());
    picker->selectPeerRow(1);
    picker->setPathText("  ~/Inbox \n");
    picker->setRemember(true);
    picker->pressSend();
    ASSERT_EQ(answers.size(), 1u);
    ASSERT_TRUE(answers[0]);
    EXPECT_EQ(answers[0]->peer, twoViewers[1]);
    EXPECT_EQ(answers[0]->destination, "~/Inbox");
    EXPECT_TRUE(answers[0]->remember);
}

TEST_F(SendDestinationPickerTest, WithoutBrowsingTypedPathsAndPresetsStillWork) {
    open(twoViewers, std::nullopt, false);
    EXPECT_FALSE(picker->loadEnabled());
    EXPECT_EQ(picker->pathText(), "~/Desktop");
    EXPECT_EQ(picker->statusText(), "Remote browsing unavailable; use a preset or type a folder path.");
    picker->pressPreset(2);
    EXPECT_EQ(picker->pathText(), "~/Documents");
    EXPECT_EQ(picker->statusText(), "Remote browsing unavailable; the typed path will still be used.");
    picker->pressSend();
    ASSERT_TRUE(answers.at(0));
    EXPECT_EQ(answers[0]->destination, "~/Documents");
    EXPECT_TRUE(sent.empty());
}

TEST(SendDestinationMemoryTest, RemembersRecallsAndRefusesWhatItCannotRead) {
    InMemoryUserDefaults defaults;
    EXPECT_FALSE(SendDestinationMemory::recall(defaults));
    SendDestinationMemory::remember(defaults, {{"ID-1", "Ada's Mac", "Connected Viewer"}, "~/Inbox", true});
    auto recalled = SendDestinationMemory::recall(defaults);
    ASSERT_TRUE(recalled);
    EXPECT_EQ(recalled->peer, (SendDestinationOption{"ID-1", "Ada's Mac", std::nullopt})) << "the detail is not kept";
    EXPECT_EQ(recalled->destination, "~/Inbox");
    EXPECT_TRUE(recalled->remember);

    auto store = [&](const std::string& json) {
        defaults.setData(SendDestinationMemory::defaultsKey, UserDefaults::Bytes(json.begin(), json.end()));
    };
    store(R"({"peerID":"A","peerName":"Ada","destination":"~","remember":"yes"})");
    ASSERT_TRUE(SendDestinationMemory::recall(defaults));
    EXPECT_FALSE(SendDestinationMemory::recall(defaults)->remember) << "a remember flag of another type reads as false";
    store(R"({"peerID":"A","peerName":7,"destination":"~"})");
    EXPECT_FALSE(SendDestinationMemory::recall(defaults));
    store("{}");
    EXPECT_FALSE(SendDestinationMemory::recall(defaults));
    store("not json");
    EXPECT_FALSE(SendDestinationMemory::recall(defaults));
    defaults.set(SendDestinationMemory::defaultsKey, std::string("a text"));
    EXPECT_FALSE(SendDestinationMemory::recall(defaults));
    SendDestinationMemory::forget(defaults);
    EXPECT_FALSE(defaults.value(SendDestinationMemory::defaultsKey));
}

}  // namespace
}  // namespace SendDestinationPickerTests
}  // namespace qm::test
