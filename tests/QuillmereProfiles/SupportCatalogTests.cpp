#include <gtest/gtest.h>

#include <cctype>
#include <set>

#include "QuillmereProfiles/QuillmereSupportCatalog.h"

namespace SupportCatalogTests {

using namespace qm;

namespace {

const std::vector<std::string> kPrefixOrder{"IP-", "NET-", "CFG-", "PERM-", "VID-", "AUD-", "FILE-", "SYS-"};

std::size_t prefixIndex(const std::string& code) {
    for (std::size_t i = 0; i < kPrefixOrder.size(); ++i) {
        if (code.starts_with(kPrefixOrder[i])) return i;
    }
    return kPrefixOrder.size();
}

}  // namespace

TEST(SupportCatalog, CodesAreOrderedByPrefixThenAscendingAndCarryTheirPrefixArea) {
    const auto& all = allSupportErrorCodes();
    ASSERT_EQ(all.size(), 54u);
    std::string previous;
    std::set<std::string> titles;
    for (auto code : all) {
        const auto e = QuillmereSupportCatalog::explanation(code);
        const auto index = prefixIndex(e.code);
        ASSERT_LT(index, kPrefixOrder.size()) << e.code;
        // Prefix, hyphen, four digits.
        const auto digits = e.code.substr(kPrefixOrder[index].size());
        EXPECT_EQ(digits.size(), 4u) << e.code;
        EXPECT_EQ(digits.find_first_not_of("0123456789"), std::string::npos) << e.code;
        if (!previous.empty()) {
            const auto previousIndex = prefixIndex(previous);
            EXPECT_LE(previousIndex, index) << previous << " before " << e.code;
            if (previousIndex == index) {
                EXPECT_LT(previous, e.code);
            }
        }
        previous = e.code;
        EXPECT_EQ(e.code, rawValue(code));
        EXPECT_EQ(supportErrorCodeFromRawValue(e.code), code);
        EXPECT_EQ(e.area, allSupportAreas()[index]) << e.code;
        EXPECT_TRUE(titles.insert(e.title).second) << "duplicate title " << e.title;
    }
    // Every prefix is used.
    std::set<std::size_t> used;
    for (auto code : all) used.insert(prefixIndex(std::string(rawValue(code))));
    EXPECT_EQ(used.size(), kPrefixOrder.size());
}

TEST(SupportCatalog, EveryRowHasCompleteTextsInTheSameVoice) {
    for (auto code : allSupportErrorCodes()) {
        const auto e = code == QuillmereSupportErrorCode::unknown ? QuillmereSupportCatalog::explanation("SYS-9001")
                                                                  : QuillmereSupportCatalog::explanation(code);
        SCOPED_TRACE(e.code);
        EXPECT_EQ(e.privacyNote,
                  "No sensitive data is required for first-line support. Collect logs only after user consent.");
        for (const auto* text : {&e.title, &e.userSummary, &e.userAction, &e.supportDiagnosis}) {
            ASSERT_FALSE(text->empty());
            EXPECT_NE(text->front(), ' ');
            EXPECT_NE(text->back(), ' ');
            EXPECT_EQ(text->find('\n'), std::string::npos);
        }
        EXPECT_EQ(e.userSummary.back(), '.');
        EXPECT_EQ(e.userAction.back(), '.');
        EXPECT_TRUE(std::isupper(static_cast<unsigned char>(e.userAction.front())));
        // The user text never leaks the support diagnosis.
        const auto userText = e.userFacingText();
        EXPECT_EQ(userText.find(e.supportDiagnosis), std::string::npos);
        EXPECT_EQ(userText.find(e.privacyNote), std::string::npos);
        EXPECT_TRUE(userText.ends_with("\n\nSupport code: " + e.code));
        EXPECT_TRUE(e.diagnosticLine().starts_with("support-code=" + e.code + " area=" +
                                                   std::string(rawValue(e.area)) + " severity="));
    }
}

TEST(SupportCatalog, SeveritiesAndTitlesOfQuotedRows) {
    const auto ip = QuillmereSupportCatalog::explanation(QuillmereSupportErrorCode::invalidHostSignature);
    EXPECT_EQ(ip.severity, QuillmereSupportSeverity::security);
    EXPECT_EQ(ip.diagnosticLine(),
              "support-code=IP-1001 area=host-verification severity=security title=Host identity proof rejected");
    EXPECT_EQ(ip.diagnosticLine(""), ip.diagnosticLine());
    EXPECT_EQ(ip.diagnosticLine("viewer=a b"), ip.diagnosticLine() + " context=viewer=a b");

    const auto net = QuillmereSupportCatalog::explanation(QuillmereSupportErrorCode::auxPortUnavailable);
    EXPECT_EQ(net.diagnosticLine(),
              "support-code=NET-2003 area=network severity=action-required title=Aux control port unavailable");
    const auto file = QuillmereSupportCatalog::explanation(QuillmereSupportErrorCode::fileTokenMismatch);
    EXPECT_EQ(rawValue(file.area), "file-transfer");
    EXPECT_EQ(QuillmereSupportCatalog::explanation(QuillmereSupportErrorCode::multiViewerDisplaySwitchBlocked).severity,
              QuillmereSupportSeverity::info);
    EXPECT_EQ(QuillmereSupportCatalog::explanation(QuillmereSupportErrorCode::unsupportedOS).severity,
              QuillmereSupportSeverity::blocked);
}

TEST(SupportCatalog, UserFacingTextLayout) {
    const auto unknown = QuillmereSupportCatalog::explanation(QuillmereSupportErrorCode::unknown);
    EXPECT_EQ(unknown.userFacingText(),
              "Quillmere hit an error that is not classified yet.\n\nWhat to try:\n"
              "Copy the error report and contact support with this code.\n\nSupport code: SYS-9001");
    EXPECT_EQ(unknown.userFacingText({"first", "second"}),
              "Quillmere hit an error that is not classified yet.\n\nfirst\nsecond\n\nWhat to try:\n"
              "Copy the error report and contact support with this code.\n\nSupport code: SYS-9001");
    EXPECT_EQ(unknown.supportFooter(), "Support code: SYS-9001");
    EXPECT_EQ(explanation(QuillmereSupportErrorCode::unknown), unknown);
}

TEST(SupportCatalog, RawLookupsAreExactAndFallBackToUnknown) {
    const auto unknown = QuillmereSupportCatalog::explanation(QuillmereSupportErrorCode::unknown);
    EXPECT_EQ(QuillmereSupportCatalog::explanation("ip-1001"), unknown);
    EXPECT_EQ(QuillmereSupportCatalog::explanation(""), unknown);
    EXPECT_EQ(QuillmereSupportCatalog::explanation("IP-1001 "), unknown);
    EXPECT_EQ(QuillmereSupportCatalog::explanation("NET-2003").title, "Aux control port unavailable");
    EXPECT_EQ(unknown.code, "SYS-9001");
    EXPECT_EQ(unknown.area, QuillmereSupportArea::system);

    EXPECT_EQ(supportAreaFromRawValue("file-transfer"), QuillmereSupportArea::fileTransfer);
    EXPECT_EQ(supportAreaFromRawValue("File-transfer"), std::nullopt);
    EXPECT_EQ(supportSeverityFromRawValue("action-required"), QuillmereSupportSeverity::actionRequired);
    EXPECT_EQ(supportSeverityFromRawValue("actionRequired"), std::nullopt);
}

TEST(SupportCatalog, HostVerificationFailureWords) {
    using C = QuillmereSupportErrorCode;
    EXPECT_EQ(QuillmereSupportCatalog::codeForHostVerificationFailure("invalid-signature"), C::invalidHostSignature);
    EXPECT_EQ(QuillmereSupportCatalog::codeForHostVerificationFailure("timed-out"), C::connectionTimedOut);
    EXPECT_EQ(QuillmereSupportCatalog::codeForHostVerificationFailure("invalid-address"), C::invalidHostAddress);
    EXPECT_EQ(QuillmereSupportCatalog::codeForHostVerificationFailure("connection-failed"), C::hostUnreachable);
    EXPECT_EQ(QuillmereSupportCatalog::codeForHostVerificationFailure("Timed-Out"), C::hostUnreachable);
    EXPECT_EQ(QuillmereSupportCatalog::codeForHostVerificationFailure(std::nullopt), C::hostUnreachable);
    EXPECT_EQ(QuillmereSupportCatalog::codeForHostVerificationFailure(""), C::hostUnreachable);
}

}  // namespace SupportCatalogTests
