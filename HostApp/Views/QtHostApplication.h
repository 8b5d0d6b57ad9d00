#pragma once

#include <functional>
#include <memory>

#include "HostApp/App/HostShell.h"
#include "Platform/Core/Clock.h"
#include "Platform/Core/DispatchQueue.h"
#include "Platform/Pasteboard.h"

namespace qm {

// The Qt application the Host runs in, kept behind a header without Qt so that the composition
// root builds without it. Without a desktop it runs on Qt's offscreen platform: the same models
// and views, nothing shown.
class QtHostApplication {
public:
    // Call before any thread starts: SIGINT and SIGTERM are blocked here and reach the loop
    // through a signal fd.
    QtHostApplication(int& argc, char** argv, bool desktop, std::shared_ptr<const Clock> clock);
    ~QtHostApplication();

    DispatchQueuePtr mainQueue() const;
    std::shared_ptr<HostShell> shell() const;
    // The desktop clipboard (only with a desktop).
    std::shared_ptr<Pasteboard> desktopPasteboard() const;
    // Runs on the loop for each SIGINT or SIGTERM.
    void onStopSignal(std::function<void(int signalNumber)> handler);
    // Runs on the loop each time the application becomes the active one.
    void onActivated(std::function<void()> handler);
    // Runs `block` once the loop runs, then returns when the loop ends. Qt's own texts follow the
    // language of the Host's tables from here on (configure them first).
    int exec(std::function<void()> block);

private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
};

}  // namespace qm
