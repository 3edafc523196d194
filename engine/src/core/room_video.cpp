// The room's video: which receivers take a frame and in what kind, the sender's uplink and
// its cap, and the frames that come back from the video workers (see core/room.h for the
// behaviour, media/room_video.h for the coding).
#include <algorithm>
#include <string>
#include <utility>

#include "core/clock.h"
#include "core/room.h"
#include "media/h264_encoder.h"
#include "sync/mutex.h"

namespace velmora {
namespace loopback {

using kwix::KWIXCloudDelegate;
using kwix::StreamType;

namespace {

// Members mirrored from other processes take nothing here: their own process delivers to them.
bool Local(const Entrant& who) { return who.listening.how != Listening::kNone; }

}  // namespace

int64_t Room::VideoSend::Bps(int64_t now_ms) {
    while (!sent.empty() && sent.front().first <= now_ms - kRateWindowMs) {
        window_bytes -= sent.front().second;
        sent.pop_front();
    }
    return static_cast<int64_t>(window_bytes) * 8 * 1000 / kRateWindowMs;
}

VideoSink Room::SinkLocked() {
    std::weak_ptr<Room> weak = weak_from_this();
    return [weak](VideoOutput out) {
        if (std::shared_ptr<Room> room = weak.lock()) room->DeliverVideo(out);
    };
}

int Room::SetVideoParams(uint64_t serial, StreamType type, const kwix::VideoEncodeParams& params) {
    MutexLock lock(mu_);
    Member* me = FindLocked(serial);
    if (me == nullptr) return kwix::ERR_INVALID_OPERATION;
    me->video_params[type] = params;
    return kwix::ERR_OK;
}

void Room::ForgetVideoLocked(Member& sender, StreamType type) {
    sender.video_send.erase(type);
    video_.Forget(sender.who.serial, type);
}

void Room::AskKeyFrameLocked(Member& sender, StreamType type) {
    VideoSend& send = sender.video_send[type];
    if (send.pixels) {
        send.key = true;
    } else {
        QueueLocked(sender, "OnRequestKeyFrame", false, [type](KWIXCloudDelegate& d) { d.OnRequestKeyFrame(type); });
    }
}

int Room::SendPixels(uint64_t serial, StreamType type, std::shared_ptr<const kwix::PixelFrame> frame) {
    VideoWork work;
    bool key = false;
    std::shared_ptr<VideoCounters> counters;
    {
        MutexLock lock(mu_);
        Member* me = FindLocked(serial);
        if (me == nullptr || me->video_open.count(type) == 0) return kwix::ERR_INVALID_OPERATION;
        VideoSend& send = me->video_send[type];
        send.pixels = true;
        bool encoded = false;
        bool pixels = false;
        for (const Member& m : members_) {
            if (&m == me || !Local(m.who) || m.video_subs.count({me->who.user_id, type}) == 0) continue;
            (m.who.pixel_output ? pixels : encoded) = true;
        }
        // Nobody here takes it: it costs nothing, and the next receiver starts from a key frame.
        if (!encoded && !pixels) return kwix::ERR_OK;
        auto found = me->video_params.find(type);
        const kwix::VideoEncodeParams params =
            found != me->video_params.end() ? found->second : kwix::VideoEncodeParams();
        send.wanted_bps = params.bitrate_bps != 0
                              ? params.bitrate_bps
                              : DefaultVideoBitrate(static_cast<int>(frame->width), static_cast<int>(frame->height),
                                                    params.frame_rate);
        PixelJob job;
        job.frame = std::move(frame);
        job.sent_ms = Clock::Instance().NowMs();
        job.bitrate_bps =
            static_cast<int>(send.capped_bps != 0 ? std::min(send.wanted_bps, send.capped_bps) : send.wanted_bps);
        job.frame_rate = params.frame_rate;
        job.gop_ms = static_cast<int64_t>(params.gop_in_seconds) * 1000;
        job.key = key = send.key;
        job.decode = pixels;
        job.counters = counters = me->who.video_counters;
        send.key = false;
        work = video_.Pixels(serial, type, me->who.user_id, std::move(job), SinkLocked());
    }
    // Posted without the room's lock: the workers need it to deliver what they made.
    if (!work.Post(Clock::Instance().manual())) {
        ++counters->skipped;
        if (key) {
            // The next frame makes the key frame this one would have made.
            MutexLock lock(mu_);
            if (Member* me = FindLocked(serial)) {
                if (me->video_open.count(type) != 0) me->video_send[type].key = true;
            }
        }
    }
    return kwix::ERR_OK;
}

int Room::SendVideo(uint64_t serial, StreamType type, std::shared_ptr<const kwix::VideoFrame> frame) {
    VideoWork work;
    std::shared_ptr<VideoCounters> counters;
    {
        MutexLock lock(mu_);
        Member* me = FindLocked(serial);
        if (me == nullptr || me->video_open.count(type) == 0) return kwix::ERR_INVALID_OPERATION;
        me->video_send[type].pixels = false;
        const std::string& id = me->who.user_id;
        bool watched = false;
        bool pixels = false;
        for (const Member& m : members_) {
            if (&m == me || m.video_subs.count({id, type}) == 0) continue;
            watched = true;
            pixels = pixels || (Local(m.who) && m.who.pixel_output);
        }
        if (!watched) {
            video_.Unwatched(serial, type);  // a later pixel receiver's decoding starts at a key frame
            return kwix::ERR_OK;
        }
        const int64_t now = Clock::Instance().NowMs();
        const network::Shaped up = UplinkLocked(*me, type, frame->size(), now);
        if (up.lost) {
            video_.Missed(serial, type);
        } else {
            ToReceiversLocked(serial, me->who.user_id, type, now, up.delay_ms, frame->size(), frame, nullptr, false);
            if (pixels) {
                counters = me->who.video_counters;
                work = video_.Encoded(serial, type, me->who.user_id, EncodedJob{frame, now, up.delay_ms},
                                      SinkLocked());
            } else {
                video_.Unwatched(serial, type);
            }
        }
    }
    Drain();
    if (counters && !work.Post(Clock::Instance().manual())) ++counters->skipped;
    return kwix::ERR_OK;
}

void Room::DeliverVideo(const VideoOutput& out) {
    {
        MutexLock lock(mu_);
        Member* from = FindLocked(out.sender);
        // A frame sent before its sender closed the stream or left is on its way still: it
        // reaches the receivers (after they heard of the closing), but the stream is over.
        const bool current = from != nullptr && from->video_open.count(out.type) != 0 &&
                             video_.StreamNumber(out.sender, out.type) == out.stream;
        if (out.encoded) {
            // A pixel sender's frame leaves it encoded: its uplink carries that.
            network::Shaped up;
            if (current) up = UplinkLocked(*from, out.type, out.encoded->size(), out.sent_ms);
            if (!up.lost) {
                ToReceiversLocked(out.sender, out.sender_user, out.type, out.sent_ms, up.delay_ms,
                                  out.encoded->size(), out.encoded, out.pixels, out.for_pixels);
            }
        } else {
            ToReceiversLocked(out.sender, out.sender_user, out.type, out.sent_ms, out.uplink_delay_ms, out.wire_bytes,
                              nullptr, out.pixels, out.for_pixels);
        }
        if (out.lost_sync && current) AskKeyFrameLocked(*from, out.type);
    }
    Drain();
}

network::Shaped Room::UplinkLocked(Member& from, StreamType type, size_t bytes, int64_t sent_ms) {
    VideoSend& send = from.video_send[type];
    if (send.first_ms < 0) send.first_ms = sent_ms;
    send.sent.emplace_back(sent_ms, bytes);
    send.window_bytes += bytes;
    send.Bps(sent_ms);  // keeps only the window
    const network::Shaped up = transit_.Shape(from.who.serial, network::kUplink, bytes, sent_ms);
    FitToCapLocked(from, type, sent_ms);
    return up;
}

void Room::FitToCapLocked(Member& from, StreamType type, int64_t now_ms) {
    VideoSend& send = from.video_send[type];
    const int64_t cap_bps = network::BandwidthKbps(from.who.user_id, network::kUplink) * 1000;
    const int64_t budget_bps = cap_bps * kVideoShareOfCapPercent / 100;
    const auto ask = [&](int64_t bps) {
        mu_.AssertHeld();  // called right here, under the lock
        send.asked_ms = now_ms;
        if (send.pixels) return;  // the engine's encoder takes the rate with the next frame
        const int rate = static_cast<int>(bps);
        QueueLocked(from, "OnRequestChangeVideoEncodeBitrate", false,
                    [type, rate](KWIXCloudDelegate& d) { d.OnRequestChangeVideoEncodeBitrate(type, rate); });
    };
    if (cap_bps > 0) {
        int64_t all_bps = 0;
        for (auto& stream : from.video_send) all_bps += stream.second.Bps(now_ms);
        const int64_t stream_bps = send.Bps(now_ms);
        const bool measured = send.first_ms >= 0 && now_ms - send.first_ms >= kRateWindowMs;
        if (measured && all_bps > cap_bps && stream_bps > 0) {
            const int64_t fit =
                std::max<int64_t>(budget_bps * stream_bps / all_bps / 1000 * 1000, kMinEncodeBitrateBps);
            const bool first = send.capped_bps == 0;
            // A sender that keeps exceeding is asked again, lower, once per interval.
            if (first || (now_ms - send.asked_ms >= kBitrateRequestIntervalMs && fit < send.capped_bps * 9 / 10)) {
                if (first) send.restore_bps = send.pixels || send.wanted_bps != 0 ? send.wanted_bps : stream_bps;
                send.capped_bps = fit;
                ask(fit);
            }
            return;
        }
    }
    if (send.capped_bps != 0 && (cap_bps == 0 || budget_bps >= send.restore_bps)) {
        send.capped_bps = 0;
        ask(send.restore_bps);
    }
}

void Room::ToReceiversLocked(uint64_t from, const std::string& id, StreamType type, int64_t sent_ms,
                             int64_t uplink_delay_ms, size_t wire_bytes,
                             const std::shared_ptr<const kwix::VideoFrame>& encoded,
                             const std::shared_ptr<const kwix::PixelFrame>& pixels, bool for_pixels) {
    const int64_t now = Clock::Instance().NowMs();
    for (const Member& m : members_) {
        if (m.who.serial == from || m.video_subs.count({id, type}) == 0) continue;
        const bool wants_pixels = Local(m.who) && m.who.pixel_output;
        if (wants_pixels ? !for_pixels : !encoded) continue;
        if (wants_pixels && !pixels) {
            ++m.who.video_counters->undecodable;
            continue;
        }
        if (wants_pixels) ++m.who.video_counters->decoded;
        network::Verdict verdict = transit_.Judge(from, m.who.serial, network::Cargo::kVideo, false, sent_ms);
        if (verdict.lost) continue;
        // What crosses the downlink is the encoded frame, whatever the receiver makes of it.
        const network::Shaped down =
            transit_.Shape(m.who.serial, network::kDownlink, wire_bytes, verdict.due_ms + uplink_delay_ms);
        if (down.lost) continue;
        verdict.due_ms += uplink_delay_ms + down.delay_ms;
        Dispatcher::Call call;
        if (wants_pixels) {
            call = [id = id, type, pixels](KWIXCloudDelegate& d) { d.OnRemoteVideoReceived(id.c_str(), type, *pixels); };
        } else {
            call = [id = id, type, encoded](KWIXCloudDelegate& d) { d.OnRemoteVideoReceived(id.c_str(), type, *encoded); };
        }
        const size_t bytes = wants_pixels ? pixels->size() : encoded->size();
        transit_.Deliver(from, m.who.serial, verdict, now,
                         MakeDelivery(m, "OnRemoteVideoReceived", true, std::move(call), bytes));
    }
}

}  // namespace loopback
}  // namespace velmora
