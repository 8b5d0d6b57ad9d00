#include "fuzz/Replay.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "Platform/Core/ByteIO.h"

namespace qm::fuzz {

ReplayResult replayDirectory(const std::filesystem::path& root, const std::map<std::string, TargetFunction>& targets) {
    ReplayResult result;
    std::error_code ec;
    if (!std::filesystem::is_directory(root, ec)) {
        result.problems.push_back(root.string() + " is not a folder");
        return result;
    }
    std::vector<std::filesystem::path> folders;
    for (const auto& entry : std::filesystem::directory_iterator(root, ec))
        if (entry.is_directory()) folders.push_back(entry.path());
    std::sort(folders.begin(), folders.end());
    for (const auto& folder : folders) {
        const auto name = folder.filename().string();
        const auto target = targets.find(name);
        if (target == targets.end()) {
            result.problems.push_back(folder.string() + " names no fuzz target");
            continue;
        }
        std::vector<std::filesystem::path> files;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, ec))
            if (entry.is_regular_file()) files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        auto& count = result.inputsPerTarget[name];
        for (const auto& file : files) {
            std::ifstream in(file, std::ios::binary);
            if (!in) {
                result.problems.push_back(file.string() + " cannot be read");
                continue;
            }
            const Bytes input{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
            target->second(input);
            ++count;
        }
    }
    return result;
}

}  // namespace qm::fuzz
