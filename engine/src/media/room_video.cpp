#include "media/room_video.h"

#include <utility>
#include <vector>

#include "log/log.h"
#include "media/h264_encoder.h"
#include "media/video_decoder.h"
#include "media/video_picture.h"
#include "media/video_workers.h"

namespace velmora {
namespace loopback {

using namespace kwix;

// One sending stream's coding state. Only its strand's jobs touch what follows `strand`; the
// room (under its lock) touches only `gap`.
class RoomVideo::Stream {
public:
    Stream(uint64_t number, std::string user_id, StreamType type)
        : number(number),
          user_id(std::move(user_id)),
          label(this->user_id + " type=" + std::to_string(static_cast<int>(type))),
          strand(VideoWorkers::Instance().NewStrand()) {}

    const uint64_t number;
    const std::string user_id;
    const std::string label;  // in log lines
    const std::shared_ptr<VideoWorkers::Strand> strand;
    std::atomic<bool> gap{false};   // a frame was skipped: the decoder's next picture may lack its reference
    std::atomic<bool> idle{false};  // frames went by undecoded while no pixel receiver took them

    void Encode(const PixelJob& job, VideoOutput* out) {
        const PixelFrame& sent = *job.frame;
        const I420Picture picture = ToI420(sent);
        const bool key = job.key || !encoded_any_ || job.sent_ms - last_key_ms_ >= job.gop_ms;
        EncodedPicture coded;
        std::string error;
        if (!encoder_.Encode(picture, job.sent_ms, key, job.bitrate_bps, job.frame_rate, &coded, &error)) {
            Logf(LogLevel::kError, "video of %s: a %dx%d frame was not encoded: %s", label.c_str(), picture.width,
                 picture.height, error.c_str());
            return;
        }
        encoded_any_ = true;
        if (coded.key) last_key_ms_ = job.sent_ms;
        ++job.counters->encoded;
        if (coded.key) ++job.counters->key_frames;
        auto frame = std::make_shared<VideoFrame>();
        frame->pts = sent.pts;
        frame->dts = sent.pts;  // no B-frames: decoding order is display order
        frame->is_key_frame = coded.key;
        frame->codec = VIDEO_CODEC_TYPE_H264;
        frame->rotation = sent.rotation;
        frame->SetData(reinterpret_cast<const uint8_t*>(coded.bytes.data()), coded.bytes.size());
        out->encoded = frame;
        if (job.decode) {
            Decode(*frame, out);
        } else {
            Skip();
        }
    }

    // Feeds the frame to the decoder when it can start or go on from it.
    void Decode(const VideoFrame& frame, VideoOutput* out) {
        out->for_pixels = true;
        if (idle.exchange(false)) Skip();
        if (gap.exchange(false)) Lose(&out->lost_sync);
        const bool key = IsKeyPayload(frame.codec, frame.data(), frame.size());
        if (!key && !synced_) {
            Undecodable(out, "it waits for a key frame");
            return;
        }
        std::string error;
        if (!decoder_ || codec_ != frame.codec) {
            decoder_ = VideoDecoder::Make(frame.codec, &error);
            codec_ = frame.codec;
            if (!decoder_) {
                Undecodable(out, error.c_str());
                return;
            }
        }
        std::vector<DecodedPicture> pictures;
        if (decoder_->Decode(frame.data(), frame.size(), frame.pts, &pictures, &error) ==
            VideoDecoder::Result::kBroken) {
            decoder_.reset();
            Lose(&out->lost_sync);
            Undecodable(out, error.c_str());
            return;
        }
        synced_ = true;
        if (pictures.empty()) {
            // Parameter sets only, or a picture the decoder holds back: nothing to show yet.
            Undecodable(out, "it completed no picture");
            return;
        }
        // One picture per frame: the last one the payload completed.
        DecodedPicture& d = pictures.back();
        auto pixels = std::make_shared<PixelFrame>();
        pixels->pts = d.pts;
        pixels->width = static_cast<uint32_t>(d.picture.width);
        pixels->height = static_cast<uint32_t>(d.picture.height);
        pixels->format = VIDEO_PIXEL_FORMAT_YUV420p;
        pixels->rotation = frame.rotation;
        pixels->SetData(reinterpret_cast<const uint8_t*>(d.picture.bytes.data()), d.picture.bytes.size());
        out->pixels = pixels;
    }

    // Pixel receivers do not take the stream now: the decoder misses this frame.
    void Skip() {
        synced_ = false;
        decoder_.reset();
    }

private:
    void Lose(bool* lost_sync) {
        if (synced_) *lost_sync = true;
        synced_ = false;
    }
    void Undecodable(VideoOutput* out, const char* why) {
        out->undecodable = true;
        ++undecodable_;
        if (undecodable_ == 1 || undecodable_ % kUndecodableLogEvery == 0) {
            Logf(LogLevel::kWarning,
                 "video of %s: a frame was not delivered to pixel receivers: %s (%llu such frames so far)",
                 label.c_str(), why, static_cast<unsigned long long>(undecodable_));
        }
    }

    H264Encoder encoder_;
    bool encoded_any_ = false;
    int64_t last_key_ms_ = 0;
    std::unique_ptr<VideoDecoder> decoder_;
    VideoCodecType codec_ = VIDEO_CODEC_TYPE_H264;
    bool synced_ = false;
    uint64_t undecodable_ = 0;
};

namespace {

// What each coded frame of a stream starts as, before its coding fills it in.
VideoOutput OutputOf(uint64_t sender, const std::string& user_id, StreamType type, uint64_t stream,
                     int64_t sent_ms) {
    VideoOutput out;
    out.sender = sender;
    out.sender_user = user_id;
    out.type = type;
    out.stream = stream;
    out.sent_ms = sent_ms;
    return out;
}

}  // namespace

std::shared_ptr<RoomVideo::Stream> RoomVideo::StreamFor(uint64_t sender, StreamType type,
                                                        const std::string& user_id) {
    std::shared_ptr<Stream>& slot = streams_[{sender, static_cast<int>(type)}];
    if (!slot) slot = std::make_shared<Stream>(next_number_++, user_id, type);
    return slot;
}

bool VideoWork::Post(bool wait) { return post_ ? post_(wait) : false; }

VideoWork RoomVideo::Pixels(uint64_t sender, StreamType type, const std::string& user_id, PixelJob job,
                            VideoSink sink) {
    std::shared_ptr<Stream> stream = StreamFor(sender, type, user_id);
    const uint64_t number = stream->number;
    auto work = [stream, sender, type, number, job = std::move(job), sink = std::move(sink)]() {
        VideoOutput out = OutputOf(sender, stream->user_id, type, number, job.sent_ms);
        stream->Encode(job, &out);
        if (out.encoded) sink(std::move(out));
    };
    VideoWork w;
    w.post_ = [stream, work = std::move(work)](bool wait) mutable {
        return VideoWorkers::Instance().Post(stream->strand, std::move(work), wait);
    };
    return w;
}

VideoWork RoomVideo::Encoded(uint64_t sender, StreamType type, const std::string& user_id, EncodedJob job,
                             VideoSink sink) {
    std::shared_ptr<Stream> stream = StreamFor(sender, type, user_id);
    const uint64_t number = stream->number;
    auto work = [stream, sender, type, number, job = std::move(job), sink = std::move(sink)]() {
        VideoOutput out = OutputOf(sender, stream->user_id, type, number, job.sent_ms);
        out.uplink_delay_ms = job.uplink_delay_ms;
        out.wire_bytes = job.frame->size();
        stream->Decode(*job.frame, &out);
        sink(std::move(out));
    };
    VideoWork w;
    w.post_ = [stream, work = std::move(work)](bool wait) mutable {
        if (VideoWorkers::Instance().Post(stream->strand, std::move(work), wait)) return true;
        stream->gap = true;  // the decoder misses this frame
        return false;
    };
    return w;
}

void RoomVideo::Unwatched(uint64_t sender, StreamType type) {
    auto it = streams_.find({sender, static_cast<int>(type)});
    if (it != streams_.end()) it->second->idle = true;
}

void RoomVideo::Missed(uint64_t sender, StreamType type) {
    auto it = streams_.find({sender, static_cast<int>(type)});
    if (it != streams_.end()) it->second->gap = true;
}

void RoomVideo::Forget(uint64_t sender, StreamType type) { streams_.erase({sender, static_cast<int>(type)}); }

void RoomVideo::ForgetSender(uint64_t sender) {
    for (auto it = streams_.lower_bound({sender, 0}); it != streams_.end() && it->first.first == sender;) {
        it = streams_.erase(it);
    }
}

uint64_t RoomVideo::StreamNumber(uint64_t sender, StreamType type) const {
    auto it = streams_.find({sender, static_cast<int>(type)});
    return it == streams_.end() ? 0 : it->second->number;
}

}  // namespace loopback
}  // namespace velmora
