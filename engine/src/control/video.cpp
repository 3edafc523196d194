// Control API: per-session video counters, and the engine's own H.264 encoder for tools that
// need encoded video of their own pictures (velmora.testing's encoded participants).
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "control/control.h"
#include "kwix/velmora_kwix_defines.h"
#include "log/log.h"
#include "media/h264_encoder.h"
#include "media/video_picture.h"
#include "sync/mutex.h"
#include "velmora_loopback.h"

namespace velmora {
namespace loopback {
namespace {

struct ToolEncoder {
    Mutex mu;  // one picture at a time
    H264Encoder encoder GUARDED_BY(mu);
    EncodedPicture last GUARDED_BY(mu);
};

// The encoders the control API made, so that a pointer that names none is never used. Lock
// order: mu before an encoder's own, which a user takes before it lets go of mu, so that the
// encoder cannot be freed in between.
struct ToolEncoders {
    Mutex mu;
    std::set<ToolEncoder*> live GUARDED_BY(mu);
};

ToolEncoders& Encoders() {
    static ToolEncoders* encoders = new ToolEncoders;  // leaked: a tool may exit with encoders alive
    return *encoders;
}

// The encoder `handle` names; null when it names none.
ToolEncoder* LiveLocked(ToolEncoders& all, void* handle) REQUIRES(all.mu) {
    auto it = all.live.find(static_cast<ToolEncoder*>(handle));
    return it == all.live.end() ? nullptr : *it;
}

}  // namespace
}  // namespace loopback
}  // namespace velmora

using namespace velmora::loopback;

extern "C" {

int vlb_video_counters(void* session, uint64_t* encoded, uint64_t* key_frames, uint64_t* skipped, uint64_t* decoded,
                       uint64_t* undecodable) {
    std::shared_ptr<Session> s = LiveSession(session);
    if (!s) return VLB_ABSENT;
    const VideoCounters& c = s->video_counters();
    if (encoded != nullptr) *encoded = c.encoded.load();
    if (key_frames != nullptr) *key_frames = c.key_frames.load();
    if (skipped != nullptr) *skipped = c.skipped.load();
    if (decoded != nullptr) *decoded = c.decoded.load();
    if (undecodable != nullptr) *undecodable = c.undecodable.load();
    return VLB_OK;
}

void* vlb_video_encoder_new(void) {
    auto* made = new ToolEncoder;
    ToolEncoders& all = Encoders();
    MutexLock lock(all.mu);
    all.live.insert(made);
    return made;
}

int vlb_video_encoder_free(void* encoder) {
    ToolEncoders& all = Encoders();
    ToolEncoder* found = nullptr;
    {
        MutexLock lock(all.mu);
        auto it = all.live.find(static_cast<ToolEncoder*>(encoder));
        if (it == all.live.end()) return VLB_ABSENT;
        found = *it;
        all.live.erase(it);
    }
    // Another thread inside vlb_video_encode finishes first.
    { MutexLock wait(found->mu); }
    delete found;
    return VLB_OK;
}

int64_t vlb_video_encode(void* encoder, const uint8_t* i420, size_t size, int width, int height, int bitrate_bps,
                         int frame_rate, int key) {
    if (i420 == nullptr) return VLB_NULL;
    const bool sides = width >= kMinPictureSide && width <= kMaxPictureSide && height >= kMinPictureSide &&
                       height <= kMaxPictureSide && ((width | height) & 1) == 0;
    if (!sides || size != static_cast<size_t>(width) * height * 3 / 2) return VLB_INVALID;
    ToolEncoders& all = Encoders();
    MutexLock lock(all.mu);
    ToolEncoder* e = LiveLocked(all, encoder);
    if (e == nullptr) return VLB_ABSENT;
    MutexLock own(e->mu);
    lock.Unlock();
    I420Picture picture;
    picture.width = width;
    picture.height = height;
    picture.bytes.assign(reinterpret_cast<const char*>(i420), size);
    std::string error;
    if (!e->encoder.Encode(picture, 0, key != 0, bitrate_bps, frame_rate, &e->last, &error)) {
        Logf(LogLevel::kError, "vlb_video_encode: %s", error.c_str());
        e->last = EncodedPicture();
        return VLB_CODEC_FAILED;
    }
    return static_cast<int64_t>(e->last.bytes.size());
}

int64_t vlb_video_encoded(void* encoder, char* buffer, size_t capacity) {
    ToolEncoders& all = Encoders();
    MutexLock lock(all.mu);
    ToolEncoder* e = LiveLocked(all, encoder);
    if (e == nullptr) return VLB_ABSENT;
    MutexLock own(e->mu);
    lock.Unlock();
    return CopyOut(e->last.bytes, buffer, capacity);
}

int vlb_video_encoded_key(void* encoder) {
    ToolEncoders& all = Encoders();
    MutexLock lock(all.mu);
    ToolEncoder* e = LiveLocked(all, encoder);
    if (e == nullptr) return VLB_ABSENT;
    MutexLock own(e->mu);
    lock.Unlock();
    return e->last.key ? 1 : 0;
}

}  // extern "C"
