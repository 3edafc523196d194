// The process's one room bus and the calls that feed it.
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

int Claim(uint64_t serial, const std::string& room, const op::Enter& enter) {
    bool refused = false;
    std::shared_ptr<Bus> bus = Hub::Instance().ForEnter(&refused);
    if (refused) return kwix::ERR_ENTER_ROOM_FAILED;
    return bus ? bus->Claim(serial, room, enter) : kwix::ERR_OK;
}

void Unclaim(uint64_t serial) {
    if (std::shared_ptr<Bus> bus = Hub::Instance().Current()) bus->Release(serial);
}

void Publish(uint64_t serial, const Operation& operation) {
    if (std::shared_ptr<Bus> bus = Hub::Instance().Current()) bus->Publish(serial, operation);
}

void Share(const network::Setting& setting) {
    if (std::shared_ptr<Bus> bus = Hub::Instance().Current()) bus->PublishNetwork(setting);
}

bool Connect(const std::string& url, std::string* error) { return Hub::Instance().Connect(url, error); }

bool Disconnect() { return Hub::Instance().Disconnect(); }

bool Counter(const std::string& name, uint64_t* value) {
    std::shared_ptr<Bus> bus = Hub::Instance().Current();
    if (!bus) return false;
    const Counters c = bus->counters();
    const std::pair<const char*, uint64_t> all[] = {
        {"published", c.published}, {"received", c.received}, {"refused", c.refused}, {"rejected", c.rejected},
        {"gaps", c.gaps},           {"ghosts", c.ghosts},     {"lost", c.lost}};
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
