// Writes the seed corpus of every fuzz target: <folder>/<target>/seed-N.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "fuzz/Seeds.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
        return 2;
    }
    for (const auto& [name, inputs] : qm::fuzz::makeSeeds()) {
        const auto folder = std::filesystem::path(argv[1]) / name;
        std::filesystem::create_directories(folder);
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            std::ofstream out(folder / ("seed-" + std::to_string(i)), std::ios::binary);
            out.write(reinterpret_cast<const char*>(inputs[i].data()), static_cast<std::streamsize>(inputs[i].size()));
        }
    }
    return 0;
}
