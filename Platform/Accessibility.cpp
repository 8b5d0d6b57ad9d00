#include "Platform/Accessibility.h"

namespace qm {

AXAttributeValue SimulatedAXElement::attribute(const std::string& name) const {
    std::lock_guard lock(mutex_);
    auto it = attributes_.find(name);
    return it == attributes_.end() ? AXAttributeValue{} : it->second;
}

void SimulatedAXElement::set(const std::string& name, AXAttributeValue value) {
    std::lock_guard lock(mutex_);
    attributes_[name] = std::move(value);
}

bool SimulatedAXElement::setAttribute(const std::string& name, const AXAttributeValue& value) {
    std::lock_guard lock(mutex_);
    if (refusesChanges_) return false;
    attributes_[name] = value;
    return true;
}

void SimulatedAXElement::setRefusesChanges(bool refuses) {
    std::lock_guard lock(mutex_);
    refusesChanges_ = refuses;
}

std::shared_ptr<SimulatedAXElement> SimulatedAXElement::window(Rect frame) {
    auto element = std::make_shared<SimulatedAXElement>();
    element->set("AXPosition", frame.origin);
    element->set("AXSize", frame.size);
    return element;
}

Rect SimulatedAXElement::frame() const {
    std::lock_guard lock(mutex_);
    auto position = attributes_.find("AXPosition");
    auto size = attributes_.find("AXSize");
    if (position == attributes_.end() || size == attributes_.end() ||
        !std::holds_alternative<Point>(position->second) || !std::holds_alternative<Size>(size->second)) {
        return {};
    }
    const auto p = std::get<Point>(position->second);
    const auto z = std::get<Size>(size->second);
    return {p.x, p.y, z.width, z.height};
}

void SimulatedAXElement::addChild(AXElementPtr child) {
    std::lock_guard lock(mutex_);
    auto& value = attributes_["AXChildren"];
    if (!std::holds_alternative<std::vector<AXElementPtr>>(value)) value = std::vector<AXElementPtr>{};
    std::get<std::vector<AXElementPtr>>(value).push_back(std::move(child));
}

std::shared_ptr<SimulatedAXElement> SimulatedAXElement::titled(const std::string& title, Rect frame) {
    auto element = std::make_shared<SimulatedAXElement>();
    element->set("AXTitle", title);
    element->set("AXPosition", frame.origin);
    element->set("AXSize", frame.size);
    return element;
}

bool SimulatedAccessibility::isProcessTrusted() const {
    std::lock_guard lock(mutex_);
    return trusted_;
}

bool SimulatedAccessibility::isProcessTrustedWithPrompt() {
    std::lock_guard lock(mutex_);
    ++prompts_;
    return trusted_;
}

AXElementPtr SimulatedAccessibility::applicationElement(int processIdentifier) const {
    std::lock_guard lock(mutex_);
    auto it = applications_.find(processIdentifier);
    return it == applications_.end() ? nullptr : it->second;
}

void SimulatedAccessibility::setTrusted(bool trusted) {
    std::lock_guard lock(mutex_);
    trusted_ = trusted;
}

int SimulatedAccessibility::promptCount() const {
    std::lock_guard lock(mutex_);
    return prompts_;
}

void SimulatedAccessibility::setApplicationElement(int processIdentifier, AXElementPtr element) {
    std::lock_guard lock(mutex_);
    applications_[processIdentifier] = std::move(element);
}

}  // namespace qm
