#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "Platform/Core/AsioDispatchQueue.h"
#include "Platform/DNSService.h"
#include "Platform/Linux/AvahiDNSService.h"
#include "Platform/Core/ManualDispatchQueue.h"
#include "support/Commands.h"
#include "support/TestPlatform.h"

extern char** environ;

namespace DNSServiceTests {

using namespace qm;
using qm::test::waitUntil;
using qm::test::browseFor;
using qm::test::responderRunning;
using qm::test::runCommand;

namespace {

struct Outcomes {
    std::mutex mutex;
    std::vector<std::string> registered;
    std::vector<DNSServiceError> errors;

    DNSServiceHandlers handlers() {
        DNSServiceHandlers h;
        h.onRegistered = [this](const std::string& name) {
            std::lock_guard lock(mutex);
            registered.push_back(name);
        };
        h.onError = [this](const DNSServiceError& error) {
            std::lock_guard lock(mutex);
            errors.push_back(error);
        };
        return h;
    }
    std::size_t registeredCount() {
        std::lock_guard lock(mutex);
        return registered.size();
    }
    std::size_t errorCount() {
        std::lock_guard lock(mutex);
        return errors.size();
    }
};

std::string uniqueName() {
    std::random_device random;
    return "qm-test-" + std::to_string(random() % 1000000);
}

}  // namespace

TEST(DNSServiceTXT, EncodesLengthPrefixedStringsAndRefusesWhatDNSSDCannotCarry) {
    auto encoded = encodeTXTRecord({{"v", "1"}, {"id", ""}});
    ASSERT_TRUE(encoded);
    EXPECT_EQ(*encoded, (Bytes{3, 'v', '=', '1', 3, 'i', 'd', '='}));
    EXPECT_EQ(*encodeTXTRecord({}), Bytes{0});

    // 255 bytes in all is the most one string can hold.
    EXPECT_TRUE(encodeTXTRecord({{"k", std::string(253, 'x')}}));
    EXPECT_FALSE(encodeTXTRecord({{"k", std::string(254, 'x')}}));
    EXPECT_FALSE(encodeTXTRecord({{"", "x"}}));
    EXPECT_FALSE(encodeTXTRecord({{"a=b", "x"}}));
    EXPECT_FALSE(encodeTXTRecord({{"caf\xC3\xA9", "x"}}));
    EXPECT_FALSE(encodeTXTRecord({{"v", "1"}, {"v", "2"}}));
    // Values are bytes: anything goes.
    EXPECT_TRUE(encodeTXTRecord({{"name", "caf\xC3\xA9 = \x01"}}));
}

TEST(RecordingDNSService, RecordsTheLifeOfARegistrationAndReportsOnTheQueue) {
    auto clock = std::make_shared<ManualClock>();
    auto queue = clock->makeQueue("server");
    auto advertiser = std::make_shared<RecordingDNSServiceAdvertiser>();
    Outcomes outcomes;
    DNSServiceDescription description{"Studio", "_quillmere-host._tcp", 7346, {{"v", "1"}}};
    auto registration = advertiser->registerService(description, queue, outcomes.handlers());
    EXPECT_EQ(outcomes.registeredCount(), 0u);  // only on the queue
    queue->runUntilIdle();
    EXPECT_EQ(outcomes.registered, std::vector<std::string>{"Studio"});
    ASSERT_EQ(advertiser->activeServices().size(), 1u);

    registration->updateTXTRecord({{"v", "2"}});
    registration->updateTXTRecord({{"bad=key", "2"}});
    queue->runUntilIdle();
    ASSERT_EQ(outcomes.errors.size(), 1u);
    EXPECT_EQ(outcomes.errors[0].code, DNSServiceError::badParam);
    EXPECT_EQ(advertiser->activeServices()[0].txtRecord, (TXTRecord{{"v", "2"}}));

    registration.reset();  // dropping the handle withdraws it
    EXPECT_TRUE(advertiser->activeServices().empty());
    auto updated = description;
    updated.txtRecord = {{"v", "2"}};
    using Kind = RecordingDNSServiceAdvertiser::Event::Kind;
    EXPECT_EQ(advertiser->events(), (std::vector<RecordingDNSServiceAdvertiser::Event>{
                                        {Kind::registered, description},
                                        {Kind::updated, updated},
                                        {Kind::cancelled, updated}}));
}

TEST(RecordingDNSService, FailuresReachTheErrorHandlerButNeverAfterCancel) {
    auto clock = std::make_shared<ManualClock>();
    auto queue = clock->makeQueue("server");
    auto advertiser = std::make_shared<RecordingDNSServiceAdvertiser>();
    Outcomes outcomes;
    const DNSServiceError noResponder{DNSServiceError::unknown, "no responder"};
    advertiser->setFailure(noResponder);
    auto failed = advertiser->registerService({"A", "_quillmere-host._tcp", 1, {}}, queue, outcomes.handlers());
    queue->runUntilIdle();
    EXPECT_EQ(outcomes.errors, std::vector<DNSServiceError>{noResponder});
    EXPECT_TRUE(advertiser->activeServices().empty());

    advertiser->setFailure(std::nullopt);
    auto first = advertiser->registerService({"B", "_quillmere-host._tcp", 2, {}}, queue, outcomes.handlers());
    auto second = advertiser->registerService({"C", "_quillmere-host._tcp", 3, {}}, queue, outcomes.handlers());
    queue->runUntilIdle();
    second->cancel();
    advertiser->failActiveRegistrations(noResponder);
    queue->runUntilIdle();
    EXPECT_EQ(outcomes.errors.size(), 2u);  // B only: C was cancelled
    EXPECT_TRUE(advertiser->activeServices().empty());

    auto badRecord = advertiser->registerService({"D", "_quillmere-host._tcp", 4, {{"k", std::string(300, 'x')}}},
                                                 queue, outcomes.handlers());
    queue->runUntilIdle();
    ASSERT_EQ(outcomes.errors.size(), 3u);
    EXPECT_EQ(outcomes.errors[2].code, DNSServiceError::badParam);
}

TEST(DNSServiceNames, TheNextNameCountsOnAndStaysWithinOneLabel) {
    EXPECT_EQ(nextServiceName("Studio"), "Studio (2)");
    EXPECT_EQ(nextServiceName("Studio (2)"), "Studio (3)");
    EXPECT_EQ(nextServiceName("Studio (9)"), "Studio (10)");
    // Only a counter this scheme could have made is counted on.
    EXPECT_EQ(nextServiceName("Studio (1)"), "Studio (1) (2)");
    EXPECT_EQ(nextServiceName("Studio (02)"), "Studio (02) (2)");
    EXPECT_EQ(nextServiceName("Room (B)"), "Room (B) (2)");
    EXPECT_EQ(nextServiceName("(7)"), "(7) (2)");

    const std::string longName(63, 'x');
    EXPECT_EQ(nextServiceName(longName), std::string(59, 'x') + " (2)");
    EXPECT_EQ(nextServiceName(std::string(59, 'x') + " (9)"), std::string(58, 'x') + " (10)");
    // 30 two-byte characters: the cut may not split one.
    std::string accents;
    for (int i = 0; i < 30; ++i) accents += "\xC3\xA9";
    const auto next = nextServiceName(accents + "abc");
    EXPECT_LE(next.size(), maxServiceNameLength);
    EXPECT_EQ(next, accents.substr(0, 58) + " (2)");
}

TEST(RecordingDNSService, ATakenNameMovesToTheNextFreeOneAndSaysWhich) {
    auto clock = std::make_shared<ManualClock>();
    auto queue = clock->makeQueue("server");
    auto advertiser = std::make_shared<RecordingDNSServiceAdvertiser>();
    advertiser->claimNameElsewhere("Studio");
    Outcomes first, second;
    auto a = advertiser->registerService({"Studio", "_quillmere-host._tcp", 1, {}}, queue, first.handlers());
    auto b = advertiser->registerService({"Studio", "_quillmere-host._tcp", 2, {}}, queue, second.handlers());
    queue->runUntilIdle();
    EXPECT_EQ(first.registered, std::vector<std::string>{"Studio (2)"});
    EXPECT_EQ(second.registered, std::vector<std::string>{"Studio (3)"});  // its own first one counts too
    EXPECT_TRUE(first.errors.empty());

    // A host that appears later with the same name pushes the advertisement on again.
    advertiser->claimNameElsewhere("Studio (2)");
    queue->runUntilIdle();
    EXPECT_EQ(first.registered, (std::vector<std::string>{"Studio (2)", "Studio (4)"}));
    ASSERT_EQ(advertiser->activeServices().size(), 2u);
    EXPECT_EQ(advertiser->activeServices()[0].name, "Studio (4)");
    using Kind = RecordingDNSServiceAdvertiser::Event::Kind;
    EXPECT_EQ(advertiser->events().back().kind, Kind::renamed);

    // A cancelled advertisement frees its name.
    b->cancel();
    Outcomes third;
    auto c = advertiser->registerService({"Studio", "_quillmere-host._tcp", 3, {}}, queue, third.handlers());
    queue->runUntilIdle();
    EXPECT_EQ(third.registered, std::vector<std::string>{"Studio (3)"});
}

// Registers against a bus that does not exist and exits 0 when that failed through the error
// handler without blocking the caller. The bus library remembers the first address it used, so
// this runs in a process of its own.
[[noreturn]] void registerWithoutResponder() {
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/quillmere-test-bus", 1);
    int code = 0;
    {
        Outcomes outcomes;
        auto queue = std::make_shared<AsioDispatchQueue>("test.dnssd");
        AvahiDNSServiceAdvertiser advertiser;
        const auto before = std::chrono::steady_clock::now();
        auto registration = advertiser.registerService({uniqueName(), "_quillmere-host._tcp", 7346, {{"v", "1"}}}, queue,
                                                       outcomes.handlers());
        if (std::chrono::steady_clock::now() - before > std::chrono::milliseconds(500)) code = 2;
        if (!waitUntil([&] { return outcomes.errorCount() == 1; })) code = 3;
        // Updating a failed registration tries again, and fails again the same way.
        registration->updateTXTRecord({{"v", "2"}});
        if (!waitUntil([&] { return outcomes.errorCount() == 2; })) code = 4;
        queue->sync([] {});
        if (outcomes.registeredCount() != 0) code = 5;
        std::lock_guard lock(outcomes.mutex);
        if (!outcomes.errors.empty()) {
            const auto& error = outcomes.errors[0];
            if (error.code >= 0 || error.description.find("DNS-SD") == std::string::npos) code = 6;
            std::fprintf(stderr, "reported: %s\n", error.description.c_str());
        }
    }
    std::exit(code);
}

TEST(AvahiDNSService, WithoutAResponderRegistrationFailsThroughTheHandler) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(registerWithoutResponder(), ::testing::ExitedWithCode(0), "reported: DNS-SD registration failed");
}

TEST(AvahiDNSService, PublishedServiceResolvesWithItsTXTRecordAndFollowsUpdates) {
    if (!responderRunning()) {
        GTEST_SKIP() << "no Avahi daemon running (scripts/start-services starts one as root)";
    }
    auto queue = std::make_shared<AsioDispatchQueue>("test.dnssd");
    AvahiDNSServiceAdvertiser advertiser;
    Outcomes outcomes;
    const std::string name = uniqueName();
    auto registration = advertiser.registerService(
        {name, "_quillmere-host._tcp", 7346, {{"v", "1"}, {"id", "5A1C0FFE-0000-4000-8000-000000000001"}, {"aux", "7346"}}},
        queue, outcomes.handlers());
    ASSERT_TRUE(waitUntil([&] { return outcomes.registeredCount() == 1 || outcomes.errorCount() > 0; }));
    ASSERT_EQ(outcomes.errorCount(), 0u) << outcomes.errors[0].description;
    EXPECT_EQ(outcomes.registered[0], name);

    std::optional<std::string> line;
    ASSERT_TRUE(waitUntil([&] { return (line = browseFor(name)).has_value(); }, std::chrono::seconds(20)));
    EXPECT_NE(line->find(";7346;"), std::string::npos) << *line;
    EXPECT_NE(line->find("\"v=1\""), std::string::npos) << *line;
    EXPECT_NE(line->find("\"id=5A1C0FFE-0000-4000-8000-000000000001\""), std::string::npos) << *line;
    EXPECT_NE(line->find("\"aux=7346\""), std::string::npos) << *line;

    registration->updateTXTRecord({{"v", "1"}, {"id", "5A1C0FFE-0000-4000-8000-000000000001"}, {"aux", "7350"}});
    EXPECT_TRUE(waitUntil([&] {
        auto current = browseFor(name);
        return current && current->find("\"aux=7350\"") != std::string::npos;
    }, std::chrono::seconds(20)));
    EXPECT_EQ(outcomes.registeredCount(), 1u);  // updated in place, not published anew

    registration->cancel();
    EXPECT_TRUE(waitUntil([&] { return !browseFor(name); }, std::chrono::seconds(20)));
    EXPECT_EQ(outcomes.errorCount(), 0u);
}

TEST(AvahiDNSService, ASecondServiceOfTheSameNameIsPublishedUnderTheNextName) {
    if (!responderRunning()) {
        GTEST_SKIP() << "no Avahi daemon running (scripts/start-services starts one as root)";
    }
    auto queue = std::make_shared<AsioDispatchQueue>("test.dnssd");
    AvahiDNSServiceAdvertiser advertiser;
    const std::string name = uniqueName();
    Outcomes first, second;
    auto a = advertiser.registerService({name, "_quillmere-host._tcp", 7346, {{"v", "1"}}}, queue, first.handlers());
    ASSERT_TRUE(waitUntil([&] { return first.registeredCount() == 1 || first.errorCount() > 0; }));
    auto b = advertiser.registerService({name, "_quillmere-host._tcp", 7347, {{"v", "1"}}}, queue, second.handlers());
    ASSERT_TRUE(waitUntil([&] { return second.registeredCount() == 1 || second.errorCount() > 0; }));
    ASSERT_EQ(second.errorCount(), 0u) << second.errors[0].description;
    EXPECT_EQ(second.registered[0], name + " (2)");

    // Both are there to be found, each with its own port. avahi-browse prints " (2)" as "\032\0402\041".
    std::optional<std::string> line;
    ASSERT_TRUE(waitUntil([&] { return (line = browseFor(name + "\\032\\0402\\041")).has_value(); },
                          std::chrono::seconds(20)));
    EXPECT_NE(line->find(";7347;"), std::string::npos) << *line;
    ASSERT_TRUE(waitUntil([&] { return (line = browseFor(name)).has_value(); }, std::chrono::seconds(20)));
    EXPECT_NE(line->find(";7346;"), std::string::npos) << *line;
    EXPECT_EQ(first.errorCount(), 0u);
}

}  // namespace DNSServiceTests
