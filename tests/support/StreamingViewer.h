#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "QuillmereProfiles/DisplayPayloads.h"
#include "QuillmereProfiles/MediaPayloads.h"
#include "support/TestViewer.h"
#include "support/VideoDecoder.h"

namespace qm::test {

// A Viewer that watches a live Host's stream the way a real one does, for the programs that
// measure the Host while it streams: it signs in on control, asks for its request (Easy H.264
// 4:2:0 on the physical display unless told otherwise), signs in on video, decodes every frame
// from the first keyframe after each
// stream configuration (whose parameter sets it puts in front of that keyframe, in Annex B) and
// acknowledges each frame once decoded. Both connections open when it is made.
class StreamingViewer {
public:
    struct Frame {
        std::uint64_t number = 0;
        bool keyframe = false;
        std::uint64_t captureNs = 0;    // the Host's capture time (the packet header's timestamp)
        std::size_t packetBytes = 0;    // the whole packet, header included
        std::uint64_t arrivedNs = 0;    // CLOCK_MONOTONIC: when it was read, before decoding
        std::uint64_t decodedNs = 0;    // ... and once decoded
        int pictures = 0;               // the pictures decoding it completed
    };

    // `decodeThreads` and `keepPictures` as StreamDecoder takes them.
    StreamingViewer(std::uint16_t controlPort, std::uint16_t videoPort, int decodeThreads, bool keepPictures = false);
    ~StreamingViewer();
    StreamingViewer(const StreamingViewer&) = delete;
    StreamingViewer& operator=(const StreamingViewer&) = delete;

    // Set before start(); both run on the video connection's reading thread. A new stream
    // configuration, once its decoder is made; a frame, once decoded and acknowledged, with the
    // decoder that holds its picture (none before the first configuration).
    std::function<void(const VideoStreamConfigPayload&)> onConfig;
    std::function<void(const Frame&, const StreamDecoder*)> onFrame;

    // The account start() signs in with; the live server's scripted one unless set.
    void useAccount(std::string user, std::string password);
    // What start() asks for; set before start().
    CaptureModeControlPayload request =
        CaptureModeControlPayload::preset(VideoCaptureMode::easy, VideoChromaMode::yuv420, VideoCaptureBackend::physical);
    // Asks for another request once started (a new bit rate, as a Viewer adapting its rate does).
    void ask(const CaptureModeControlPayload& next);
    // Signs in on control, asks for the mode and signs in on video: what failed, or nothing.
    std::optional<std::string> start();
    // Once this returns, nothing more is decoded or reported.
    void stop();
    // Decoding errors of every stream so far; read after stop().
    int decodeErrors() const;

private:
    void received(const AuxFrame& frame);

    const int decodeThreads_;
    const bool keepPictures_;
    std::string user_;
    std::string password_;
    // Used on the video connection's reading thread: declared before the connections, so that
    // their threads end before it goes.
    std::optional<StreamDecoder> decoder_;
    Bytes parameterSets_;
    bool waitingForKeyframe_ = true;
    int pastErrors_ = 0;
    TestViewer control_;
    TestViewer video_;
};

}  // namespace qm::test
