#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "HostApp/App/HostOnlineUpdateRequest.h"
#include "support/TestUpdater.h"

namespace qm {
namespace UpdateRequestTests {
namespace {

using Request = HostOnlineUpdateRequest;
using State = HostOnlineUpdateRequest::Status::State;

Request::RequestError::Kind errorOf(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const Request::RequestError& error) {
        return error.kind;
    }
    ADD_FAILURE() << "no error thrown";
    return Request::RequestError::Kind::failed;
}

TEST(UpdateRequest, AnUpdaterThatCannotBeUsedRefusesEveryWrite) {
    test::TestUpdater missing(false);
    const Request::Request someRequest{"0f0f0f0f-0000-4000-8000-000000000000", "1.6", "160"};
    EXPECT_EQ(errorOf([&] { Request::requestImmediateCheck("1.6", "160", missing.locations()); }),
              Request::RequestError::Kind::unavailable);
    EXPECT_EQ(errorOf([&] { Request::cancel(someRequest, missing.locations()); }), Request::RequestError::Kind::unavailable);
    EXPECT_TRUE(std::filesystem::is_empty(missing.locations().requestDirectoryURL));

    test::TestUpdater fileInsteadOfFolder;
    std::filesystem::remove(fileInsteadOfFolder.locations().requestDirectoryURL);
    std::ofstream(fileInsteadOfFolder.locations().requestDirectoryURL) << "x";
    EXPECT_EQ(errorOf([&] { Request::requestImmediateCheck("1.6", "160", fileInsteadOfFolder.locations()); }),
              Request::RequestError::Kind::unavailable);
}

TEST(UpdateRequest, RequestsAreSeparatePrivatePropertyListsAndCancelIsWrittenOnce) {
    test::TestUpdater updater;
    const auto first = Request::requestImmediateCheck("1.6", "160", updater.locations());
    const auto second = Request::requestImmediateCheck("1.7", "170", updater.locations());
    EXPECT_NE(first.identifier, second.identifier);
    EXPECT_EQ(first.identifier.size(), 36u);
    EXPECT_EQ(first.identifier.find_first_of("ABCDEF"), std::string::npos);

    const auto requests = updater.requests();
    ASSERT_EQ(requests.size(), 2u);
    const std::map<std::string, std::string> expected{{"schema", "integer:1"},
                                                      {"operation", "check"},
                                                      {"requestID", first.identifier},
                                                      {"targetVersion", "1.6"},
                                                      {"targetBuild", "160"}};
    EXPECT_EQ(requests.at(first.identifier), expected);
    const auto file = updater.locations().requestDirectoryURL / ("request-" + first.identifier);
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    std::ifstream in(file);
    std::string head;
    std::getline(in, head);
    EXPECT_EQ(head.rfind("<?xml", 0), 0u);

    Request::cancel(first, updater.locations());
    const auto cancelFile = updater.locations().requestDirectoryURL / ("cancel-" + first.identifier);
    std::ofstream(cancelFile, std::ios::app) << "marker";  // a second cancel must leave it alone
    Request::cancel(first, updater.locations());
    std::ifstream cancelIn(cancelFile);
    std::string content((std::istreambuf_iterator<char>(cancelIn)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "cancel\n" + first.identifier + "\nmarker");
    EXPECT_EQ(updater.cancelFiles().size(), 1u);
}

TEST(UpdateRequest, OnlyAStatusForThisRequestWithAKnownStateIsRead) {
    test::TestUpdater updater;
    const auto request = Request::requestImmediateCheck("1.6", "160", updater.locations());
    EXPECT_FALSE(Request::status(request, updater.locations()));  // no file yet

    updater.report(request.identifier, "no-update", {{"targetVersion", "1.6"}}, true);
    auto status = Request::status(request, updater.locations());
    ASSERT_TRUE(status);
    EXPECT_EQ(status->state, State::noUpdate);
    EXPECT_EQ(status->targetVersion, "1.6");
    EXPECT_EQ(status->failureReason, "");

    std::string upper = request.identifier;
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    updater.report(upper, "queued");
    EXPECT_FALSE(Request::status(request, updater.locations()));
    for (const char* state : {"QUEUED", "paused", ""}) {
        updater.report(request.identifier, state);
        EXPECT_FALSE(Request::status(request, updater.locations())) << state;
    }
    updater.writeRawStatus("not a property list");
    EXPECT_FALSE(Request::status(request, updater.locations()));
    updater.writeRawStatus("<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>");
    EXPECT_FALSE(Request::status(request, updater.locations()));
}

// A binary property list: a dictionary of short ASCII strings (under 15 bytes each).
std::string binaryList(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::vector<std::string> objects;
    std::string dict(1, static_cast<char>(0xD0 | entries.size()));
    for (std::size_t i = 0; i < entries.size(); ++i) dict += static_cast<char>(1 + i);
    for (std::size_t i = 0; i < entries.size(); ++i) dict += static_cast<char>(1 + entries.size() + i);
    objects.push_back(dict);
    for (const auto& entry : entries) objects.push_back(static_cast<char>(0x50 | entry.first.size()) + entry.first);
    for (const auto& entry : entries) objects.push_back(static_cast<char>(0x50 | entry.second.size()) + entry.second);
    std::string out = "bplist00";
    std::string offsets;
    for (const auto& object : objects) {
        offsets += static_cast<char>(out.size());
        out += object;
    }
    const auto table = out.size();
    out += offsets;
    std::string trailer(32, '\0');
    trailer[6] = 1;
    trailer[7] = 1;
    trailer[15] = static_cast<char>(objects.size());
    trailer[31] = static_cast<char>(table);
    return out + trailer;
}

TEST(UpdateRequest, AStatusFileCannotStopTheHost) {
    test::TestUpdater updater;
    const auto request = Request::requestImmediateCheck("1.6", "160", updater.locations());
    updater.writeRawStatus(binaryList({{"requestID", request.identifier.substr(0, 14)}, {"state", "failed"}}));
    const Request::Request shortRequest{request.identifier.substr(0, 14), "1.6", "160"};
    ASSERT_TRUE(Request::status(shortRequest, updater.locations())) << "the hand-made list reads";

    // A NUL inside a string once aborted the process inside the library.
    updater.writeRawStatus(binaryList({{"requestID", shortRequest.identifier}, {"state", "failed"},
                                       {"failureReason", std::string("disk\0full", 9)}}));
    EXPECT_FALSE(Request::status(shortRequest, updater.locations()));
    updater.writeRawStatus(std::string("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>requestID</key><string>") +
                           shortRequest.identifier + "</string><key>state</key><string>fail" + std::string(1, '\0') +
                           "ed</string></dict></plist>");
    EXPECT_FALSE(Request::status(shortRequest, updater.locations()));

    // Structure the library would recurse into or expand without end is refused unbuilt.
    std::string deep = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    for (int i = 0; i < 100000; ++i) deep += "<array>";
    updater.writeRawStatus(deep);
    EXPECT_FALSE(Request::status(shortRequest, updater.locations()));
    std::string loop = std::string("bplist00\xA1\x00\x08", 11) + std::string(32, '\0');  // an array inside itself
    loop[11 + 6] = loop[11 + 7] = loop[11 + 15] = 1;
    loop[11 + 31] = 10;
    EXPECT_FALSE(Request::Status::decode(std::span(reinterpret_cast<const std::uint8_t*>(loop.data()), loop.size())));

    // Not a regular file: refused without waiting for a writer.
    updater.removeStatus();
    ASSERT_EQ(::mkfifo(updater.locations().statusURL.c_str(), 0600), 0);
    EXPECT_FALSE(Request::status(shortRequest, updater.locations()));
}

}  // namespace
}  // namespace UpdateRequestTests
}  // namespace qm
