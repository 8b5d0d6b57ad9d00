#pragma once

#include <QObject>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace qm {

// SIGINT and SIGTERM, delivered to the event loop through a signal fd. Construct it before any
// other thread starts: the signals are blocked in the calling thread, which the threads started
// later inherit, so only the loop receives them.
class SignalWatcher : public QObject {
public:
    explicit SignalWatcher(std::function<void(int signalNumber)> onSignal);
    ~SignalWatcher() override;
    bool valid() const { return fd_ >= 0; }

private:
    std::function<void(int)> onSignal_;
    int fd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace qm
