#pragma once

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <thread>
#include <string>

#include "Platform/Linux/PulseAudio.h"
#include "support/TestPlatform.h"

namespace qm::test {

// A private PulseAudio server with one null sink ("qmtest", 48 kHz), on a socket of its own.
// It points this process's PulseAudio clients (and the programs it runs) at that socket.
// `devices()` is empty when no server could be started; tests then skip.
class PulseAudioServer {
public:
    static constexpr const char* sinkName = "qmtest";

    PulseAudioServer();
    ~PulseAudioServer();
    PulseAudioServer(const PulseAudioServer&) = delete;
    PulseAudioServer& operator=(const PulseAudioServer&) = delete;

    std::shared_ptr<PulseAudioOutputDevices> devices() const { return devices_; }

    // Stops the daemon and starts a fresh one on the same socket, as a restart of the user's
    // sound server would; true once the new one answers. `devices()` stays the old object.
    bool restart();

    // The RMS level of what the sink plays (its monitor), over the last 200 ms of a 400 ms
    // recording: what the Host's speakers would give out. Negative when it cannot record.
    static double speakerLevel();

    // Runs a shell command with the server's environment and returns its standard output.
    static std::string run(const std::string& command);

    // Plays a sine tone (both channels) into the sink through pacat for as long as it lives, so
    // a busy machine's early gaps in the playback cannot decide a test. Writes block on the pipe:
    // pacat paces them.
    class TonePlayer {
    public:
        TonePlayer(double frequency, double amplitude);
        ~TonePlayer();
        TonePlayer(const TonePlayer&) = delete;
        TonePlayer& operator=(const TonePlayer&) = delete;
        bool started() const { return pipe_ != nullptr; }

    private:
        FILE* pipe_ = nullptr;
        std::atomic<bool> playing_{true};
        std::thread writer_;
    };

private:
    bool start();
    void stop();

    TemporaryDirectory dir_;
    pid_t pid_ = 0;
    std::shared_ptr<PulseAudioOutputDevices> devices_;
};

}  // namespace qm::test
