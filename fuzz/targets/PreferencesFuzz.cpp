// A preferences file as another application or a careless hand leaves it: whatever loads, a
// rewrite by the Host keeps every member it did not change, in meaning; a file that does not load
// is kept aside unchanged. The first byte picks the key the Host writes, the second its value.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>

#include "Platform/UserDefaults.h"
#include "fuzz/FuzzTarget.h"
#include "support/TestPlatform.h"

using namespace qm;

namespace {

std::string contents(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

QM_FUZZ_TARGET(preferences) {
    static test::TemporaryDirectory folder;
    fuzz::FuzzInput input(data);
    const std::string keys[] = {"app.languageOverride", "host.launchAtLogin.desired", "count", "a"};
    const auto& key = keys[input.byte() % 4];
    const auto value = input.byte();
    const auto bytes = input.rest();
    const std::string text(bytes.begin(), bytes.end());
    std::error_code ec;
    std::filesystem::remove_all(folder.path() / "defaults", ec);
    std::filesystem::create_directories(folder.path() / "defaults");
    const auto file = folder.path() / "defaults" / "host.json";
    std::ofstream(file, std::ios::binary) << text;

    const auto before = nlohmann::json::parse(text, nullptr, false);
    std::vector<std::string> failures;
    JsonFileUserDefaultsStore store(folder.path() / "defaults", "host",
                                    [&](const std::string& line) { failures.push_back(line); });
    auto defaults = store.standard();
    if (before.is_discarded() || !before.is_object()) {
        QM_FUZZ_CHECK(store.problems().size() == 1, "a file that does not load is not reported");
        QM_FUZZ_CHECK(contents(folder.path() / "defaults" / "host.json.unreadable-1") == text, "the kept copy changed");
    }
    if (value % 3 == 0) {
        defaults->set(key, value % 2 == 0);
    } else if (value % 3 == 1) {
        defaults->set(key, std::string(value % 2 ? "de" : "\xC3\x28"));  // the second is not UTF-8
    } else {
        defaults->remove(key);
    }
    QM_FUZZ_CHECK(failures.size() <= 1, "one report per key and cause");
    const auto after = nlohmann::json::parse(contents(file), nullptr, false);
    if (after.is_discarded()) return;  // nothing was written
    QM_FUZZ_CHECK(after.is_object(), "the rewrite is no object");
    if (!before.is_object()) return;
    for (const auto& [member, item] : before.items()) {
        if (member == key) continue;
        QM_FUZZ_CHECK(after.contains(member) && after[member] == item, "a member the Host did not touch changed");
    }
}
