// Launch flags, the build strings and the diagnostic log.
#include <gtest/gtest.h>

#include <thread>

#include "HostApp/App/HostBuild.h"
#include "Platform/Core/LogSink.h"
#include "Platform/Core/ManualDispatchQueue.h"
#include "support/AppHarness.h"
#include "support/InMemoryViewer.h"

namespace qm::test {
namespace ProcessTests {
namespace {

TEST(LaunchFlags, OnlyExactArgumentsCount) {
    auto flags = HostLaunchFlags::parse({"/usr/bin/QuillmereHost", "--quillmere-unattended-upgrade=1",
                                         "--QUILLMERE-INITIAL-INSTALL"});
    EXPECT_FALSE(flags.unattendedUpgrade);
    EXPECT_FALSE(flags.initialInstall);
    flags = HostLaunchFlags::parse({"x", "--quillmere-initial-install", "--quillmere-unattended-upgrade"});
    EXPECT_TRUE(flags.unattendedUpgrade);
    EXPECT_TRUE(flags.initialInstall);
}

TEST(BuildStrings, MissingVersionsReadAsUnknown) {
    HostBundleInfo bundle;
    bundle.bundlePath = "/opt/q";
    EXPECT_EQ(hostBuildMarkerString(bundle), "Vunknown build=unknown version=unknown bundle=/opt/q exec=unknown");
    bundle.shortVersion = "2.0";
    EXPECT_EQ(hostBundleVersionString(bundle), "2.0") << "no build: the version stands in";
    bundle.bundleVersion = "200";
    bundle.executablePath = "/opt/q/bin/h";
    EXPECT_EQ(hostBuildMarkerString(bundle), "V2.0 build=200 version=2.0 bundle=/opt/q exec=/opt/q/bin/h");
}

TEST(DiagnosticLog, KeepsTheNewest400StampedLines) {
    auto clock = std::make_shared<ManualClock>();
    DiagnosticLogBuffer log(clock);
    for (int i = 1; i <= 401; ++i) log.append("line " + std::to_string(i));
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 400u);
    EXPECT_EQ(lines.front().substr(13), "line 2");
    EXPECT_EQ(lines.back().substr(13), "line 401");
    EXPECT_EQ(lines.front()[2], ':');
    EXPECT_EQ(lines.front()[8], '.');
    EXPECT_EQ(lines.front()[12], ' ');
    for (int i = 0; i < 1000; ++i) log.append("more " + std::to_string(i));
    lines = log.lines();
    EXPECT_EQ(lines.size(), 400u);
    EXPECT_EQ(lines.front().substr(13), "more 600");
}

TEST(DiagnosticLog, TakesSinkLinesButNotVerifierLinesAndSurvivesConcurrentWriters) {
    LogSink::shared().setWritesStandardError(false);
    auto log = std::make_shared<DiagnosticLogBuffer>(std::make_shared<ManualClock>());
    {
        auto subscription = DiagnosticLogBuffer::attach(LogSink::shared(), log);
        logLine("[QuillmereHost] build marker: V1");
        logLine("[QuillmereHost] verifier: QuillMere-HostRoute-ThunderboltIPv6First");
        std::vector<std::thread> writers;
        for (int t = 0; t < 4; ++t) {
            writers.emplace_back([t] {
                for (int i = 0; i < 200; ++i) logLine("w" + std::to_string(t));
            });
        }
        for (auto& writer : writers) writer.join();
    }
    logLine("after the subscription ended");
    LogSink::shared().setWritesStandardError(true);
    const auto lines = log->lines();
    ASSERT_EQ(lines.size(), 400u);
    for (const auto& line : lines) {
        EXPECT_EQ(line.find("verifier"), std::string::npos);
        EXPECT_EQ(line.find("after"), std::string::npos);
    }
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(TerminalLines, TheStatusRefreshStaysInTheDiagnosticLogWhileViewersComingAndGoingReachTheTerminal) {
    using testing::internal::CaptureStderr;
    using testing::internal::GetCapturedStderr;
    AppHarness app;
    auto& sink = LogSink::shared();
    const bool detailBefore = sink.writesDetail();
    sink.setWritesDetail(false);
    sink.setWritesStandardError(true);

    CaptureStderr();
    app.launch();
    const auto startUp = GetCapturedStderr();
    // A minute alone: thirty status refreshes, and not one line on the terminal.
    CaptureStderr();
    app.host.clock().advance(60);
    const auto alone = GetCapturedStderr();
    // A Viewer signs in and leaves.
    CaptureStderr();
    auto viewer = std::make_unique<InMemoryViewer>(app.host, app.host.server().boundPorts().control, "Ada's MacBook");
    app.host.clock().advance(2);
    viewer.reset();
    app.host.clock().advance(2);
    const auto viewerCameAndWent = GetCapturedStderr();
    // Asked for detail, the terminal shows the refresh too.
    sink.setWritesDetail(true);
    CaptureStderr();
    app.host.clock().advance(2);
    const auto withDetail = GetCapturedStderr();
    sink.setWritesDetail(detailBefore);
    sink.setWritesStandardError(false);

    EXPECT_GE(app.count("refresh generation="), 30u);
    EXPECT_GE(app.count("display diagnostics updated"), 1u);
    EXPECT_TRUE(contains(startUp, "[QuillmereHost] build marker: V1.4.9 build=149")) << startUp;
    EXPECT_TRUE(contains(startUp, "[QuillmereHost] verifier: QuillMere-HostRoute-ThunderboltMemberPorts")) << startUp;
    EXPECT_EQ(alone, "");
    EXPECT_FALSE(contains(viewerCameAndWent, "refresh generation=")) << viewerCameAndWent;
    EXPECT_TRUE(contains(viewerCameAndWent, "(control) authorized for ")) << viewerCameAndWent;
    EXPECT_TRUE(contains(viewerCameAndWent, "(control) removed")) << viewerCameAndWent;
    EXPECT_TRUE(contains(withDetail, "[QuillmereHost] refresh generation=")) << withDetail;
}

}  // namespace
}  // namespace ProcessTests
}  // namespace qm::test
