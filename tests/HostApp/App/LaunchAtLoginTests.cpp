// Start at login: the wish kept in the defaults, the desktop's autostart entry in a real folder,
// and the texts each outcome shows.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "support/AppHarness.h"

namespace qm::test {
namespace LaunchAtLoginTests {
namespace {

std::string contents(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(LaunchAtLogin, AutostartEntryIsWrittenWholeAndRemovedInARealFolder) {
    TemporaryDirectory home;
    const auto executable = home.path() / "bin dir" / "Quillmere\"Host$ 100%\\";
    std::filesystem::create_directories(executable.parent_path());
    std::ofstream(executable) << "#!/bin/sh\n";
    const auto folder = home.path() / "config" / "autostart";
    XdgAutostartLoginItems items(folder, executable);

    EXPECT_EQ(items.status(), LoginItemService::Status::notRegistered);
    EXPECT_EQ(items.unregisterItem(), std::nullopt) << "removing nothing is no error";
    ASSERT_EQ(items.registerItem(), std::nullopt);
    EXPECT_EQ(items.status(), LoginItemService::Status::enabled);
    const auto text = contents(items.entryPath());
    EXPECT_NE(text.find("[Desktop Entry]\n"), std::string::npos);
    // Quoted for the argument, then escaped as a string value; the percent sign is no field code.
    EXPECT_NE(text.find("Exec=\"" + (home.path() / "bin dir").string() + R"(/Quillmere\\"Host\\$ 100%%\\\\")" + "\n"),
              std::string::npos)
        << text;
    // Written through a temporary file: nothing but the entry is left in the folder.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);

    // Switched off in the desktop's settings: the entry stays, but it starts nothing.
    {
        std::ofstream(items.entryPath(), std::ios::app) << "Hidden=true\n";
    }
    EXPECT_EQ(items.status(), LoginItemService::Status::notRegistered);
    ASSERT_EQ(items.registerItem(), std::nullopt);
    EXPECT_EQ(items.status(), LoginItemService::Status::enabled) << "registering again writes a live entry";

    // An entry left by a copy of the Host elsewhere is not ours.
    XdgAutostartLoginItems moved(folder, home.path() / "config");
    EXPECT_EQ(moved.status(), LoginItemService::Status::notRegistered);

    ASSERT_EQ(items.unregisterItem(), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(items.entryPath()));
    EXPECT_EQ(items.status(), LoginItemService::Status::notRegistered);

    // No executable: the text asks the app to stay where it was installed.
    XdgAutostartLoginItems missing(folder, home.path() / "gone");
    EXPECT_EQ(missing.status(), LoginItemService::Status::notFound);

    // A folder that cannot be made is a failure with the system's description.
    std::ofstream(home.path() / "blocked") << "a file";
    XdgAutostartLoginItems blocked(home.path() / "blocked" / "autostart", executable);
    EXPECT_TRUE(blocked.registerItem().has_value());
}

TEST(LaunchAtLogin, AnAutostartFolderOthersCanWriteCannotRedirectTheEntry) {
    TemporaryDirectory home;
    const auto executable = home.path() / "QuillmereHost";
    std::ofstream(executable) << "#!/bin/sh\n";
    // The autostart folder is a link to a folder anyone can write; another user has planted links
    // under the names a careless writer would use.
    const auto shared = home.path() / "shared";
    std::filesystem::create_directories(shared);
    std::filesystem::permissions(shared, std::filesystem::perms::all);
    const auto victim = home.path() / ".bashrc";
    std::ofstream(victim) << "export PATH\n";
    std::filesystem::create_symlink(victim, shared / "quillmere-host.desktop.tmp");
    std::filesystem::create_directories(home.path() / "config");
    std::filesystem::create_directory_symlink(shared, home.path() / "config" / "autostart");
    XdgAutostartLoginItems items(home.path() / "config" / "autostart", executable);

    ASSERT_EQ(items.registerItem(), std::nullopt);
    EXPECT_EQ(contents(victim), "export PATH\n");
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(items.entryPath())));
    EXPECT_EQ(items.status(), LoginItemService::Status::enabled);
    // A link at the entry's own name is replaced, not written through.
    std::filesystem::remove(items.entryPath());
    std::filesystem::create_symlink(victim, items.entryPath());
    ASSERT_EQ(items.registerItem(), std::nullopt);
    EXPECT_EQ(contents(victim), "export PATH\n");
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(items.entryPath())));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(shared), {}), 2) << "the planted link and the entry";
}

TEST(LaunchAtLogin, FirstRunTurnsItOnAndLaterRunsRepairButNeverUnregister) {
    {
        AppHarness app;
        app.launch();
        EXPECT_TRUE(app.logged("launch-at-login: Start at login enabled"));
        auto defaults = app.defaultsStore->standard();
        EXPECT_TRUE(defaults->boolean(HostLaunchAtLogin::configuredKey));
        EXPECT_TRUE(defaults->boolean(HostLaunchAtLogin::desiredKey));
        EXPECT_EQ(app.loginItems->registerCalls, 1);
    }
    {
        // Already enabled on the first run: nothing to register.
        AppHarness app;
        app.loginItems->status_ = LoginItemService::Status::enabled;
        app.launch();
        EXPECT_EQ(app.loginItems->registerCalls, 0);
        EXPECT_TRUE(app.logged("launch-at-login: Start at login enabled"));
    }
    {
        // The wish kept, the registration lost: registered again.
        AppHarness app;
        app.defaultsStore->standard()->set(HostLaunchAtLogin::configuredKey, true);
        app.defaultsStore->standard()->set(HostLaunchAtLogin::desiredKey, true);
        app.launch();
        EXPECT_EQ(app.loginItems->registerCalls, 1);
    }
    {
        // The wish off while the desktop still starts it: left alone and reported.
        AppHarness app;
        app.defaultsStore->standard()->set(HostLaunchAtLogin::configuredKey, true);
        app.loginItems->status_ = LoginItemService::Status::enabled;
        app.launch();
        EXPECT_EQ(app.loginItems->unregisterCalls, 0);
        EXPECT_TRUE(app.logged("launch-at-login: Start at login is enabled"));
    }
    {
        // Waiting for approval is a status, not a failure.
        AppHarness app;
        app.defaultsStore->standard()->set(HostLaunchAtLogin::configuredKey, true);
        app.loginItems->status_ = LoginItemService::Status::requiresApproval;
        app.launch();
        EXPECT_TRUE(app.logged("launch-at-login: Start at login is waiting for approval in System Settings"));
    }
}

TEST(LaunchAtLogin, FailuresKeepTheWishAndTheMenuInvertsItsOwnCheckMark) {
    AppHarness app;
    app.launch();
    auto& delegate = *app.delegate;
    auto item = delegate.status().statusMenu->itemWithAction(HostAction::toggleLaunchAtLogin);
    ASSERT_TRUE(item);

    // Disabling unregisters even when the desktop has nothing; an error shows its description.
    app.loginItems->status_ = LoginItemService::Status::notRegistered;
    app.loginItems->failure = "permission denied";
    item->setChecked(true);
    item->choose();
    app.host.clock().runUntilIdle();
    EXPECT_EQ(app.loginItems->unregisterCalls, 1);
    EXPECT_FALSE(app.defaultsStore->standard()->boolean(HostLaunchAtLogin::desiredKey));
    EXPECT_EQ(delegate.status().audioStatusLabel->text(), "Aux: Start at login update failed: permission denied");
    EXPECT_TRUE(app.logged("launch-at-login: Start at login update failed: permission denied"));
    EXPECT_FALSE(item->checked()) << "the check mark follows the wish, not the outcome";
    EXPECT_FALSE(delegate.status().summaryWindow->launchAtLoginCheckbox->checked());

    // The item inverts its own mark even when it disagrees with the stored wish.
    app.loginItems->failure.reset();
    app.defaultsStore->standard()->set(HostLaunchAtLogin::desiredKey, true);
    item->setChecked(false);
    item->choose();
    app.host.clock().runUntilIdle();
    EXPECT_TRUE(app.defaultsStore->standard()->boolean(HostLaunchAtLogin::desiredKey));
    EXPECT_EQ(delegate.status().audioStatusLabel->text(), "Aux: Start at login enabled");
    EXPECT_TRUE(delegate.status().summaryWindow->launchAtLoginCheckbox->checked());
    EXPECT_EQ(delegate.status().summaryWindow->launchAtLoginCheckbox->toolTip(), "Start at login is enabled");
}

}  // namespace
}  // namespace LaunchAtLoginTests
}  // namespace qm::test
