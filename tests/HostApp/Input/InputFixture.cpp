#include "InputFixture.h"

#include <cstdio>

namespace qm::test {

std::vector<std::string> InputFixture::keySteps() const {
    std::vector<std::string> result;
    for (const auto& posted : poster->posted()) {
        const InputEvent& e = posted.event;
        if (e.type != EventType::keyDown && e.type != EventType::keyUp) continue;
        char text[64];
        std::snprintf(text, sizeof text, "%u%c{%llx}", e.keyCode, e.isKeyDown() ? 'd' : 'u',
                      static_cast<unsigned long long>(e.flags));
        result.emplace_back(text);
    }
    return result;
}

}  // namespace qm::test
