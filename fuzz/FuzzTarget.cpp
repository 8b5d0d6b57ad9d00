#include "fuzz/FuzzTarget.h"

namespace qm::fuzz {

std::map<std::string, TargetFunction>& registeredTargets() {
    static std::map<std::string, TargetFunction> targets;
    return targets;
}

bool registerTarget(const char* name, TargetFunction function) {
    return registeredTargets().emplace(name, std::move(function)).second;
}

void fail(const char* file, int line, const char* condition, std::string_view detail) {
    std::fprintf(stderr, "%s:%d: fuzz property failed: %s (%.*s)\n", file, line, condition,
                 static_cast<int>(detail.size()), detail.data());
    std::fflush(stderr);
    std::abort();
}

}  // namespace qm::fuzz
