// The video of one room: each sending stream coded once, on the video workers, for every
// receiver that takes it.
//
// A stream is a sender's STREAM_TYPE_VIDEO_HIGH, LOW or AUX. What a frame needs is decided by
// the room, under its lock, as it hands the frame over:
// - a pixel frame (checked, media/video_picture.h) is converted to I420 and encoded to H.264
//   with the stream's own encoder, at the rate and frame rate the room passes (the room
//   lowers the rate under a bandwidth cap); it is a key frame when the room asks (a subscriber
//   started taking the stream), when gop_ms passed since the last one, or when the size
//   changed. When pixel receivers take the stream, the encoding is decoded again, so that they
//   see what coding did to the picture, as they would in production.
// - an encoded frame goes to encoded receivers as it is (the room does that itself); for pixel
//   receivers it is decoded with the stream's decoder (H.264 or H.265).
// A decoder starts at a key frame: frames before one, frames after a frame the stream could
// not decode or skipped, and frames that do not decode give nothing to pixel receivers; the
// output says so (undecodable), and says when a stream that was decoding broke off (the room
// then asks the sender for a key frame). These are logged, the first of each stream and then
// every kUndecodableLogEvery-th.
//
// Each stream's work runs on its own strand of the video workers, in the order of its frames;
// the results reach the room through the sink it passes, on a worker thread, with no lock
// held. The room prepares a frame's work under its lock and posts it after releasing the lock
// (the workers' results need it). A stream whose backlog is full skips the frame (Post returns
// false), unless the room asks to wait for room (on the manual clock).
//
// Threads: the room calls every method under its own lock; nothing here calls back into the
// room but the sink, from a worker.
#ifndef VELMORA_ENGINE_MEDIA_ROOM_VIDEO_H
#define VELMORA_ENGINE_MEDIA_ROOM_VIDEO_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "kwix/velmora_kwix_defines.h"

namespace velmora {
namespace loopback {

constexpr uint64_t kUndecodableLogEvery = 100;

// A session's video figures, shared by the session and the rooms it is in.
struct VideoCounters {
    std::atomic<uint64_t> encoded{0};      // its pixel frames the engine encoded
    std::atomic<uint64_t> key_frames{0};   // of those, key frames
    std::atomic<uint64_t> skipped{0};      // its frames the video workers could not take in time
    std::atomic<uint64_t> decoded{0};      // frames decoded for it as a pixel receiver
    std::atomic<uint64_t> undecodable{0};  // frames it did not get as a pixel receiver: they did not decode
};

// A frame's passage through a stream, for the room.
struct VideoOutput {
    uint64_t sender = 0;
    std::string sender_user;
    kwix::StreamType type = kwix::STREAM_TYPE_VIDEO_HIGH;
    uint64_t stream = 0;  // the stream's number in the room: a reopened stream is a new one
    int64_t sent_ms = 0;  // engine clock when the frame was sent
    int64_t uplink_delay_ms = 0;  // an encoded sender's frame: its uplink's, judged when it was sent
    size_t wire_bytes = 0;        // an encoded sender's frame: its size, which each downlink carries
    std::shared_ptr<const kwix::VideoFrame> encoded;  // a pixel sender's frame, encoded
    std::shared_ptr<const kwix::PixelFrame> pixels;   // for pixel receivers, when it decoded
    bool for_pixels = false;  // pixel receivers were waiting: pixels or undecodable
    bool undecodable = false;
    bool lost_sync = false;  // the stream stopped decoding: the next key frame restores it
};
using VideoSink = std::function<void(VideoOutput)>;

struct PixelJob {
    std::shared_ptr<const kwix::PixelFrame> frame;
    int64_t sent_ms = 0;
    int bitrate_bps = 0;
    int frame_rate = 15;
    int64_t gop_ms = 3000;
    bool key = false;     // a subscriber started taking the stream
    bool decode = false;  // pixel receivers take it
    std::shared_ptr<VideoCounters> counters;  // the sender's
};

struct EncodedJob {
    std::shared_ptr<const kwix::VideoFrame> frame;
    int64_t sent_ms = 0;
    int64_t uplink_delay_ms = 0;  // the room's, carried to the output
};

class RoomVideo;

// A frame's work for its stream, prepared under the room's lock, posted without it.
class VideoWork {
public:
    VideoWork() = default;
    // False when the frame was skipped; `wait`: wait for room in the stream's backlog instead.
    bool Post(bool wait);

private:
    friend class RoomVideo;
    std::function<bool(bool)> post_;  // holds the stream's coders while the work is on its way
};

class RoomVideo {
public:
    RoomVideo() = default;
    RoomVideo(const RoomVideo&) = delete;
    RoomVideo& operator=(const RoomVideo&) = delete;

    // `user_id`: the sender's, for the output and the log.
    VideoWork Pixels(uint64_t sender, kwix::StreamType type, const std::string& user_id, PixelJob job,
                     VideoSink sink);
    VideoWork Encoded(uint64_t sender, kwix::StreamType type, const std::string& user_id, EncodedJob job,
                      VideoSink sink);
    // An encoded frame that pixel receivers do not take: the decoder misses it and starts
    // again at a key frame once they do.
    void Unwatched(uint64_t sender, kwix::StreamType type);
    // An encoded frame lost before it reached the service: pixel receivers' decoding breaks
    // off until the next key frame.
    void Missed(uint64_t sender, kwix::StreamType type);
    // The stream closed: frames still on the way come out with its old number, and the next
    // frame starts a new stream (new encoder, new decoder).
    void Forget(uint64_t sender, kwix::StreamType type);
    void ForgetSender(uint64_t sender);
    // The number of the sender's stream now (0 when none is running).
    uint64_t StreamNumber(uint64_t sender, kwix::StreamType type) const;

private:
    class Stream;
    std::shared_ptr<Stream> StreamFor(uint64_t sender, kwix::StreamType type, const std::string& user_id);

    std::map<std::pair<uint64_t, int>, std::shared_ptr<Stream>> streams_;
    uint64_t next_number_ = 1;
};

}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_MEDIA_ROOM_VIDEO_H
