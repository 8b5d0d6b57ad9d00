#include "HostApp/App/HostOnlineUpdateRequest.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>
#include <memory>

#include "Platform/Core/UUID.h"

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

// Writes `content` to `file` with mode 0600: into a new temporary file beside it first, then
// renamed over, so the updater never reads half a file. False when any step fails.
bool writeAtomically(const std::filesystem::path& file, const std::string& content) {
    const auto temporary = file.parent_path() / ("." + file.filename().string() + ".tmp-" + UUID::random().uuidString());
    const int descriptor = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (descriptor < 0) return false;
    bool ok = ::fchmod(descriptor, 0600) == 0;
    std::size_t written = 0;
    while (ok && written < content.size()) {
        const auto n = ::write(descriptor, content.data() + written, content.size() - written);
        if (n <= 0) ok = false;
        else written += static_cast<std::size_t>(n);
    }
    ok = ok && ::fsync(descriptor) == 0;
    ok = ::close(descriptor) == 0 && ok;
    ok = ok && ::rename(temporary.c_str(), file.c_str()) == 0;
    if (!ok) ::unlink(temporary.c_str());
    return ok;
}

std::string lowercased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::optional<std::string> stringValue(plist_t dictionary, const char* key) {
    plist_t node = plist_dict_get_item(dictionary, key);
    if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
    char* value = nullptr;
    plist_get_string_val(node, &value);
    if (!value) return std::nullopt;
    std::string text(value);
    free(value);
    return text;
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

std::optional<HostOnlineUpdateRequest::Status> HostOnlineUpdateRequest::status(const Request& request,
                                                                                const Locations& locations) {
    std::error_code error;
    const auto size = std::filesystem::file_size(locations.statusURL, error);
    if (error || size == 0 || size > maximumStatusBytes) return std::nullopt;
    std::ifstream in(locations.statusURL, std::ios::binary);
    if (!in) return std::nullopt;
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (data.empty() || data.size() > maximumStatusBytes) return std::nullopt;
    plist_t parsed = nullptr;
    plist_from_memory(data.data(), static_cast<std::uint32_t>(data.size()), &parsed);
    PlistPtr root(parsed);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return std::nullopt;
    auto identifier = stringValue(root.get(), "requestID");
    if (!identifier || *identifier != request.identifier) return std::nullopt;
    auto rawState = stringValue(root.get(), "state");
    if (!rawState) return std::nullopt;
    auto state = Status::stateFromRawValue(*rawState);
    if (!state) return std::nullopt;
    Status status;
    status.requestIdentifier = *identifier;
    status.state = *state;
    status.targetVersion = stringValue(root.get(), "targetVersion").value_or("");
    status.targetBuild = stringValue(root.get(), "targetBuild").value_or("");
    status.installedVersion = stringValue(root.get(), "installedVersion").value_or("");
    status.installedBuild = stringValue(root.get(), "installedBuild").value_or("");
    status.failureReason = stringValue(root.get(), "failureReason").value_or("");
    return status;
}

}  // namespace qm
