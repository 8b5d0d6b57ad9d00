#include "support/TestUpdater.h"

#include <plist/plist.h>

#include <fstream>

namespace qm::test {

TestUpdater::TestUpdater(bool installed) : locations_(HostOnlineUpdateRequest::Locations::under(root_.path())) {
    std::filesystem::create_directories(locations_.requestDirectoryURL);
    std::filesystem::create_directories(locations_.requestServicePlistURL.parent_path());
    if (installed) std::ofstream(locations_.requestServicePlistURL) << "<plist/>";
}

std::map<std::string, std::map<std::string, std::string>> TestUpdater::requests() const {
    std::map<std::string, std::map<std::string, std::string>> result;
    for (const auto& entry : std::filesystem::directory_iterator(locations_.requestDirectoryURL)) {
        const auto name = entry.path().filename().string();
        if (name.rfind("request-", 0) != 0) continue;
        std::ifstream in(entry.path());
        std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        plist_t root = nullptr;
        plist_from_memory(data.data(), static_cast<std::uint32_t>(data.size()), &root);
        auto& fields = result[name.substr(8)];
        if (!root) continue;
        plist_dict_iter iterator = nullptr;
        plist_dict_new_iter(root, &iterator);
        while (true) {
            char* key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(root, iterator, &key, &value);
            if (!key) break;
            if (plist_get_node_type(value) == PLIST_STRING) {
                char* text = nullptr;
                plist_get_string_val(value, &text);
                fields[key] = text;
                free(text);
            } else if (plist_get_node_type(value) == PLIST_UINT) {
                std::uint64_t number = 0;
                plist_get_uint_val(value, &number);
                fields[key] = "integer:" + std::to_string(number);
            } else {
                fields[key] = "other";
            }
            free(key);
        }
        free(iterator);
        plist_free(root);
    }
    return result;
}

std::vector<std::string> TestUpdater::cancelFiles() const {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(locations_.requestDirectoryURL)) {
        const auto name = entry.path().filename().string();
        if (name.rfind("cancel-", 0) == 0) files.push_back(name);
    }
    return files;
}

std::string TestUpdater::onlyRequestIdentifier() const {
    const auto all = requests();
    return all.size() == 1 ? all.begin()->first : std::string();
}

void TestUpdater::report(const std::string& requestID, const std::string& state,
                         std::map<std::string, std::string> extra, bool binary) {
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "requestID", plist_new_string(requestID.c_str()));
    plist_dict_set_item(root, "state", plist_new_string(state.c_str()));
    for (const auto& [key, value] : extra) plist_dict_set_item(root, key.c_str(), plist_new_string(value.c_str()));
    char* data = nullptr;
    std::uint32_t length = 0;
    if (binary) plist_to_bin(root, &data, &length);
    else plist_to_xml(root, &data, &length);
    writeRawStatus(std::string(data, length));
    free(data);
    plist_free(root);
}

void TestUpdater::writeRawStatus(const std::string& content) {
    const auto temporary = locations_.statusURL.string() + ".tmp";
    std::ofstream(temporary, std::ios::binary | std::ios::trunc) << content;
    std::filesystem::rename(temporary, locations_.statusURL);
}

void TestUpdater::removeStatus() { std::filesystem::remove(locations_.statusURL); }

}  // namespace qm::test
