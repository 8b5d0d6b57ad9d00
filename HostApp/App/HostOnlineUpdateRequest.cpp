#include "HostApp/App/HostOnlineUpdateRequest.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <memory>
#include <vector>

#include "Platform/Core/UUID.h"
#include "Platform/UserFiles.h"
#include "QuillmereProfiles/PropertyListBounds.h"

namespace qm {

namespace {

using Locations = HostOnlineUpdateRequest::Locations;
using Error = HostOnlineUpdateRequest::RequestError;

constexpr std::array<const char*, 11> rawValues{"queued",    "checking", "downloading", "verifying", "installing", "restarting",
                                                "completed", "no-update", "deferred",   "cancelled", "failed"};

struct PlistDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

void ensureUpdaterUsable(const Locations& locations) {
    std::error_code error;
    if (!std::filesystem::exists(locations.requestServicePlistURL, error)) throw Error(Error::Kind::unavailable);
    if (!std::filesystem::is_directory(locations.requestDirectoryURL, error)) throw Error(Error::Kind::unavailable);
    if (::access(locations.requestDirectoryURL.c_str(), W_OK) != 0) throw Error(Error::Kind::unavailable);
}

// Written under a new random name beside the file, then renamed over, so the updater never reads
// half a file. False when any step fails.
bool writeAtomically(const std::filesystem::path& file, const std::string& content) {
    std::string error;
    return replaceFile(file, content, 0600, error);
}

std::string lowercased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// A string by pointer and length: the copying getter aborts the process on a string with a NUL
// inside. Such a string (which no C string carries on) reads as absent and refuses the file.
std::optional<std::string> stringValue(plist_t dictionary, const char* key, bool& refused) {
    plist_t node = plist_dict_get_item(dictionary, key);
    if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
    std::uint64_t length = 0;
    const char* value = plist_get_string_ptr(node, &length);
    if (!value) return std::nullopt;
    std::string text(value, static_cast<std::size_t>(length));
    if (text.find('\0') != std::string::npos) {
        refused = true;
        return std::nullopt;
    }
    return text;
}

// The updater writes a flat dictionary of a few short strings.
PropertyListLimits statusLimits() {
    PropertyListLimits limits;
    limits.maxObjects = 256;
    limits.maxDepth = 4;
    limits.maxExpandedNodes = 1024;
    limits.maxExpandedBytes = HostOnlineUpdateRequest::maximumStatusBytes;
    return limits;
}

}  // namespace

const Locations& Locations::system() {
    static const Locations locations{"/Library/Application Support/QuillmereHost/update-requests",
                                     "/Library/Application Support/QuillmereHost/update-status.plist",
                                     "/Library/LaunchDaemons/com.dravon.quillmere.host.updater.request.plist"};
    return locations;
}

Locations Locations::under(const std::filesystem::path& root) {
    const auto& system = Locations::system();
    return {root / system.requestDirectoryURL.relative_path(), root / system.statusURL.relative_path(),
            root / system.requestServicePlistURL.relative_path()};
}

std::optional<HostOnlineUpdateRequest::Status::State> HostOnlineUpdateRequest::Status::stateFromRawValue(const std::string& raw) {
    for (std::size_t i = 0; i < rawValues.size(); ++i) {
        if (raw == rawValues[i]) return static_cast<State>(i);
    }
    return std::nullopt;
}

std::string HostOnlineUpdateRequest::Status::rawValue(State state) { return rawValues[static_cast<std::size_t>(state)]; }

HostOnlineUpdateRequest::Request HostOnlineUpdateRequest::requestImmediateCheck(const std::string& targetVersion,
                                                                                const std::string& targetBuild,
                                                                                const Locations& locations) {
    ensureUpdaterUsable(locations);
    Request request{lowercased(UUID::random().uuidString()), targetVersion, targetBuild};
    PlistPtr dictionary(plist_new_dict());
    plist_dict_set_item(dictionary.get(), "schema", plist_new_uint(1));
    plist_dict_set_item(dictionary.get(), "operation", plist_new_string("check"));
    plist_dict_set_item(dictionary.get(), "requestID", plist_new_string(request.identifier.c_str()));
    plist_dict_set_item(dictionary.get(), "targetVersion", plist_new_string(targetVersion.c_str()));
    plist_dict_set_item(dictionary.get(), "targetBuild", plist_new_string(targetBuild.c_str()));
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(dictionary.get(), &xml, &length);
    if (!xml) throw Error(Error::Kind::failed);
    const std::string content(xml, length);
    plist_to_xml_free(xml);
    if (!writeAtomically(locations.requestDirectoryURL / ("request-" + request.identifier), content)) {
        throw Error(Error::Kind::failed);
    }
    return request;
}

void HostOnlineUpdateRequest::cancel(const Request& request, const Locations& locations) {
    ensureUpdaterUsable(locations);
    const auto file = locations.requestDirectoryURL / ("cancel-" + request.identifier);
    std::error_code error;
    if (std::filesystem::exists(std::filesystem::symlink_status(file, error))) return;
    if (!writeAtomically(file, "cancel\n" + request.identifier + "\n")) throw Error(Error::Kind::failed);
}

std::optional<HostOnlineUpdateRequest::Status> HostOnlineUpdateRequest::Status::decode(
    std::span<const std::uint8_t> data) {
    if (data.empty() || data.size() > maximumStatusBytes) return std::nullopt;
    // References can make a few hundred bytes expand to gigabytes, and nesting alone can exhaust
    // the stack: the structure is checked before the library builds anything.
    std::vector<std::string> stringsWithNUL;
    const auto form = checkPropertyListBounds(data, statusLimits(), nullptr, nullptr, &stringsWithNUL);
    if (!form || !stringsWithNUL.empty()) return std::nullopt;
    plist_t parsed = nullptr;
    const auto* bytes = reinterpret_cast<const char*>(data.data());
    if (*form == PropertyListForm::binary) {
        plist_from_bin(bytes, static_cast<std::uint32_t>(data.size()), &parsed);
    } else {
        plist_from_xml(bytes, static_cast<std::uint32_t>(data.size()), &parsed);
    }
    PlistPtr root(parsed);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return std::nullopt;
    bool refused = false;
    auto text = [&](const char* key) { return stringValue(root.get(), key, refused); };
    auto identifier = text("requestID");
    auto rawState = text("state");
    Status status;
    status.targetVersion = text("targetVersion").value_or("");
    status.targetBuild = text("targetBuild").value_or("");
    status.installedVersion = text("installedVersion").value_or("");
    status.installedBuild = text("installedBuild").value_or("");
    status.failureReason = text("failureReason").value_or("");
    if (refused || !identifier || !rawState) return std::nullopt;
    auto state = stateFromRawValue(*rawState);
    if (!state) return std::nullopt;
    status.requestIdentifier = *identifier;
    status.state = *state;
    return status;
}

std::optional<HostOnlineUpdateRequest::Status> HostOnlineUpdateRequest::status(const Request& request,
                                                                                const Locations& locations) {
    // A regular file only, never waited on, and small.
    const auto read = readUserFile(locations.statusURL, maximumStatusBytes);
    if (read.outcome != UserFileRead::Outcome::read) return std::nullopt;
    auto status = Status::decode(
        std::span(reinterpret_cast<const std::uint8_t*>(read.content.data()), read.content.size()));
    if (!status || status->requestIdentifier != request.identifier) return std::nullopt;
    return status;
}

}  // namespace qm
