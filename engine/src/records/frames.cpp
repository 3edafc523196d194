// Out-of-line operations of the media frames.
//
// A frame's payload is an immutable byte string behind handle_. SetData never changes a
// payload in place: it makes a new one. So a copy of a frame shares its payload instead of
// duplicating it, and the two frames still behave as independent objects: changing either
// replaces its own payload and leaves the other's alone. Sharing matters because the engine
// copies each frame once per receiver and once more for every callback; the reference
// count is atomic, so frames may be copied and destroyed on different threads.
//
// Defaults right after construction:
//   AudioFrame  sample_rate 48000, channels 1, bits_per_sample 16, AUDIO_CODEC_TYPE_PCM,
//               pts 0, has_voice false, empty payload and extra payload
//   VideoFrame  pts 0, dts 0, is_key_frame false, VIDEO_CODEC_TYPE_H264, VIDEO_ROTATION_0,
//               empty payload
//   PixelFrame  pts 0, width 0, height 0, VIDEO_PIXEL_FORMAT_YUV420p, VIDEO_ROTATION_0,
//               empty payload
// data() of an empty payload is a null pointer; size() is then 0.
#include "records/frames.h"

#include <atomic>

namespace velmora {
namespace loopback {
namespace {

std::atomic<uint64_t> g_data_calls{0};

FrameStore* NewStore() { return new FrameStore(); }
FrameStore* CopyStore(const void* handle) { return new FrameStore(*static_cast<const FrameStore*>(handle)); }
FrameStore* Store(void* handle) { return static_cast<FrameStore*>(handle); }
const FrameStore* Store(const void* handle) { return static_cast<const FrameStore*>(handle); }

Payload MakePayload(const uint8_t* data, size_t size) {
    if (data == nullptr || size == 0) return nullptr;
    return std::make_shared<const std::string>(reinterpret_cast<const char*>(data), size);
}

const uint8_t* PayloadData(const Payload& p) {
    g_data_calls.fetch_add(1, std::memory_order_relaxed);
    return p ? reinterpret_cast<const uint8_t*>(p->data()) : nullptr;
}

size_t PayloadSize(const Payload& p) { return p ? p->size() : 0; }

}  // namespace

uint64_t FrameDataCalls() { return g_data_calls.load(std::memory_order_relaxed); }

const std::string& ExtraPayload(const kwix::AudioFrame& frame) {
    static const std::string* const empty = new std::string();
    const Payload& extra = Store(frame.handle())->extra;
    return extra ? *extra : *empty;
}

}  // namespace loopback

namespace kwix {
using loopback::CopyStore;
using loopback::MakePayload;
using loopback::NewStore;
using loopback::PayloadData;
using loopback::PayloadSize;
using loopback::Store;

AudioFrame::AudioFrame()
    : sample_rate(48000),
      channels(1),
      bits_per_sample(16),
      codec(AUDIO_CODEC_TYPE_PCM),
      pts(0),
      has_voice(false),
      handle_(NewStore()) {}

AudioFrame::AudioFrame(const AudioFrame& other)
    : sample_rate(other.sample_rate),
      channels(other.channels),
      bits_per_sample(other.bits_per_sample),
      codec(other.codec),
      pts(other.pts),
      has_voice(other.has_voice),
      handle_(CopyStore(other.handle_)) {}

AudioFrame& AudioFrame::operator=(const AudioFrame& other) {
    if (this != &other) {
        sample_rate = other.sample_rate;
        channels = other.channels;
        bits_per_sample = other.bits_per_sample;
        codec = other.codec;
        pts = other.pts;
        has_voice = other.has_voice;
        *Store(handle_) = *Store(other.handle_);
    }
    return *this;
}

AudioFrame::~AudioFrame() { delete Store(handle_); }
void AudioFrame::SetData(const uint8_t* data, size_t size) { Store(handle_)->data = MakePayload(data, size); }
void AudioFrame::SetExtraData(const uint8_t* data, size_t size) { Store(handle_)->extra = MakePayload(data, size); }
const uint8_t* AudioFrame::data() const { return PayloadData(Store(handle_)->data); }
size_t AudioFrame::size() const { return PayloadSize(Store(handle_)->data); }
const void* AudioFrame::handle() const { return handle_; }

VideoFrame::VideoFrame()
    : pts(0), dts(0), is_key_frame(false), codec(VIDEO_CODEC_TYPE_H264), rotation(VIDEO_ROTATION_0), handle_(NewStore()) {}

VideoFrame::VideoFrame(const VideoFrame& other)
    : pts(other.pts),
      dts(other.dts),
      is_key_frame(other.is_key_frame),
      codec(other.codec),
      rotation(other.rotation),
      handle_(CopyStore(other.handle_)) {}

VideoFrame& VideoFrame::operator=(const VideoFrame& other) {
    if (this != &other) {
        pts = other.pts;
        dts = other.dts;
        is_key_frame = other.is_key_frame;
        codec = other.codec;
        rotation = other.rotation;
        *Store(handle_) = *Store(other.handle_);
    }
    return *this;
}

VideoFrame::~VideoFrame() { delete Store(handle_); }
void VideoFrame::SetData(const uint8_t* data, size_t size) { Store(handle_)->data = MakePayload(data, size); }
const uint8_t* VideoFrame::data() const { return PayloadData(Store(handle_)->data); }
size_t VideoFrame::size() const { return PayloadSize(Store(handle_)->data); }
const void* VideoFrame::handle() const { return handle_; }

PixelFrame::PixelFrame()
    : pts(0), width(0), height(0), format(VIDEO_PIXEL_FORMAT_YUV420p), rotation(VIDEO_ROTATION_0), handle_(NewStore()) {}

PixelFrame::PixelFrame(const PixelFrame& other)
    : pts(other.pts),
      width(other.width),
      height(other.height),
      format(other.format),
      rotation(other.rotation),
      handle_(CopyStore(other.handle_)) {}

PixelFrame& PixelFrame::operator=(const PixelFrame& other) {
    if (this != &other) {
        pts = other.pts;
        width = other.width;
        height = other.height;
        format = other.format;
        rotation = other.rotation;
        *Store(handle_) = *Store(other.handle_);
    }
    return *this;
}

PixelFrame::~PixelFrame() { delete Store(handle_); }
void PixelFrame::SetData(const uint8_t* data, size_t size) { Store(handle_)->data = MakePayload(data, size); }
const uint8_t* PixelFrame::data() const { return PayloadData(Store(handle_)->data); }
size_t PixelFrame::size() const { return PayloadSize(Store(handle_)->data); }
const void* PixelFrame::handle() const { return handle_; }

// KwixBuffer: a plain owned byte buffer (the encryption hooks are not used by this engine).
KwixBuffer::KwixBuffer() : handle_(new std::string()) {}
KwixBuffer::KwixBuffer(const KwixBuffer& other) : handle_(new std::string(*static_cast<std::string*>(other.handle_))) {}
KwixBuffer& KwixBuffer::operator=(const KwixBuffer& other) {
    if (this != &other) *static_cast<std::string*>(handle_) = *static_cast<const std::string*>(other.handle_);
    return *this;
}
KwixBuffer::~KwixBuffer() { delete static_cast<std::string*>(handle_); }
void KwixBuffer::SetData(const uint8_t* data, size_t size) {
    static_cast<std::string*>(handle_)->assign(data ? reinterpret_cast<const char*>(data) : "", data ? size : 0);
}
void KwixBuffer::SetSize(size_t size) { static_cast<std::string*>(handle_)->resize(size); }
uint8_t* KwixBuffer::data() { return reinterpret_cast<uint8_t*>(&(*static_cast<std::string*>(handle_))[0]); }
const uint8_t* KwixBuffer::cdata() const {
    return reinterpret_cast<const uint8_t*>(static_cast<const std::string*>(handle_)->data());
}
size_t KwixBuffer::size() const { return static_cast<const std::string*>(handle_)->size(); }
const void* KwixBuffer::handle() const { return handle_; }

}  // namespace kwix
}  // namespace velmora

