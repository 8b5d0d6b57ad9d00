// libFuzzer's entry point for an executable that links exactly one fuzz target.
#include "fuzz/FuzzTarget.h"

namespace {

const qm::fuzz::TargetFunction& theTarget() {
    static const qm::fuzz::TargetFunction& target = []() -> const qm::fuzz::TargetFunction& {
        const auto& targets = qm::fuzz::registeredTargets();
        if (targets.size() != 1) {
            std::fprintf(stderr, "a fuzz executable links one target; this one has %zu\n", targets.size());
            std::abort();
        }
        return targets.begin()->second;
    }();
    return target;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    theTarget()(std::span<const std::uint8_t>(data, size));
    return 0;
}
