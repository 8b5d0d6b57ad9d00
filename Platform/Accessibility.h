#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "Platform/Core/Geometry.h"

namespace qm {

class AXElement;
using AXElementPtr = std::shared_ptr<AXElement>;

// An attribute's value: missing, a string, a point, a size, or a list of child elements.
using AXAttributeValue = std::variant<std::monostate, std::string, Point, Size, std::vector<AXElementPtr>>;

// One element of an application's accessibility tree.
class AXElement {
public:
    virtual ~AXElement() = default;
    virtual AXAttributeValue attribute(const std::string& name) const = 0;
    // Sets a settable attribute ("AXPosition", "AXSize" of a window); false when the element
    // refuses it.
    virtual bool setAttribute(const std::string& name, const AXAttributeValue& value) = 0;
};

// Whether the Host may control the machine (synthetic input, reading other applications'
// elements), and the elements of running applications.
class AccessibilityService {
public:
    virtual ~AccessibilityService() = default;
    virtual bool isProcessTrusted() const = 0;
    // Asks the system to show its permission prompt (when it still can); answers the trust.
    virtual bool isProcessTrustedWithPrompt() = 0;
    // The application element of a process; nothing when the process is unknown.
    virtual AXElementPtr applicationElement(int processIdentifier) const = 0;
};

// An element whose attributes a test sets.
class SimulatedAXElement final : public AXElement {
public:
    AXAttributeValue attribute(const std::string& name) const override;
    // Stores the value unless the element was told to refuse changes.
    bool setAttribute(const std::string& name, const AXAttributeValue& value) override;
    void set(const std::string& name, AXAttributeValue value);
    // Makes later setAttribute calls fail (a window that cannot be moved or resized).
    void setRefusesChanges(bool refuses);
    // A window element with "AXPosition" and "AXSize" from the frame.
    static std::shared_ptr<SimulatedAXElement> window(Rect frame);
    // The window's frame from "AXPosition" and "AXSize" (empty when either is missing).
    Rect frame() const;
    // Appends a child to "AXChildren".
    void addChild(AXElementPtr child);
    // A tile-like element: "AXTitle", "AXPosition" and "AXSize".
    static std::shared_ptr<SimulatedAXElement> titled(const std::string& title, Rect frame = {});

private:
    mutable std::mutex mutex_;
    std::map<std::string, AXAttributeValue> attributes_;
    bool refusesChanges_ = false;
};

// The Host's stand-in: trust is a flag (granted by default), prompts are counted, and the
// application elements are trees a test builds.
class SimulatedAccessibility final : public AccessibilityService {
public:
    explicit SimulatedAccessibility(bool trusted = true) : trusted_(trusted) {}
    bool isProcessTrusted() const override;
    bool isProcessTrustedWithPrompt() override;
    AXElementPtr applicationElement(int processIdentifier) const override;

    void setTrusted(bool trusted);
    int promptCount() const;
    void setApplicationElement(int processIdentifier, AXElementPtr element);

private:
    mutable std::mutex mutex_;
    bool trusted_;
    int prompts_ = 0;
    std::map<int, AXElementPtr> applications_;
};

}  // namespace qm
