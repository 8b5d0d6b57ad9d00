// The conflict resolver and its alert, on a main queue the test drives and a desktop that
// answers alerts when the test says so.
#include <gtest/gtest.h>

#include <fstream>

#include "HostApp/Delivery/FileTransferConflictResolver.h"
#include "Platform/Core/ManualDispatchQueue.h"
#include "QuillmereProfiles/QuillmereL10n.h"
#include "support/RecordingHostShell.h"
#include "support/SmallDisk.h"
#include "support/TestFiles.h"
#include "support/TestPlatform.h"

namespace ConflictResolverTests {

using namespace qm;
using namespace qm::test;
namespace fs = std::filesystem;

namespace {

struct ResolverRun {
    TemporaryDirectory temp;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::shared_ptr<ManualDispatchQueue> mainQueue = clock->makeQueue("main");
    std::shared_ptr<RecordingHostShell> shell = std::make_shared<RecordingHostShell>();
    std::shared_ptr<WindowModel> window = std::make_shared<WindowModel>();
    std::optional<FileTransferDeliveryResult> result;
    int completions = 0;

    // The user's home folder is there before anything is delivered or backed up.
    ResolverRun() { fs::create_directories(home()); }

    fs::path home() const { return temp.path() / "home"; }
    fs::path staging() const { return temp.path() / "staging"; }
    fs::path destination() const { return home() / "Documents"; }

    std::vector<fs::path> stage(const std::vector<std::string>& names, const std::string& text = "new") {
        std::vector<fs::path> out;
        for (const auto& name : names) {
            writeText(staging() / name, text + " " + name);
            out.push_back(staging() / name);
        }
        return out;
    }
    FileTransferConflictResolver::Context context() {
        return {mainQueue, shell, home(), 1'800'000'000.0, nullptr};
    }
    // Starts on the main queue, as the delivery does, and runs what is ready.
    void deliver(std::vector<fs::path> staged, bool prompt = true, bool backup = false,
                 std::shared_ptr<WindowModel> parent = nullptr) {
        mainQueue->async([=, this] {
            FileTransferConflictResolver::deliver(context(), staged, destination(), parent ? parent : window, prompt,
                                                  backup, [this](FileTransferDeliveryResult r) {
                                                      result = std::move(r);
                                                      ++completions;
                                                  });
        });
        clock->runUntilIdle();
    }
    // The alert on screen now and its apply-to-all box, if it has one.
    std::shared_ptr<ButtonModel> applyToAll() const {
        for (const auto& row : window->attachedSheet()->accessories)
            if (row.checkbox) return row.checkbox;
        return nullptr;
    }
    void answer(int response) {
        auto pending = shell->pendingSheets.front();
        shell->pendingSheets.erase(shell->pendingSheets.begin());
        mainQueue->async([pending, response] { pending(response); });
        clock->runUntilIdle();
    }
};

}  // namespace

TEST(ConflictResolver, ApplyToAllSettlesTheRemainingConflictsAndTheLastConflictOffersNone) {
    ResolverRun run;
    run.window->makeKeyAndOrderFront();
    writeText(run.destination() / "b.txt", "old b");
    writeText(run.destination() / "c.txt", "old c");
    run.deliver(run.stage({"a.txt", "b.txt", "c.txt"}), true, false);
    ASSERT_EQ(run.shell->pendingSheets.size(), 1u);
    const auto& alert = *run.window->attachedSheet();
    EXPECT_EQ(alert.messageText, "Copy Conflict");
    EXPECT_EQ(alert.informativeText,
              "\"b.txt\" already exists at the destination. Do you want to replace it, keep both, or stop?");
    EXPECT_EQ(alert.buttons, (std::vector<std::string>{"Keep Both", "Stop", "Replace"}));
    EXPECT_EQ(alert.accessories.front().text, "Existing file: b.txt");
    EXPECT_EQ(alert.accessories.back().text, "Backup is not enabled. Replaced files cannot be recovered.");
    ASSERT_TRUE(run.applyToAll());
    EXPECT_EQ(run.applyToAll()->title(), "Apply to all (1 more conflicts)");
    // Raised above other windows while it asks; as it was afterwards.
    EXPECT_EQ(run.window->level(), WindowModel::floatingLevel);
    run.applyToAll()->press();
    run.answer(1002);
    EXPECT_TRUE(run.shell->pendingSheets.empty()) << "the second conflict is not asked about";
    EXPECT_EQ(run.window->level(), WindowModel::normalLevel);
    ASSERT_EQ(run.completions, 1);
    EXPECT_EQ(run.result->deliveredURLs.size(), 3u);
    EXPECT_EQ(fileText(run.destination() / "b.txt"), "new b.txt");
    EXPECT_EQ(fileText(run.destination() / "c.txt"), "new c.txt");

    // A single conflict has no further ones to apply a choice to.
    ResolverRun last;
    last.window->makeKeyAndOrderFront();
    writeText(last.destination() / "only.txt", "old");
    last.deliver(last.stage({"only.txt"}));
    EXPECT_FALSE(last.applyToAll());
    last.answer(1000);
    EXPECT_EQ(fileText(last.destination() / "only.txt"), "old");
    EXPECT_EQ(fileText(last.destination() / "only copy.txt"), "new only.txt");
}

TEST(ConflictResolver, StopAtTheSecondOfFiveKeepsTheFirstAndDeletesTheRestOfStaging) {
    ResolverRun run;
    run.window->makeKeyAndOrderFront();
    writeText(run.destination() / "2.txt", "old");
    run.deliver(run.stage({"1.txt", "2.txt", "3.txt", "4.txt", "5.txt"}));
    run.answer(1001);
    ASSERT_EQ(run.completions, 1);
    EXPECT_TRUE(run.result->stoppedByUser);
    EXPECT_EQ(run.result->failedItemCount, 0);
    EXPECT_EQ(run.result->deliveredURLs, std::vector<fs::path>{run.destination() / "1.txt"});
    EXPECT_EQ(fileText(run.destination() / "2.txt"), "old");
    EXPECT_TRUE(fs::is_empty(run.staging()));

    // The sheet ended some other way: Stop, whatever the box says.
    ResolverRun other;
    other.window->makeKeyAndOrderFront();
    writeText(other.destination() / "a.txt", "old");
    writeText(other.destination() / "b.txt", "old");
    other.deliver(other.stage({"a.txt", "b.txt"}));
    other.applyToAll()->press();
    other.answer(-1);
    EXPECT_TRUE(other.result->stoppedByUser);
}

TEST(ConflictResolver, WithoutAVisibleWindowOrPromptingConflictsKeepBothUnasked) {
    ResolverRun run;  // its window was never shown
    writeText(run.destination() / "photo.jpg", "old");
    writeText(run.destination() / "photo copy.jpg", "older copy");
    run.deliver(run.stage({"photo.jpg"}));
    EXPECT_TRUE(run.shell->pendingSheets.empty());
    ASSERT_EQ(run.completions, 1) << "a run without alerts completes at once";
    EXPECT_EQ(run.result->deliveredURLs, std::vector<fs::path>{run.destination() / "photo copy 2.jpg"});
}

TEST(ConflictResolver, ReplaceBacksUpInsideAndOutsideHomeAndAFailedReplaceKeepsBothItems) {
    ResolverRun run;
    run.window->makeKeyAndOrderFront();
    writeText(run.destination() / "a.txt", "old a");
    run.deliver(run.stage({"a.txt"}), true, true);
    EXPECT_EQ(run.window->attachedSheet()->accessories.back().text,
              "Backup is enabled. The existing file will be saved to the backup folder.");
    run.answer(1002);
    const auto root = FileTransferConflictResolver::backupRoot(run.home(), 1'800'000'000.0);
    EXPECT_EQ(root.parent_path(), run.home() / "Corventis Backups" / "transfer");
    EXPECT_EQ(fileText(root / "Documents" / "a.txt"), "old a");
    EXPECT_EQ(fileText(run.destination() / "a.txt"), "new a.txt");
    // The same name again in one run's folder gets the copy suffix.
    writeText(run.destination() / "b.txt", "old b1");
    writeText(root / "Documents" / "b.txt", "earlier");
    run.deliver(run.stage({"b.txt"}), true, true);
    run.answer(1002);
    EXPECT_EQ(fileText(root / "Documents" / "b copy.txt"), "old b1");

    // Outside home the backup keeps only the name; a destination that cannot take the new item
    // keeps the old one and leaves the staged one, counted as failed.
    ResolverRun outside;
    SmallDisk disk(outside.temp.path() / "disk", 1 << 20);
    if (!disk.mounted()) GTEST_SKIP() << "mounting a small tmpfs needs privileges this run does not have";
    writeText(outside.temp.path() / "disk" / "a.txt", "old");
    ASSERT_TRUE(disk.makeReadOnly());
    outside.window->makeKeyAndOrderFront();
    const auto staged = outside.stage({"a.txt"});
    outside.mainQueue->async([&] {
        FileTransferConflictResolver::deliver(outside.context(), staged, outside.temp.path() / "disk", outside.window,
                                              true, true, [&](FileTransferDeliveryResult r) { outside.result = r; });
    });
    outside.clock->runUntilIdle();
    outside.answer(1002);
    EXPECT_EQ(outside.result->failedItemCount, 1);
    EXPECT_EQ(fileText(outside.temp.path() / "disk" / "a.txt"), "old");
    EXPECT_TRUE(fs::exists(staged.front()));
    EXPECT_EQ(fileText(FileTransferConflictResolver::backupRoot(outside.home(), 1'800'000'000.0) / "a.txt"), "old");
}

namespace {

// A folder outside home that the Host's user may write, holding a file of someone else's that
// anyone may write: what a link planted in home could lead a delivery to.
struct OutsideFolder {
    fs::path folder;
    explicit OutsideFolder(const fs::path& at) : folder(at) {
        writeText(folder / "a.txt", "theirs");
        fs::permissions(folder / "a.txt", fs::perms(0666));
    }
    // Only their file, as it was.
    ::testing::AssertionResult untouched() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
        if (names != std::vector<std::string>{"a.txt"})
            return ::testing::AssertionFailure() << names.size() << " entries";
        if (fs::is_symlink(folder / "a.txt") || fileText(folder / "a.txt") != "theirs")
            return ::testing::AssertionFailure() << "a.txt was changed";
        return ::testing::AssertionSuccess();
    }
};

}  // namespace

TEST(ConflictResolver, AFolderSwappedForALinkOutOfHomeWhileTheUserIsAskedGetsNothingWhateverTheAnswer) {
    struct Case {
        int response;
        bool backup;
    };
    for (const auto& [response, backup] : {Case{1000, false}, Case{1002, false}, Case{1002, true}, Case{1001, false}}) {
        SCOPED_TRACE("response " + std::to_string(response) + (backup ? " with backup" : ""));
        ResolverRun run;
        OutsideFolder outside(run.temp.path() / "outside");
        run.window->makeKeyAndOrderFront();
        writeText(run.destination() / "a.txt", "old");
        const auto staged = run.stage({"a.txt", "b.txt"});
        run.deliver(staged, true, backup);
        ASSERT_EQ(run.shell->pendingSheets.size(), 1u);
        // Another program of the user's swaps the folder for a link while the question is open.
        fs::rename(run.destination(), run.home() / "moved");
        fs::create_directory_symlink(outside.folder, run.destination());
        run.answer(response);

        ASSERT_EQ(run.completions, 1);
        EXPECT_TRUE(outside.untouched());
        EXPECT_TRUE(run.result->deliveredURLs.empty());
        EXPECT_EQ(fileText(run.home() / "moved" / "a.txt"), "old");
        if (response == 1001) {
            EXPECT_TRUE(run.result->stoppedByUser);
            EXPECT_TRUE(fs::is_empty(run.staging()));
            continue;
        }
        // Not put into the folder that moved away either: nobody would find them where they were sent.
        EXPECT_EQ(run.result->failedItemCount, 2);
        EXPECT_EQ(std::distance(fs::directory_iterator(run.home() / "moved"), fs::directory_iterator()), 1);
        EXPECT_TRUE(fs::exists(staged[0]) && fs::exists(staged[1])) << "the staged items are left to their owner";
    }
}

TEST(ConflictResolver, ReplaceNeverWritesThroughALinkNorBacksUpThroughOne) {
    // The existing item is a link to someone else's file: the link is what is replaced (and
    // backed up, as a link), the file it pointed to stays as it was.
    ResolverRun run;
    OutsideFolder outside(run.temp.path() / "outside");
    run.window->makeKeyAndOrderFront();
    fs::create_directories(run.destination());
    fs::create_symlink(outside.folder / "a.txt", run.destination() / "a.txt");
    run.deliver(run.stage({"a.txt"}), true, true);
    run.answer(1002);
    EXPECT_EQ(run.result->deliveredURLs, std::vector<fs::path>{run.destination() / "a.txt"});
    EXPECT_FALSE(fs::is_symlink(run.destination() / "a.txt"));
    EXPECT_EQ(fileText(run.destination() / "a.txt"), "new a.txt");
    EXPECT_TRUE(outside.untouched());
    const auto backedUp = FileTransferConflictResolver::backupRoot(run.home(), 1'800'000'000.0) / "Documents" / "a.txt";
    EXPECT_TRUE(fs::is_symlink(backedUp));
    EXPECT_EQ(fs::read_symlink(backedUp), outside.folder / "a.txt");

    // A link planted in place of the backup folder: no backup is made there, so nothing is
    // replaced; the old item and the staged one both stay.
    ResolverRun planted;
    OutsideFolder elsewhere(planted.temp.path() / "outside");
    planted.window->makeKeyAndOrderFront();
    writeText(planted.destination() / "a.txt", "old");
    fs::create_directory_symlink(elsewhere.folder, planted.home() / "Corventis Backups");
    const auto staged = planted.stage({"a.txt"});
    planted.deliver(staged, true, true);
    planted.answer(1002);
    EXPECT_EQ(planted.result->failedItemCount, 1);
    EXPECT_TRUE(elsewhere.untouched());
    EXPECT_EQ(fileText(planted.destination() / "a.txt"), "old");
    EXPECT_TRUE(fs::exists(staged.front()));
}

TEST(ConflictResolver, CalledOffTheMainQueueItCompletesLaterOnIt) {
    ResolverRun run;
    FileTransferConflictResolver::deliver(run.context(), run.stage({"a.txt"}), run.destination(), nullptr, true, false,
                                          [&](FileTransferDeliveryResult) {
                                              EXPECT_TRUE(run.mainQueue->isCurrent());
                                              ++run.completions;
                                          });
    EXPECT_EQ(run.completions, 0);
    run.clock->runUntilIdle();
    EXPECT_EQ(run.completions, 1);
}

TEST(ConflictAlert, SizesUseDecimalUnitsAndDatesFollowTheSize) {
    EXPECT_EQ(FileTransferConflictAlert::detailText(999, std::nullopt), "999 B");
    EXPECT_EQ(FileTransferConflictAlert::detailText(1000, std::nullopt), "1 KB");
    EXPECT_EQ(FileTransferConflictAlert::detailText(999'999, std::nullopt), "1000 KB");
    EXPECT_EQ(FileTransferConflictAlert::detailText(1'000'000, std::nullopt), "1.0 MB");
    const auto dated = FileTransferConflictAlert::detailText(12, 1'800'000'000.0);
    EXPECT_EQ(dated.rfind("12 B \u00B7 Modified: 20", 0), 0u) << dated;
    EXPECT_EQ(dated.size(), std::string("12 B \u00B7 Modified: yyyy-MM-dd HH:mm").size());

    // The date's label follows the user's language like the rest of the alert.
    for (const auto& [language, label] : std::vector<std::pair<std::string, std::string>>{
             {"de", "Geändert: "}, {"fr", "Modifié : "}, {"ja", "変更日: "}}) {
        QuillmereL10n::Environment environment;
        environment.resources = QM_HOST_RESOURCES_DIR;
        environment.preferredSystemLanguages = {language};
        QuillmereL10n::configure(environment);
        const auto translated = FileTransferConflictAlert::detailText(12, 1'800'000'000.0);
        EXPECT_EQ(translated.rfind("12 B \u00B7 " + label + "20", 0), 0u) << translated;
    }
    QuillmereL10n::configure({});
}

}  // namespace ConflictResolverTests
