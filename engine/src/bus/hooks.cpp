// The process's one room bus and the calls that feed it.
#include "bus/hooks.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <utility>

#include "bus/address.h"
#include "bus/bus.h"
#include "log/log.h"
#include "sync/fork.h"
#include "sync/mutex.h"

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
            ForkHandlersOf<Hub, &Hub::Instance>::Register(ForkStage::kRoomBus);
            return created;
        }();
        return *hub;
    }

    std::shared_ptr<Bus> Current() {
        if (!active_.load(std::memory_order_acquire)) return nullptr;
        MutexLock lock(mu_);
        return bus_;
    }

    // The bus an entering session uses: started now if the environment asks for it and none
    // is (it connects on its own threads). *refused: the environment asks for one that
    // cannot be had.
    std::shared_ptr<Bus> ForEnter(bool* refused) {
        *refused = false;
        MutexLock lock(mu_);
        if (bus_ && bus_->Failed()) {
            active_.store(false);
            // Its threads may still be inside a connect that has not timed out yet: they are
            // waited for elsewhere, not by this session's caller.
            std::thread([failed = std::move(bus_)] { failed->Stop(true); }).detach();
        }
        if (bus_) return bus_;
        const char* url = std::getenv(kUrlVariable);
        if (url == nullptr || *url == '\0') return nullptr;
        const std::string origin = std::string(kUrlVariable) + "=" + Masked(url);
        Address address;
        std::string error;
        if (!ParseAddress(url, &address, &error) || !KeyFromEnvironment(&address, &error) ||
            !(bus_ = Bus::Start(address, origin, &error))) {
            Logf(LogLevel::kError, "EnterRoom: %s: %s; unset it to keep rooms within this process", origin.c_str(),
                 error.c_str());
            *refused = true;
            return nullptr;
        }
        Activate();
        return bus_;
    }

    // Connects without holding mu_: an EnterRoom meanwhile must not wait for the server.
    bool Connect(const std::string& url, const char* key, std::string* error) {
        Disconnect();
        Address address;
        bool made = ParseAddress(url, &address, error);
        if (made && key != nullptr) {
            address.key = key;
            made = CheckKey(address.key, "the control API", error);
        }
        std::shared_ptr<Bus> bus;
        if (made && KeyFromEnvironment(&address, error)) bus = Bus::Connect(address, error);
        std::shared_ptr<Bus> replaced;
        if (!bus) Logf(LogLevel::kError, "room bus: cannot connect to %s: %s", Masked(url).c_str(), error->c_str());
        {
            MutexLock lock(mu_);
            last_error_ = bus ? std::string() : *error;
            if (!bus) return false;
            replaced = std::move(bus_);  // another connect or EnterRoom came first: this one wins
            bus_ = std::move(bus);
            Activate();
        }
        if (replaced) replaced->Stop(true);
        return true;
    }

    bool Disconnect() {
        std::shared_ptr<Bus> old;
        {
            MutexLock lock(mu_);
            active_.store(false);
            old = std::move(bus_);
        }
        if (old) old->Stop(true);
        return old != nullptr;
    }

    std::string LastError() {
        MutexLock lock(mu_);
        return last_error_;
    }

private:
    friend class ForkHandlersOf<Hub, &Hub::Instance>;

    Hub() = default;

    // Without a key of its own, the environment's.
    static bool KeyFromEnvironment(Address* address, std::string* error) {
        const char* key = std::getenv(kKeyVariable);
        if (!address->key.empty() || key == nullptr || *key == '\0') return true;
        address->key = key;
        return CheckKey(address->key, kKeyVariable, error);
    }

    void Activate() {
        static std::once_flag exit_hook;
        std::call_once(exit_hook, [] { std::atexit([] { Instance().AtExit(); }); });
        active_.store(true, std::memory_order_release);
    }

    void AtExit() {
        std::shared_ptr<Bus> last;
        {
            MutexLock lock(mu_);
            active_.store(false);
            last = std::move(bus_);
        }
        // Goodbye in every room, so that the others need not wait for the expiry.
        if (last) last->Stop(false);
    }

    // Held across the fork, so that the child finds no bus half started.
    void BeforeFork() ACQUIRE(mu_) { mu_.Lock(); }
    void AfterForkInParent() RELEASE(mu_) { mu_.Unlock(); }
    void AfterForkInChild() RELEASE(mu_) {
        // The parent's bus and its threads stay the parent's; never touched here.
        if (bus_) new std::shared_ptr<Bus>(std::move(bus_));
        bus_.reset();
        active_.store(false);
        last_error_.clear();
        mu_.Unlock();
    }

    Mutex mu_;  // never held while waiting for a server
    std::shared_ptr<Bus> bus_ GUARDED_BY(mu_);
    std::atomic<bool> active_{false};
    std::string last_error_ GUARDED_BY(mu_);
};

}  // namespace

int Claim(uint64_t serial, const std::string& room, const op::Enter& enter, CarriedSession session) {
    bool refused = false;
    std::shared_ptr<Bus> bus = Hub::Instance().ForEnter(&refused);
    if (refused) return kwix::ERR_ENTER_ROOM_FAILED;
    return bus ? bus->Claim(serial, room, enter, std::move(session)) : kwix::ERR_OK;
}

void Unclaim(uint64_t serial) {
    if (std::shared_ptr<Bus> bus = Hub::Instance().Current()) bus->Release(serial);
}

void Publish(uint64_t serial, const Operation& operation) {
    if (std::shared_ptr<Bus> bus = Hub::Instance().Current()) bus->Publish(serial, operation);
}

bool Carries(uint64_t serial) {
    std::shared_ptr<Bus> bus = Hub::Instance().Current();
    return bus && bus->Carries(serial);
}

void Share(const network::Setting& setting) {
    if (std::shared_ptr<Bus> bus = Hub::Instance().Current()) bus->PublishNetwork(setting);
}

bool Connect(const std::string& url, const char* key, std::string* error) {
    return Hub::Instance().Connect(url, key, error);
}

bool Disconnect() { return Hub::Instance().Disconnect(); }

bool Counter(const std::string& name, uint64_t* value) {
    std::shared_ptr<Bus> bus = Hub::Instance().Current();
    if (!bus) return false;
    const Counters c = bus->counters();
    const std::pair<const char*, uint64_t> all[] = {
        {"published", c.published}, {"received", c.received}, {"refused", c.refused}, {"rejected", c.rejected},
        {"forged", c.forged},       {"replayed", c.replayed}, {"gaps", c.gaps},
        {"ghosts", c.ghosts},       {"lost", c.lost},         {"claiming", c.claiming},
        {"expelled", c.expelled},   {"reconnects", c.reconnects}};
    for (const auto& entry : all) {
        if (name == entry.first) {
            *value = entry.second;
            return true;
        }
    }
    return false;
}

std::string LastError() { return Hub::Instance().LastError(); }

std::string Mask(const std::string& text) { return Masked(text); }

}  // namespace bus
}  // namespace loopback
}  // namespace velmora
