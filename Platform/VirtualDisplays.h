#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Core/Clock.h"
#include "Platform/Core/DispatchQueue.h"
#include "Platform/Displays.h"
#include "Platform/Core/Geometry.h"

namespace qm {

// What a software display is described by when it is made: its name, the largest backing size
// it may show, its physical size, the identity the system reports for it, and the queue its
// events arrive on.
struct VirtualDisplayDescriptor {
    std::string name;
    std::int64_t maxPixelsWide = 0;
    std::int64_t maxPixelsHigh = 0;
    Size sizeInMillimeters;
    std::uint32_t vendorID = 0;
    std::uint32_t productID = 0;
    std::int64_t serialNum = 0;
    DispatchQueuePtr queue;
};

// One mode a software display offers, in points; HiDPI is asked for once in the settings.
struct VirtualDisplayMode {
    std::int64_t width = 0;
    std::int64_t height = 0;
    double refreshRate = 0;
    friend bool operator==(const VirtualDisplayMode&, const VirtualDisplayMode&) = default;
};

struct VirtualDisplaySettings {
    std::vector<VirtualDisplayMode> modes;
    std::int64_t hiDPI = 0;  // 1: every mode is backed by twice its size in pixels
};

// A software display. It exists in the display service (after a while) once its settings were
// applied, and goes away (after a while) once the last reference to the object is dropped.
class VirtualDisplay {
public:
    virtual ~VirtualDisplay() = default;
    // The display's id in the display service; 0 when the system gave it none.
    virtual DisplayID displayID() const = 0;
    virtual bool respondsToApplySettings() const = 0;
    // False when the system refuses the modes.
    virtual bool applySettings(const VirtualDisplaySettings& settings) = 0;
};

// Makes software displays. Each step can be unavailable on a given system, and the caller turns
// each into its own failure text.
class VirtualDisplayFactory {
public:
    virtual ~VirtualDisplayFactory() = default;

    // Whether the system offers software displays at all.
    virtual bool classesAvailable() const = 0;
    // Whether a display object can be made and initialised with a descriptor.
    virtual bool displayInitializerAvailable() const = 0;
    // A new display for the descriptor; null when the system refuses it.
    virtual std::shared_ptr<VirtualDisplay> makeDisplay(const VirtualDisplayDescriptor& descriptor) = 0;
    // Whether modes can be made at all.
    virtual bool modeInitializerAvailable() const = 0;
    enum class ModeStatus { ok, allocationFailed, initFailed };
    struct ModeResult {
        ModeStatus status = ModeStatus::ok;
        VirtualDisplayMode mode;
    };
    virtual ModeResult makeMode(std::int64_t width, std::int64_t height, double refreshRate) = 0;
};

// Software displays shown in a SimulatedDisplayService: the Host's embedded default and what
// tests script. A display appears `appearDelay` seconds (on the display service's clock) after
// its settings were applied, in the first mode of its settings, placed to the right of the other
// displays; it goes away `removalDelay` seconds after its object was dropped.
class SimulatedVirtualDisplayFactory final : public VirtualDisplayFactory,
                                             public std::enable_shared_from_this<SimulatedVirtualDisplayFactory> {
public:
    explicit SimulatedVirtualDisplayFactory(std::shared_ptr<SimulatedDisplayService> displays);

    bool classesAvailable() const override;
    bool displayInitializerAvailable() const override;
    std::shared_ptr<VirtualDisplay> makeDisplay(const VirtualDisplayDescriptor& descriptor) override;
    bool modeInitializerAvailable() const override;
    ModeResult makeMode(std::int64_t width, std::int64_t height, double refreshRate) override;

    // ---- Scripting ----
    // How the system reports a new display: as asked; at one pixel per point (a HiDPI display
    // whose points equal its pixels); or `shortRows` rows short in both points and pixels.
    enum class Appearance { exact, onePixelPerPoint, shortRows };
    // Which step fails, and how.
    enum class Failure {
        none,
        classesMissing,
        displayInitializerMissing,
        displayInitFails,
        modeInitializerMissing,
        modeAllocationFails,
        modeInitFails,
        applySettingsMissing,
        applySettingsRejected,
        displayIDZero,
    };
    // Seconds until a new display shows; negative: never.
    void setAppearDelay(double seconds);
    void setRemovalDelay(double seconds);
    void setAppearance(Appearance appearance, std::int64_t shortRows = 0);
    void setFailure(Failure failure);

    // What the Host asked for last, and how many displays are alive.
    std::optional<VirtualDisplayDescriptor> lastDescriptor() const;
    std::optional<VirtualDisplaySettings> lastSettings() const;
    int liveDisplayCount() const;
    int createdDisplayCount() const;

private:
    class Display;
    friend class Display;
    void released(DisplayID displayID);

    std::shared_ptr<SimulatedDisplayService> displays_;
    mutable std::mutex mutex_;
    double appearDelay_ = 0.1;
    double removalDelay_ = 0.2;
    Appearance appearance_ = Appearance::exact;
    std::int64_t shortRows_ = 0;
    Failure failure_ = Failure::none;
    DisplayID nextDisplayID_ = 0x4000;
    std::optional<VirtualDisplayDescriptor> lastDescriptor_;
    std::optional<VirtualDisplaySettings> lastSettings_;
    int live_ = 0;
    int created_ = 0;
};

}  // namespace qm
