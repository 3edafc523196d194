// The process's one room bus and the hooks that feed it.
#include "bus/hooks.h"

#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <utility>

#include "bus/bus.h"
#include "log/log.h"

namespace velmora {
namespace loopback {
namespace bus {

namespace {

class Hub {
public:
    static Hub& Instance() {
        // Leaked: sessions and exit handlers may reach it while the process exits.
        static Hub* hub = [] {
            auto* created = new Hub;
            ::pthread_atfork([] { Instance().mu_.lock(); }, [] { Instance().mu_.unlock(); },
                             [] { Instance().AfterForkInChild(); });
            return created;
        }();
        return *hub;
    }

    std::shared_ptr<Bus> Current() {
        if (!active_.load(std::memory_order_acquire)) return nullptr;
        std::lock_guard<std::mutex> lock(mu_);
        return bus_;
    }

    // The bus an entering session uses: connected now if the environment asks for it and
    // none is. *refused: the environment asks for one that cannot be had.
    std::shared_ptr<Bus> ForEnter(bool* refused) {
        *refused = false;
        std::shared_ptr<Bus> broken;
        std::lock_guard<std::mutex> lock(mu_);
        if (bus_ && bus_->Broken()) {
            broken = std::move(bus_);
            active_.store(false);
        }
        if (broken) broken->Stop(true);
        if (bus_) return bus_;
        const char* url = std::getenv(kUrlVariable);
        if (url == nullptr || *url == '\0') return nullptr;
        std::string error;
        if (!ConnectLocked(url, &error)) {
            Logf(LogLevel::kError, "EnterRoom: %s=%s: %s; unset it to keep rooms within this process", kUrlVariable,
                 url, error.c_str());
            *refused = true;
            return nullptr;
        }
        return bus_;
    }

    bool Connect(const std::string& url, std::string* error) {
        std::lock_guard<std::mutex> lock(mu_);
        DropLocked();
        return ConnectLocked(url, error);
    }

    bool Disconnect() {
        std::lock_guard<std::mutex> lock(mu_);
        return DropLocked();
    }

    std::string LastError() {
        std::lock_guard<std::mutex> lock(mu_);
        return last_error_;
    }

private:
    Hub() = default;

    bool ConnectLocked(const std::string& url, std::string* error) {
        bus_ = Bus::Connect(url, error);
        last_error_ = bus_ ? std::string() : *error;
        if (!bus_) return false;
        static std::once_flag exit_hook;
        std::call_once(exit_hook, [] { std::atexit([] { Instance().AtExit(); }); });
        active_.store(true, std::memory_order_release);
        return true;
    }

    bool DropLocked() {
        if (!bus_) return false;
        active_.store(false);
        std::shared_ptr<Bus> old = std::move(bus_);
        old->Stop(true);
        return true;
    }

    void AtExit() {
        std::shared_ptr<Bus> last;
        {
            std::lock_guard<std::mutex> lock(mu_);
            active_.store(false);
            last = std::move(bus_);
        }
        // Goodbye in every room, so that the others need not wait for the expiry.
        if (last) last->Stop(false);
    }

    void AfterForkInChild() {
        // The parent's bus and its threads stay the parent's; never touched here.
        if (bus_) new std::shared_ptr<Bus>(std::move(bus_));
        bus_.reset();
        active_.store(false);
        last_error_.clear();
        mu_.unlock();
    }

    std::mutex mu_;  // guards bus_ and last_error_; held while connecting
    std::shared_ptr<Bus> bus_;
    std::atomic<bool> active_{false};
    std::string last_error_;
};

}  // namespace

int BeforeEnter(uint64_t serial, const std::string& room, const std::string& user_id, kwix::KWIXRole role) {
    bool refused = false;
    std::shared_ptr<Bus> bus = Hub::Instance().ForEnter(&refused);
    if (refused) return kwix::ERR_ENTER_ROOM_FAILED;
    return bus ? bus->Claim(serial, room, user_id, static_cast<int>(role)) : kwix::ERR_OK;
}

void AfterEnter(uint64_t serial, bool joined) {
    if (std::shared_ptr<Bus> bus = Hub::Instance().Current()) bus->Entered(serial, joined);
}

void Left(uint64_t serial) {
    if (std::shared_ptr<Bus> bus = Hub::Instance().Current()) bus->Exited(serial);
}

namespace {

void Publish(uint64_t serial, Message m) {
    if (std::shared_ptr<Bus> bus = Hub::Instance().Current()) bus->Publish(serial, std::move(m));
}

bool Connected() { return Hub::Instance().Current() != nullptr; }

}  // namespace

void AudioChannel(uint64_t serial, bool open, const ChannelParams& channel) {
    Message m;
    m.kind = Kind::kAudioChannel;
    m.open = open;
    m.channel = channel;
    Publish(serial, std::move(m));
}

void VideoChannel(uint64_t serial, kwix::StreamType type, bool open) {
    Message m;
    m.kind = Kind::kVideoChannel;
    m.open = open;
    m.stream_type = type;
    Publish(serial, std::move(m));
}

void Subscription(uint64_t serial, const std::string& user_id, kwix::StreamType type, bool on) {
    // Audio subscriptions act where the listener is; only video ones concern the sender (a
    // key frame to start from), and members that mute everyone would otherwise flood the bus.
    if (type == kwix::STREAM_TYPE_AUDIO) return;
    Message m;
    m.kind = Kind::kSubscribe;
    m.target = user_id;
    m.stream_type = type;
    m.open = on;
    Publish(serial, std::move(m));
}

void Audio(uint64_t serial, const kwix::AudioFrame& frame, bool continuous, bool clear_send_queue) {
    if (!Connected()) return;  // spares the copy of every frame in a process without a bus
    Message m;
    m.kind = Kind::kAudio;
    m.flag = continuous;
    m.clear = clear_send_queue;
    m.audio = std::make_shared<const kwix::AudioFrame>(frame);
    Publish(serial, std::move(m));
}

void Video(uint64_t serial, kwix::StreamType type, std::shared_ptr<const kwix::VideoFrame> frame) {
    Message m;
    m.kind = Kind::kVideo;
    m.stream_type = type;
    m.video = std::move(frame);
    Publish(serial, std::move(m));
}

void Video(uint64_t serial, kwix::StreamType type, std::shared_ptr<const kwix::PixelFrame> frame) {
    Message m;
    m.kind = Kind::kPixel;
    m.stream_type = type;
    m.pixel = std::move(frame);
    Publish(serial, std::move(m));
}

void Sei(uint64_t serial, int message_type, const std::string& message) {
    if (!Connected()) return;
    Message m;
    m.kind = Kind::kSei;
    m.number = message_type;
    m.text = message;
    Publish(serial, std::move(m));
}

void CustomCmd(uint64_t serial, uint32_t cmd_id, const std::string& message, bool reliable, bool ordered) {
    if (!Connected()) return;
    Message m;
    m.kind = Kind::kCustomCmd;
    m.number = cmd_id;
    m.flag = reliable;
    m.ordered = ordered;
    m.text = message;
    Publish(serial, std::move(m));
}

void Network(const std::string& user_id, const NetworkSetting& setting) {
    std::shared_ptr<Bus> bus = Hub::Instance().Current();
    if (!bus) return;
    Message m;
    m.kind = Kind::kNetwork;
    m.user_id = user_id;
    m.network = setting;
    bus->PublishNetwork(std::move(m));
}

bool Connect(const std::string& url, std::string* error) { return Hub::Instance().Connect(url, error); }

bool Disconnect() { return Hub::Instance().Disconnect(); }

bool Counter(const std::string& name, uint64_t* value) {
    std::shared_ptr<Bus> bus = Hub::Instance().Current();
    if (!bus) return false;
    const Counters c = bus->counters();
    const std::pair<const char*, uint64_t> all[] = {{"published", c.published}, {"received", c.received},
                                                    {"refused", c.refused},     {"gaps", c.gaps},
                                                    {"ghosts", c.ghosts},       {"lost", c.lost}};
    for (const auto& entry : all) {
        if (name == entry.first) {
            *value = entry.second;
            return true;
        }
    }
    return false;
}

std::string LastError() { return Hub::Instance().LastError(); }

}  // namespace bus
}  // namespace loopback
}  // namespace velmora
