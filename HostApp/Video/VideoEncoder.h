#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libavutil/rational.h>
}

#include "Platform/Core/ByteIO.h"
#include "Platform/Core/DispatchQueue.h"
#include "QuillmereProfiles/VideoStreamTypes.h"

struct AVCodecContext;
struct AVFrame;
struct AVBufferRef;
struct AVDictionary;

namespace qm {

// What the owner asks of the encoder.
struct VideoEncoderSettings {
    VideoStreamCodec codec = VideoStreamCodec::h264;
    VideoChromaMode chromaMode = VideoChromaMode::yuv420;
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t fps = 60;
    std::int64_t bitrate = 0;           // bits per second; 0 picks about 0.1 bit per pixel and frame
    // Frames between keyframes; 0: keyframes only at the start and when asked for (a Viewer that
    // joins, asks, or resumes after falling behind gets one; a stream over TCP needs no other).
    std::int64_t keyframeInterval = 0;
    // The rate buffer: the peak rate over the average rate, and how long the peak may last (s).
    // A keyframe draws on that buffer, so it can be as sharp as the frames around it while the
    // average rate stays where it was asked.
    double burstRatio = 1.0;
    double burstWindow = 1.0;
    bool allowHardware = true;
    // The range the quantiser stays in (software encoders); 0 leaves that end to the encoder.
    // The floor stops the rate control from spending bits and CPU on a picture that is already
    // sharp; the ceiling keeps text legible when the rate is tight.
    int qpMin = 0;
    int qpMax = 0;
    // The quality the software rate control holds (the x264/x265 rate factor) as long as the rate
    // buffer allows; 0 aims at the average bit rate instead. Held quality starts sharp and stays
    // there: an average-rate control starts from a guess, and a keyframe finer than it chose puts
    // it in debt that the next pictures pay for.
    int rateFactor = 0;
    // Threads for one picture; 0 sizes them from videoThreadBudget().
    int threads = 0;
};

// The quantiser a capture mode streams with. The floor is where more bits stop buying a visible
// difference at the mode's rate (measured on text); the ceiling keeps text legible when the rate
// is tight; the rate factor is the quality held while the rate buffer allows it.
struct VideoQPRange {
    int min = 0;
    int max = 0;
    int rateFactor = 0;
};
VideoQPRange qpRangeFor(VideoCaptureMode mode);

// The encoder's rate limits for an average rate: the peak rate (burst ratio times the average)
// and the buffer that peak may fill (the peak over the burst window), in bits. Values that make no
// sense are brought into range: a ratio below 1 (or not a number) is 1 and at most 8; the window
// is at least one frame and at most 10 s; the buffer fits the encoder's 32-bit field.
struct VideoRateBuffer {
    std::int64_t maxRate = 0;
    std::int64_t bufferBits = 0;
};
VideoRateBuffer rateBufferFor(std::int64_t bitrate, std::int64_t fps, double burstRatio, double burstWindow);

// What the encoder is asked for to stream a profile at a size.
VideoEncoderSettings encoderSettingsFor(const VideoStreamProfile& profile, std::int64_t width, std::int64_t height);

// The context fields and options libx264 or libx265 opens with for `settings` (its codec, chroma
// mode and size as given): what the Host's software encoder uses, and what a benchmark's bare
// libavcodec side must use to do the same work.
void configureSoftwareEncoder(AVCodecContext& ctx, AVDictionary*& options, const VideoEncoderSettings& settings);

// What the open encoder actually does: the stream configuration Viewers are told about.
struct VideoEncoderConfig {
    VideoStreamCodec codec = VideoStreamCodec::h264;
    VideoChromaMode chromaMode = VideoChromaMode::yuv420;
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t fps = 0;
    std::int64_t bitrate = 0;
    std::int64_t keyframeInterval = 0;
    // Parameter sets as NAL units without start codes; vps only for HEVC.
    Bytes vps;
    Bytes sps;
    Bytes pps;
    std::string encoderName;  // "libx264", "libx265", "h264_vaapi", "hevc_vaapi"
    bool hardware = false;
    // Empty when the request was met as asked; else what was changed and why.
    std::string fallback;
};

// One access unit in Annex-B form. Every keyframe carries the parameter sets in front, so a
// Viewer can start decoding at any keyframe.
struct EncodedVideoFrame {
    // Room the encoder leaves in front of the access unit, so the transport can write its packet
    // header and the frame number there and send the buffer as it is (an aux header and a
    // 64-bit frame number).
    static constexpr std::size_t headroom = 28;
    // `headroom` bytes, then the access unit (Annex B).
    Bytes buffer = Bytes(headroom, 0);
    std::span<const std::uint8_t> data() const { return std::span<const std::uint8_t>(buffer).subspan(headroom); }
    void appendData(std::span<const std::uint8_t> bytes) { buffer.insert(buffer.end(), bytes.begin(), bytes.end()); }
    bool isKeyframe = false;
    std::uint64_t captureUptimeNs = 0;
    std::int64_t frameNumber = 0;  // counts the pictures given to the encoder, from 0
    std::uint64_t encodeDurationNs = 0;
};

// H.264 / HEVC on libavcodec with low-latency settings: no B-frames, zero-latency tuning,
// keyframes on demand and at the configured interval (if any), each quantised finer than the rate
// control would on its own (keyframeQuantiserOffset), the mode's rate factor held within a
// rate-control buffer sized by the burst ratio and window (rateBufferFor), so a keyframe is as
// sharp as the frames around it and the average rate stays within the asked one.
// Opening walks a fallback chain: a VAAPI encoder when a render node exists and opens, then the
// software encoder; 4:4:4 falls back to 4:2:0 and HEVC to H.264 when they cannot open. A size
// the codec cannot carry is brought down to one it can (even, within the codec's maximum).
//
// encode() and the rate change it applies run on one thread (the capture's encode queue);
// updateRateControl() may be called from any thread and takes effect at the next picture.
//
// A codec session the encoder is done with (replaced by a reopen, or dropped with the encoder) is
// closed on the close queue when one is set, once the picture that replaced it is coded, so that
// the encoding thread goes on with the next session at once. libx265 codes one more picture there
// first: see closingKeyframeNeeded().
class VideoEncoder {
public:
    struct OpenResult {
        std::shared_ptr<VideoEncoder> encoder;
        std::string error;  // set when no encoder of the chain opened
    };
    static OpenResult open(const VideoEncoderSettings& settings);

    // The name the codec's own threads carry (a software encoder's workers), so that their CPU is
    // told apart from the queue that opened the encoder.
    static constexpr const char* codecThreadName = "video.codec";

    struct EncodeResult {
        std::vector<EncodedVideoFrame> frames;  // usually one; none while the encoder holds the picture
        std::optional<std::string> error;
    };

    ~VideoEncoder();
    VideoEncoder(const VideoEncoder&) = delete;
    VideoEncoder& operator=(const VideoEncoder&) = delete;

    VideoEncoderConfig config() const;
    // Increases whenever the encoder was reopened and config() may have changed.
    std::uint64_t configGeneration() const;
    // The picture format and size encode() takes (planar YUV, or NV12 for a hardware encoder).
    AVPixelFormat inputPixelFormat() const;

    // Encodes one picture of config() size in inputPixelFormat().
    EncodeResult encode(const AVFrame& picture, std::uint64_t captureUptimeNs, bool forceKeyFrame);

    // Where sessions this encoder is done with are closed (see the class comment); without one they
    // close on the thread that ends them. Set before the first encode().
    void setCloseQueue(DispatchQueuePtr queue) { closeQueue_ = std::move(queue); }

    // New frame rate and bit rate. The bit rate of libx264 changes on the live session; anything
    // else reopens the encoder at the next picture, which then is a keyframe with a new config.
    // A change of the bit rate alone reopens at most once per rateReopenSpacingNs of capture time:
    // one that comes sooner waits for the first picture after that (the latest request wins, and
    // none is left if it asks for the rate the session runs at), the session keeping its rate.
    void updateRateControl(std::int64_t fps, std::int64_t bitrate);

    // libavcodec's wrapper cannot change libx265's rate in place, so a new rate reopens it, and
    // every reopen costs a keyframe where the Viewer needed none, the closing keyframe of the old
    // session (a third to a half of a keyframe's CPU, on the close queue) and 1.2 kB that libx265 keeps
    // of every encoder it opened. Ten seconds bound that to a few reopens a minute, however often
    // a Viewer adapts its rate, and keep its adaptation loop (seconds) working.
    static constexpr std::uint64_t rateReopenSpacingNs = 10'000'000'000;

    // How much finer than the rate control's choice a keyframe is quantised (software encoders),
    // as a share of the codec's quantiser range. A requested keyframe replaces predicted frames
    // that have refined the unchanged text over many pictures and must land among them, neither
    // under them (a dip at every request) nor above them (the seconds after it climb: the stream
    // breathes). x264's rate buffer control plans each keyframe's size without the offset and,
    // row by row, takes back what the offset adds beyond that plan, so the outcome is steep in
    // the offset: at the Easy rate 10 steps came out as no offset at all (4-5 dB under the
    // frames before on a scrolling page), 20 steps 5 dB above them; 17 lands within about 3 dB
    // (docs/performance.md). A session's first picture has nothing refined before it and must be
    // sharp on its own: 20 steps.
    static constexpr AVRational keyframeQuantiserOffset{-17, 51};
    static constexpr AVRational firstKeyframeQuantiserOffset{-20, 51};
    // The predicted pictures at a session's start. What changes in them (a scrolling page, a
    // moving window) is coded afresh at the held quality, and the stream reaches its level only
    // after the rate control has seen a while of the content: meanwhile they are quantised finer,
    // by these steps at first and by fewer as the third of a second goes on (no step in quality
    // when it ends). The rate buffer holds it: the first second carries no keyframe but the first.
    static constexpr AVRational startQuantiserSteps{-6, 51};
    static constexpr double startQuantiserSeconds = 1.0 / 3;
    // The offset for the `picture`-th picture of a session at `fps` (0 once startQuantiserSeconds
    // have passed, and for the first picture, which has its own).
    static AVRational startQuantiserOffset(std::int64_t picture, std::int64_t fps);

    // Notes about live changes and reopenings. Called on the encoding thread.
    std::function<void(const std::string&)> onStatus;

    // The largest width or height each codec carries here.
    static std::int64_t maximumDimension(VideoStreamCodec codec);

private:
    struct Attempt {
        std::string encoderName;
        VideoStreamCodec codec;
        VideoChromaMode chromaMode;
        bool hardware;
        std::string renderNode;
    };

    VideoEncoder() = default;
    static std::vector<Attempt> fallbackChain(const VideoEncoderSettings& settings);
    // Opens one attempt; on failure returns the reason.
    std::optional<std::string> openAttempt(const Attempt& attempt, const VideoEncoderSettings& settings,
                                           std::int64_t width, std::int64_t height);
    class ClosingSession;
    EncodeResult encodePicture(const AVFrame& picture, std::uint64_t captureUptimeNs, bool forceKeyFrame);
    // Ends the open session: closes it at once without a close queue, else keeps it for
    // handOverClosingSessions(), which queues it to be closed.
    void closeSession();
    void handOverClosingSessions();
    // libx265 (3.5) frees the buffers its loop filter made for SAO (about 200 kB at 1080p) when the
    // encoder closes only if the last picture it coded applied SAO; SAO runs on keyframes only
    // (selective-sao=1), so a session whose last picture was predicted codes a flat keyframe before
    // it closes, for nothing but that.
    bool closingKeyframeNeeded() const;
    void applyPendingRateChange(std::uint64_t captureUptimeNs);
    static bool honoursKeyframeRegion(const Attempt& attempt, const VideoEncoderSettings& settings);
    static void sharpenKeyframe(AVFrame& frame, AVRational offset);
    std::optional<std::string> reopen(const VideoEncoderSettings& settings, const std::string& reason);

    AVCodecContext* context_ = nullptr;
    AVBufferRef* hardwareDevice_ = nullptr;
    AVBufferRef* hardwareFrames_ = nullptr;
    AVFrame* work_ = nullptr;

    Attempt attempt_;
    VideoEncoderSettings settings_;  // the request, with the size actually used
    std::int64_t nextFrameNumber_ = 0;
    std::int64_t sessionPictures_ = 0;  // pictures given to the current session
    std::int64_t lastKeyframePicture_ = 0;
    bool lastPictureWasKeyframe_ = false;  // the last picture the current session coded
    DispatchQueuePtr closeQueue_;
    std::vector<std::shared_ptr<ClosingSession>> closing_;  // ended, not yet handed to closeQueue_
    // The capture time of the picture that last reopened the encoder for a bit rate alone.
    std::optional<std::uint64_t> lastRateReopenNs_;
    struct Pending {
        std::uint64_t captureUptimeNs;
        std::uint64_t submittedSteadyNs;
    };
    std::map<std::int64_t, Pending> inFlight_;

    mutable std::mutex mutex_;  // guards config_, generation_ and the pending rate change
    VideoEncoderConfig config_;
    std::uint64_t generation_ = 0;
    std::optional<std::pair<std::int64_t, std::int64_t>> pendingRate_;
};

// Annex-B helpers.
// The NAL units of a byte stream, without their start codes.
std::vector<std::span<const std::uint8_t>> splitAnnexB(std::span<const std::uint8_t> stream);
// The NAL unit type (H.264: low 5 bits of byte 0; HEVC: bits 1-6); -1 for an empty unit.
int nalUnitType(VideoStreamCodec codec, std::span<const std::uint8_t> nal);
const char* codecTitle(VideoStreamCodec codec);
const char* chromaTitle(VideoChromaMode chroma);

}  // namespace qm
