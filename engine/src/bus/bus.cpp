#include "bus/bus.h"

#include <pthread.h>

#include <hiredis/hiredis.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <random>

#include "core/clock.h"
#include "log/log.h"
#include "network/network.h"
#include "network/setting.h"
#include "sync/mutex.h"

namespace velmora {
namespace loopback {
namespace bus {

namespace {

// Ghost serials share no range with session serials (which count up from 1), and stay
// unique across the buses one process may connect in turn.
std::atomic<uint64_t> g_next_ghost_serial{uint64_t{1} << 48};

constexpr int kPipelineDepth = 256;
constexpr std::chrono::milliseconds kPollInterval{100};
constexpr timeval kConnectTimeout{1, 0};
// A reply slower than this loses the link: a stalled server is noticed within a heartbeat
// and this time.
constexpr timeval kIoTimeout{2, 0};
// What a sealed message adds to the message it carries (bus/seal.h).
constexpr size_t kSealedOverhead = 64;

// Claims a user id for one session, keeps it, or takes it again once expired: 1, or 0 when
// another session (of any process) holds it.
const char* const kClaimScript =
    "local v = redis.call('get', KEYS[1]) "
    "if not v then redis.call('set', KEYS[1], ARGV[1], 'px', ARGV[2]) return 1 end "
    "if v == ARGV[1] then redis.call('pexpire', KEYS[1], ARGV[2]) return 1 end "
    "return 0";
// Only the session's own claim: after a long stall it may have expired and been taken.
const char* const kReleaseScript =
    "if redis.call('get', KEYS[1]) == ARGV[1] then return redis.call('del', KEYS[1]) end return 0";

uint64_t NewOrigin() {
    std::random_device device;
    std::seed_seq seed{device(), device(), static_cast<unsigned>(::getpid()),
                       static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count())};
    std::mt19937_64 generator(seed);
    uint64_t origin = 0;
    while (origin == 0) origin = generator();
    return origin;
}

std::string Hex(uint64_t value) {
    char text[17];
    std::snprintf(text, sizeof text, "%016" PRIx64, value);
    return text;
}

int64_t WallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The next wait before reconnecting: doubled up to kLastRetry, each with up to a quarter
// more at random so that processes that lost the server together do not return together.
std::chrono::milliseconds Jittered(std::chrono::milliseconds wait) {
    thread_local std::mt19937 generator{std::random_device{}()};
    std::uniform_int_distribution<int64_t> extra(0, wait.count() / 4);
    return wait + std::chrono::milliseconds(extra(generator));
}

struct ReplyFree {
    void operator()(redisReply* r) const { freeReplyObject(r); }
};
using Reply = std::unique_ptr<redisReply, ReplyFree>;

Reply Command(redisContext* c, const char* format, ...) {
    va_list args;
    va_start(args, format);
    void* reply = redisvCommand(c, format, args);
    va_end(args);
    return Reply(static_cast<redisReply*>(reply));
}

std::string ReplyText(const redisReply* r) { return r->str != nullptr ? std::string(r->str, r->len) : std::string(); }

// A remote text in a log line: bounded, and every byte that is not printable ASCII as \xNN.
std::string Printable(const std::string& text) {
    constexpr size_t kMaxShown = 64;
    std::string out;
    for (size_t i = 0; i < text.size() && i < kMaxShown; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out.push_back(static_cast<char>(c));
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out.append(escaped);
        }
    }
    if (text.size() > kMaxShown) out.append("...");
    return out;
}

// Why a connection failed, in words: hiredis says a timed-out read failed "temporarily".
std::string Failure(const redisContext* c) {
    if (c->err == REDIS_ERR_IO && std::strcmp(c->errstr, std::strerror(EAGAIN)) == 0) {
        return "no answer within " + std::to_string(kIoTimeout.tv_sec) + " s";
    }
    return c->errstr;
}

// A hostile or broken process may cause many: the first and every 1000th are enough.
bool WorthLogging(uint64_t count) { return count % 1000 == 1; }

// A member hears every sender's audio and sees no video until it says otherwise: what the bus
// remembers of a member's subscriptions is where it said otherwise.
bool DiffersFromDefault(const op::Subscription& s) { return s.type == kwix::STREAM_TYPE_AUDIO ? !s.on : s.on; }

void Post(const CarriedSession& s, const char* name, Dispatcher::Call call) {
    if (s.dispatcher) s.dispatcher->PostEvent(name, std::move(call));
}

}  // namespace

// ---- Connecting ------------------------------------------------------------------------------

Bus::Bus(Address address, std::unique_ptr<Sealer> sealer)
    : address_(std::move(address)),
      sealer_(std::move(sealer)),
      origin_(NewOrigin()),
      silent_(Dispatcher::Start(nullptr)) {}

Bus::~Bus() {
    Stop(false);
    if (pub_ != nullptr) redisFree(pub_);
    if (sub_ != nullptr) redisFree(sub_);
}

namespace {

// The key's text is hashed into the sealer and not kept.
bool MakeSealer(Address* a, std::unique_ptr<Sealer>* sealer, std::string* error) {
    if (a->key.empty()) return true;
    *sealer = Sealer::Make(a->key, error);
    std::fill(a->key.begin(), a->key.end(), '\0');
    a->key.clear();
    return *sealer != nullptr;
}

void WarnWithoutKey(const Address& a) {
    Logf(LogLevel::kWarning,
         "room bus at %s has no key: it trusts every client of that Redis server, which can read every room and "
         "speak in it as any member; give every process the same key (?key= or ?key_file= in the URL, or %s) to "
         "seal its messages",
         a.where.c_str(), kKeyVariable);
}

}  // namespace

std::shared_ptr<Bus> Bus::Connect(const Address& address, std::string* error) {
    Address a = address;
    std::unique_ptr<Sealer> sealer;
    if (!MakeSealer(&a, &sealer, error)) return nullptr;
    std::shared_ptr<Bus> bus(new Bus(std::move(a), std::move(sealer)));
    bus->pub_ = bus->Open(Side::kPublisher, error);
    if (bus->pub_ == nullptr) return nullptr;
    // Subscribed before Connect returns, so nothing published after it is missed.
    bus->sub_ = bus->Open(Side::kSubscriber, error);
    if (bus->sub_ == nullptr) return nullptr;
    if (!bus->ReadStoredSettings(bus->pub_)) {
        *error = "Redis at " + bus->address_.where + " stopped answering: " + Failure(bus->pub_);
        return nullptr;
    }
    {
        MutexLock lock(bus->mu_);
        bus->pub_up_ = bus->sub_up_ = bus->ever_up_ = true;
    }
    bus->StartThreads();
    Logf(LogLevel::kInfo, "room bus connected to %s as process %s%s", bus->address_.where.c_str(),
         Hex(bus->origin_).c_str(), bus->sealer_ ? ", its messages sealed with a key" : "");
    if (!bus->sealer_) WarnWithoutKey(bus->address_);
    return bus;
}

std::shared_ptr<Bus> Bus::Start(const Address& address, const std::string& origin_text, std::string* error) {
    Address a = address;
    std::unique_ptr<Sealer> sealer;
    if (!MakeSealer(&a, &sealer, error)) return nullptr;
    std::shared_ptr<Bus> bus(new Bus(std::move(a), std::move(sealer)));
    bus->origin_text_ = origin_text;
    // The threads start with the first claim, so that a first connection that fails always
    // finds that session waiting, whatever the timing.
    Logf(LogLevel::kInfo, "room bus connecting to %s as process %s%s", bus->address_.where.c_str(),
         Hex(bus->origin_).c_str(), bus->sealer_ ? ", its messages sealed with a key" : "");
    if (!bus->sealer_) WarnWithoutKey(bus->address_);
    return bus;
}

void Bus::StartThreads() {
    publisher_ = std::thread([this] { PublisherLoop(); });
    subscriber_ = std::thread([this] { SubscriberLoop(); });
}

redisContext* Bus::Open(Side side, std::string* error) const {
    const Address& a = address_;
    redisContext* c = redisConnectWithTimeout(a.host.c_str(), a.port, kConnectTimeout);
    if (c == nullptr || c->err != 0) {
        *error = "cannot reach Redis at " + a.where + ": " + (c != nullptr ? c->errstr : "out of memory") +
                 " (is redis-server running there?)";
        if (c != nullptr) redisFree(c);
        return nullptr;
    }
    redisSetTimeout(c, kIoTimeout);
    const auto fail = [&](const std::string& what, const redisReply* r) {
        *error = "Redis at " + a.where + " " + what + ": " +
                 (r != nullptr && r->type == REDIS_REPLY_ERROR ? ReplyText(r) : Failure(c));
        redisFree(c);
        return nullptr;
    };
    if (!a.password.empty()) {
        Reply r = a.user.empty()
                      ? Command(c, "AUTH %b", a.password.data(), a.password.size())
                      : Command(c, "AUTH %b %b", a.user.data(), a.user.size(), a.password.data(), a.password.size());
        if (!r || r->type == REDIS_REPLY_ERROR) {
            return fail(a.user.empty() ? "refused the password" : "refused user " + Printable(a.user) + "'s password",
                        r.get());
        }
    }
    if (side == Side::kPublisher) {
        Reply r = Command(c, "PING");
        if (!r || r->type != REDIS_REPLY_STATUS) {
            return fail(a.password.empty() ? "refused PING (does it need a password? redis://:password@host:port)"
                                           : "refused PING",
                        r.get());
        }
        return c;
    }
    const std::string pattern = std::string(kChannelPrefix) + "*";
    Reply r = Command(c, "PSUBSCRIBE %b %s", pattern.data(), pattern.size(), kNetworkChannel);
    void* second = nullptr;  // each pattern is confirmed on its own
    if (r && r->type == REDIS_REPLY_ARRAY && redisGetReply(c, &second) == REDIS_OK) {
        Reply confirmed(static_cast<redisReply*>(second));
        if (!confirmed || confirmed->type != REDIS_REPLY_ARRAY) r = std::move(confirmed);
    } else if (r && r->type == REDIS_REPLY_ARRAY) {
        r.reset();
    }
    if (!r || r->type != REDIS_REPLY_ARRAY) return fail("refused PSUBSCRIBE", r.get());
    return c;
}

// The settings other processes made before this one subscribed. False: the connection failed.
bool Bus::ReadStoredSettings(redisContext* c) {
    Reply fields = Command(c, "HLEN %s", kNetworkKey);
    if (!fields) return false;
    if (fields->type != REDIS_REPLY_INTEGER || fields->integer > static_cast<long long>(kMaxStoredSettings)) {
        Logf(LogLevel::kWarning,
             "room bus: did not read the network settings of other processes: %s holds %lld fields, more than the "
             "%zu this engine reads (or is not a hash)",
             kNetworkKey, fields->type == REDIS_REPLY_INTEGER ? fields->integer : -1LL, kMaxStoredSettings);
        return true;
    }
    Reply r = Command(c, "HGETALL %s", kNetworkKey);
    if (!r) return false;
    if (r->type != REDIS_REPLY_ARRAY) {
        Logf(LogLevel::kWarning, "room bus: could not read the network settings of other processes: %s",
             r->type == REDIS_REPLY_ERROR ? ReplyText(r.get()).c_str() : "not a hash");
        return true;
    }
    for (size_t i = 0; i + 1 < r->elements; i += 2) {
        const redisReply* value = r->element[i + 1];
        const std::string field = r->element[i]->type == REDIS_REPLY_STRING ? ReplyText(r->element[i]) : "?";
        if (value->type != REDIS_REPLY_STRING || value->len > kMaxBusMessageBytes) continue;
        std::string bytes(value->str, value->len);
        if (sealer_) {
            // Stored, so of any age and order: authenticated, but not held to counters or clocks.
            uint64_t counter = 0;
            int64_t sent_ms = 0;
            std::string plain;
            if (!sealer_->Open(kNetworkChannel, bytes, &counter, &sent_ms, &plain)) {
                uint64_t forged = 0;
                {
                    MutexLock lock(mu_);
                    forged = ++counters_.forged;
                }
                if (WorthLogging(forged)) {
                    Logf(LogLevel::kWarning,
                         "room bus: ignored the stored network setting %s: it is not sealed with this process's key "
                         "(%" PRIu64 " forged so far)",
                         Printable(field).c_str(), forged);
                }
                continue;
            }
            bytes = std::move(plain);
        }
        Message m;
        int version = 0;
        if (Decode(bytes, &m, &version) != DecodeResult::kOk || m.kind != Kind::kNetwork) {
            Logf(LogLevel::kWarning, "room bus: ignored a stored network setting this engine cannot read (%s)",
                 Printable(field).c_str());
            continue;
        }
        if (!network::Shared(m.setting) || !network::Apply(m.setting, loopback::Clock::Instance().NowMs())) {
            Logf(LogLevel::kWarning, "room bus: ignored a stored network setting %s out of its range",
                 network::NameOf(m.setting));
        }
    }
    return true;
}

void Bus::Stop(bool remove_ghosts) {
    std::call_once(stop_once_, [this, remove_ghosts] {
        {
            MutexLock lock(mu_);
            std::set<std::string> present;
            for (const auto& l : locals_) {
                if (l.second.joined) present.insert(l.second.room);
                Job release;
                release.what = Job::kRelease;
                release.key = ClaimKey(l.second);
                release.serial = l.first;
                QueueJobLocked(std::move(release));
            }
            for (const std::string& room : present) {
                Message bye;
                bye.kind = Kind::kBye;
                QueueLocked(room, std::move(bye), 0);
            }
            stopping_ = true;
            wake_.NotifyAll();
        }
        if (publisher_.joinable()) publisher_.join();
        if (subscriber_.joinable()) subscriber_.join();
        // Both threads are gone: the ghosts are this thread's now.
        const size_t left =
            remove_ghosts ? RemoveGhosts([](const Ghost&, uint64_t) { return true; }, kExitReasonLeft) : ghosts_.size();
        CountGhosts(left);
    });
}

Counters Bus::counters() const {
    MutexLock lock(mu_);
    Counters c = counters_;
    c.claiming = static_cast<uint64_t>(
        std::count_if(locals_.begin(), locals_.end(), [](const auto& l) { return !l.second.claimed; }));
    return c;
}

std::string Bus::ClaimKey(const Local& l) const { return std::string(kClaimPrefix) + l.room + ":" + l.enter.user_id; }

// The session's own, so that a local duplicate's refused claim never gives back its claim.
std::string Bus::ClaimValue(uint64_t serial) const { return Hex(origin_) + "." + std::to_string(serial); }

// ---- Sessions' side --------------------------------------------------------------------------

void Bus::QueueJobLocked(Job job) {
    const bool message = job.what == Job::kPublish || job.what == Job::kNetwork;
    if (message && ever_up_ && !pub_up_) {
        ++counters_.lost;
        return;
    }
    if (message && (job.bytes.size() + kSealedOverhead > kMaxBusMessageBytes ||
                    queued_bytes_ + job.bytes.size() > kMaxQueuedBytes)) {
        const uint64_t lost = ++counters_.lost;
        if (WorthLogging(lost)) {
            Logf(LogLevel::kWarning,
                 "room bus: did not publish a message of %zu bytes on %s: over the bus's limit of %zu bytes per "
                 "message or %zu waiting (%" PRIu64 " lost so far)",
                 job.bytes.size(), Printable(job.key).c_str(), kMaxBusMessageBytes, kMaxQueuedBytes, lost);
        }
        return;
    }
    queued_bytes_ += job.bytes.size();
    jobs_.push_back(std::move(job));
    wake_.NotifyOne();
}

void Bus::QueueLocked(const std::string& room, Message m, uint64_t ticket) {
    m.origin = origin_;
    Job job;
    job.what = Job::kPublish;
    job.key = kChannelPrefix + room;
    job.bytes = Encode(m);
    job.serial = m.sender;
    job.ticket = ticket;
    QueueJobLocked(std::move(job));
}

int Bus::Claim(uint64_t serial, const std::string& room, const op::Enter& enter, CarriedSession session) {
    MutexLock lock(mu_);
    if (failed_ || stopping_) {
        Logf(LogLevel::kError, "EnterRoom: the room bus at %s is %s; user %s stays out of room %s",
             address_.where.c_str(), failed_ ? "out of reach" : "disconnecting", Printable(enter.user_id).c_str(),
             Printable(room).c_str());
        return kwix::ERR_ENTER_ROOM_FAILED;
    }
    if (!publisher_.joinable()) StartThreads();
    Local& l = locals_[serial];
    l = Local();
    l.room = room;
    l.enter = enter;
    l.session = std::move(session);
    l.ticket = ++next_ticket_;
    ++rooms_[room];
    QueueClaimLocked(serial, l);
    return kwix::ERR_OK;
}

void Bus::Release(uint64_t serial) {
    MutexLock lock(mu_);
    auto it = locals_.find(serial);
    if (it != locals_.end()) ForgetLocked(it);
}

void Bus::ForgetLocked(std::map<uint64_t, Local>::iterator it) {
    const Local& l = it->second;
    Job release;
    release.what = Job::kRelease;
    release.key = ClaimKey(l);
    release.serial = it->first;
    QueueJobLocked(std::move(release));
    LeftRoomLocked(l.room);
    locals_.erase(it);
}

void Bus::LeftRoomLocked(const std::string& room) {
    if (--rooms_[room] != 0) return;
    rooms_.erase(room);
    greeted_.erase(room);
    answered_.erase(room);
    hellos_due_.erase(room);
}

void Bus::TellLocked(Local& l, bool down) {
    if (down == l.told_down) return;
    l.told_down = down;
    if (!down) {
        Post(l.session, "OnConnectionStateChanged", [](kwix::KWIXCloudDelegate& d) {
            d.OnConnectionStateChanged(kwix::CONNECTION_STATE_CONNECTING, kwix::CONNECTION_STATE_CONNECTED);
        });
        return;
    }
    Post(l.session, "OnConnectionStateChanged", [](kwix::KWIXCloudDelegate& d) {
        d.OnConnectionStateChanged(kwix::CONNECTION_STATE_CONNECTED, kwix::CONNECTION_STATE_DISCONNECTED);
    });
    Post(l.session, "OnError", [](kwix::KWIXCloudDelegate& d) { d.OnError(kConnectionLostError); });
    Post(l.session, "OnConnectionStateChanged", [](kwix::KWIXCloudDelegate& d) {
        d.OnConnectionStateChanged(kwix::CONNECTION_STATE_DISCONNECTED, kwix::CONNECTION_STATE_CONNECTING);
    });
}

void Bus::Publish(uint64_t serial, const Operation& operation) {
    MutexLock lock(mu_);
    auto it = locals_.find(serial);
    if (it == locals_.end()) return;
    Local& l = it->second;
    const bool entering = std::holds_alternative<op::Enter>(operation);
    if (entering == l.joined) return;  // not carried: entered before the bus, or entering twice
    if (const auto* audio = std::get_if<op::Audio>(&operation)) {
        // A relayed send goes out as its room codes it, later. What its room coded goes out
        // while the channel is open as published: a tick that coded the last audio before a
        // close may hand it over just after, and the others have closed the channel by then.
        if (audio->relay || !l.audio_open) return;
    }
    Message m = OperationMessage(operation);
    m.sender = serial;
    m.user_id = l.enter.user_id;
    m.seq = ++l.seq;
    QueueLocked(l.room, std::move(m), l.ticket);
    // What a later process is told of this member when it says hello.
    if (entering) {
        l.joined = true;
        if (ever_up_ && !(pub_up_ && sub_up_)) TellLocked(l, true);  // entered while the server is away
        if (greeted_.insert(l.room).second) {
            Message hello;
            hello.kind = Kind::kHello;
            QueueLocked(l.room, std::move(hello), 0);
        }
    } else if (std::holds_alternative<op::Exit>(operation)) {
        ForgetLocked(it);
    } else if (const auto* audio = std::get_if<op::AudioChannel>(&operation)) {
        l.audio_open = audio->open;
        l.channel = audio->channel;
    } else if (const auto* video = std::get_if<op::VideoChannel>(&operation)) {
        if (video->open) {
            l.video_open.insert(video->type);
        } else {
            l.video_open.erase(video->type);
        }
    } else if (const auto* video = std::get_if<op::VideoParams>(&operation)) {
        l.video_params[video->type] = video->params;
    } else if (const auto* sub = std::get_if<op::Subscription>(&operation)) {
        const std::pair<std::string, int> which{sub->user_id, sub->type};
        if (DiffersFromDefault(*sub)) {
            l.subscriptions.insert(which);
        } else {
            l.subscriptions.erase(which);
        }
    }
}

bool Bus::Carries(uint64_t serial) {
    MutexLock lock(mu_);
    auto it = locals_.find(serial);
    return it != locals_.end() && it->second.joined;
}

void Bus::PublishNetwork(const network::Setting& setting) {
    Message m;
    m.kind = Kind::kNetwork;
    m.setting = setting;
    m.origin = origin_;
    Job job;
    job.what = Job::kNetwork;
    job.key = kNetworkChannel;
    job.bytes = Encode(m);
    job.fields = network::StoreKeys(setting, &job.forget);
    MutexLock lock(mu_);
    QueueJobLocked(std::move(job));
}

void Bus::QueueStateLocked(uint64_t serial, Local& l) {
    const auto queue = [&](const Operation& operation) {
        mu_.AssertHeld();  // called right here, under the lock
        Message m = OperationMessage(operation);
        m.sender = serial;
        m.user_id = l.enter.user_id;
        m.seq = ++l.seq;
        QueueLocked(l.room, std::move(m), l.ticket);
    };
    queue(l.enter);
    if (l.audio_open) queue(op::AudioChannel{true, l.channel});
    for (int type : l.video_open) queue(op::VideoChannel{true, static_cast<kwix::StreamType>(type)});
    for (const auto& p : l.video_params) queue(op::VideoParams{static_cast<kwix::StreamType>(p.first), p.second});
    // A process that learns of this member late missed the subscriptions it made before: a
    // sender there would never be asked for the key frame this member waits for.
    for (const auto& s : l.subscriptions) {
        const auto type = static_cast<kwix::StreamType>(s.second);
        queue(op::Subscription{s.first, type, type != kwix::STREAM_TYPE_AUDIO});
    }
}

void Bus::QueueClaimLocked(uint64_t serial, const Local& l) {
    Job claim;
    claim.what = Job::kClaim;
    claim.key = ClaimKey(l);
    claim.serial = serial;
    claim.ticket = l.ticket;
    QueueJobLocked(std::move(claim));
}

void Bus::HeartbeatLocked() {
    for (const auto& room : rooms_) {
        if (!greeted_.count(room.first)) continue;
        Message beat;
        beat.kind = Kind::kHeartbeat;
        QueueLocked(room.first, std::move(beat), 0);
    }
    // Keeps each claim, or takes it again should it have expired while the server was away.
    for (const auto& l : locals_) {
        if (l.second.claimed) QueueClaimLocked(l.first, l.second);
    }
}

void Bus::AnswerHellosLocked(Clock::time_point now) {
    for (auto it = hellos_due_.begin(); it != hellos_due_.end();) {
        auto& last = answered_[*it];
        if (now - last < kHelloAnswerGap) {
            ++it;
            continue;
        }
        last = now;
        for (auto& l : locals_) {
            if (l.second.joined && l.second.room == *it) QueueStateLocked(l.first, l.second);
        }
        it = hellos_due_.erase(it);
    }
}

// ---- The link ---------------------------------------------------------------------------------

void Bus::SetUpLocked(Side side, bool up, const std::string& why) {
    const bool before = pub_up_ && sub_up_;
    (side == Side::kPublisher ? pub_up_ : sub_up_) = up;
    if (side == Side::kSubscriber && !up && pub_up_) {
        pub_suspect_ = true;
        wake_.NotifyOne();
    }
    const bool after = pub_up_ && sub_up_;
    if (before && !after) {
        down_since_ = Clock::now();
        Logf(LogLevel::kWarning,
             "room bus at %s lost its server (%s); reconnecting, and meanwhile its sessions hear a dropped connection "
             "and what they send is lost",
             address_.where.c_str(), why.c_str());
        for (auto& l : locals_) {
            if (l.second.joined) TellLocked(l.second, true);
        }
        return;
    }
    if (before || !after) return;
    Job read;
    read.what = Job::kReadSettings;
    if (!ever_up_) {
        // Started by EnterRoom: the first connection. What sessions queued meanwhile goes now.
        ever_up_ = true;
        jobs_.insert(jobs_.begin(), std::move(read));
        Logf(LogLevel::kInfo, "room bus connected to %s", address_.where.c_str());
        wake_.NotifyOne();
        return;
    }
    ++counters_.reconnects;
    const auto away = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - down_since_);
    Logf(LogLevel::kInfo,
         "room bus at %s is back after %lld ms: claims, greets and announces its %zu member(s) again",
         address_.where.c_str(), static_cast<long long>(away.count()), locals_.size());
    QueueJobLocked(std::move(read));
    for (auto& l : locals_) QueueClaimLocked(l.first, l.second);
    greeted_.clear();
    for (auto& l : locals_) {
        if (!l.second.joined) continue;
        if (greeted_.insert(l.second.room).second) {
            Message hello;
            hello.kind = Kind::kHello;
            QueueLocked(l.second.room, std::move(hello), 0);
        }
        QueueStateLocked(l.first, l.second);
    }
    for (auto& l : locals_) TellLocked(l.second, false);
}

void Bus::GiveUp(const std::string& why) {
    std::vector<std::function<void(int)>> expel;
    {
        MutexLock lock(mu_);
        if (failed_.exchange(true)) return;
        for (const auto& l : locals_) {
            if (l.second.session.expel) expel.push_back(l.second.session.expel);
        }
        counters_.expelled += expel.size();
        locals_.clear();
        rooms_.clear();
        greeted_.clear();
        hellos_due_.clear();
        jobs_.clear();
        queued_bytes_ = 0;
        wake_.NotifyAll();
    }
    Logf(LogLevel::kError,
         "EnterRoom: %s: %s; the %zu session(s) that entered meanwhile leave their rooms (OnError "
         "ERR_ENTER_ROOM_FAILED); unset it to keep rooms within this process",
         origin_text_.c_str(), why.c_str(), expel.size());
    for (const auto& out : expel) out(kwix::ERR_ENTER_ROOM_FAILED);
}

bool Bus::Claimed(const Job& job, int answer) {
    std::function<void(int)> expel;
    std::string user_id, room;
    {
        MutexLock lock(mu_);
        auto it = locals_.find(job.serial);
        const bool current = it != locals_.end() && it->second.ticket == job.ticket;
        if (answer == 1) {
            if (current) it->second.claimed = true;
            return false;
        }
        // A claim held already survives a server's refusal to keep it, or a missing answer;
        // a new one does not.
        if (answer < 0 && current && it->second.claimed) return false;
        if (answer == -1 && !current) return false;
        // Nothing more of this entry is published: the session is out, or (not answered) its
        // state goes out again once the link is back and its claim is answered.
        for (auto j = jobs_.begin(); j != jobs_.end();) {
            if (j->ticket != job.ticket) {
                ++j;
                continue;
            }
            if (answer == -1 && j->what == Job::kPublish) ++counters_.lost;
            queued_bytes_ -= std::min(queued_bytes_, j->bytes.size());
            j = jobs_.erase(j);
        }
        if (answer == -1 || !current) return true;
        Local& l = it->second;
        user_id = l.enter.user_id;
        room = l.room;
        expel = l.session.expel;
        if (l.joined && l.claimed) {
            // Published before (claimed, then lost while the server was away): the others see it go.
            Message m = OperationMessage(op::Exit{});
            m.sender = job.serial;
            m.user_id = l.enter.user_id;
            m.seq = ++l.seq;
            QueueLocked(l.room, std::move(m), 0);
        }
        ++counters_.expelled;
        LeftRoomLocked(l.room);
        locals_.erase(it);
    }
    Logf(LogLevel::kWarning, "EnterRoom: user %s %s room %s; this session leaves it (OnError ERR_ENTER_ROOM_FAILED)",
         Printable(user_id).c_str(), answer == 0 ? "is already in another process's" : "could not be claimed in",
         Printable(room).c_str());
    if (expel) expel(kwix::ERR_ENTER_ROOM_FAILED);
    return true;
}

// ---- The publisher ----------------------------------------------------------------------------

void Bus::PublisherLoop() {
    ::pthread_setname_np(::pthread_self(), "velmora-bus-out");
    const auto beat = std::chrono::milliseconds(std::max<int64_t>(address_.expiry_ms / 5, 20));
    auto next_beat = Clock::now() + beat;
    auto retry = kFirstRetry;
    auto next_try = Clock::now();
    std::vector<Job> batch;
    MutexLock lock(mu_);
    while (!failed_) {
        auto now = Clock::now();
        if (pub_ == nullptr && !stopping_ && now >= next_try) {
            const bool first = !ever_up_;
            lock.Unlock();
            std::string why;
            redisContext* c = Open(Side::kPublisher, &why);
            if (c == nullptr && first) {
                GiveUp(why);
                return;
            }
            lock.Lock();
            if (c != nullptr) {
                pub_ = c;
                retry = kFirstRetry;
                SetUpLocked(Side::kPublisher, true, std::string());
            } else {
                next_try = Clock::now() + Jittered(retry);
                retry = std::min(retry * 2, kLastRetry);
            }
            continue;
        }
        if (pub_suspect_) {
            pub_suspect_ = false;
            if (pub_ != nullptr) {
                lock.Unlock();
                const bool alive = Command(pub_, "PING") != nullptr;
                const std::string why = alive ? std::string() : "checking: " + Failure(pub_);
                if (!alive) {
                    redisFree(pub_);
                    pub_ = nullptr;
                }
                lock.Lock();
                if (!alive) SetUpLocked(Side::kPublisher, false, why);
                continue;
            }
        }
        if (!stopping_ && pub_ != nullptr && now >= next_beat) {
            HeartbeatLocked();
            next_beat = now + beat;
        }
        AnswerHellosLocked(now);
        if (!jobs_.empty() && (pub_ != nullptr || ever_up_ || stopping_)) {
            batch.swap(jobs_);
            queued_bytes_ = 0;
            lock.Unlock();
            RunJobs(batch);
            batch.clear();
            lock.Lock();
            continue;
        }
        if (stopping_) break;
        auto until = next_beat;
        if (pub_ == nullptr) until = std::min(until, next_try);
        if (!hellos_due_.empty()) until = std::min(until, now + kHelloAnswerGap);
        while (jobs_.empty() && !stopping_ && !failed_ && !pub_suspect_) {
            if (!wake_.WaitUntil(mu_, until)) break;
        }
    }
}

void Bus::RunJobs(std::vector<Job>& jobs) {
    if (pub_ != nullptr && !held_.empty()) {
        jobs.insert(jobs.begin(), std::make_move_iterator(held_.begin()), std::make_move_iterator(held_.end()));
        held_.clear();
    }
    struct Sent {
        const Job* job;
        bool message;  // a PUBLISH (HSET and HDEL travel with theirs)
    };
    std::vector<Sent> sent;
    std::set<uint64_t> refused;  // tickets whose claim was refused in this batch
    std::set<uint64_t> held;     // tickets whose claim was not answered: their sends are lost
    uint64_t published = 0, lost = 0;
    std::string why;
    const auto lose_link = [&](const char* what) {
        why = std::string(what) + ": " + Failure(pub_);
        redisFree(pub_);
        pub_ = nullptr;
    };
    // Reads the replies of what was sent; false when the connection failed.
    const auto collect = [&]() -> bool {
        for (size_t i = 0; i < sent.size(); ++i) {
            void* raw = nullptr;
            if (redisGetReply(pub_, &raw) != REDIS_OK) {
                for (size_t j = i; j < sent.size(); ++j) {
                    if (sent[j].message) {
                        ++lost;
                        --published;
                    }
                    if (sent[j].job->what == Job::kClaim && Claimed(*sent[j].job, -1)) held.insert(sent[j].job->ticket);
                }
                sent.clear();
                lose_link("publishing");
                return false;
            }
            Reply r(static_cast<redisReply*>(raw));
            const Job& job = *sent[i].job;
            if (job.what == Job::kClaim) {
                int answer = -2;
                if (r->type == REDIS_REPLY_INTEGER) answer = r->integer == 1 ? 1 : 0;
                if (answer == -2) {
                    Logf(LogLevel::kError, "room bus: Redis at %s refused the claim of a user id: %s",
                         address_.where.c_str(), ReplyText(r.get()).c_str());
                }
                if (Claimed(job, answer)) refused.insert(job.ticket);
            } else if (r->type == REDIS_REPLY_ERROR) {
                if (sent[i].message) {
                    ++lost;
                    --published;
                }
                Logf(LogLevel::kError, "room bus: Redis at %s refused a command: %s", address_.where.c_str(),
                     ReplyText(r.get()).c_str());
            }
        }
        sent.clear();
        return true;
    };
    const auto append = [&](const std::vector<std::string>& argv) {
        std::vector<const char*> args;
        std::vector<size_t> lengths;
        for (const std::string& arg : argv) {
            args.push_back(arg.data());
            lengths.push_back(arg.size());
        }
        redisAppendCommandArgv(pub_, static_cast<int>(args.size()), args.data(), lengths.data());
    };
    for (Job& job : jobs) {
        if (job.ticket != 0 && (refused.count(job.ticket) || held.count(job.ticket))) {
            if (held.count(job.ticket) && job.what == Job::kPublish) ++lost;
            continue;
        }
        if (pub_ == nullptr) {
            if (job.what == Job::kPublish || job.what == Job::kNetwork) ++lost;
            if (job.what == Job::kRelease) held_.push_back(std::move(job));
            // A claim is answered again, and the settings read, once the link is back.
            if (job.what == Job::kClaim && Claimed(job, -1)) held.insert(job.ticket);
            continue;
        }
        switch (job.what) {
            case Job::kReadSettings:
                if (collect() && !ReadStoredSettings(pub_)) lose_link("reading the network settings");
                continue;
            case Job::kPublish:
            case Job::kNetwork: {
                if (sealer_) job.bytes = sealer_->Seal(job.key, ++counter_, WallMs(), job.bytes);
                if (job.what == Job::kNetwork && !job.fields.empty()) {
                    // Stored before it is published: a process reading the hash after subscribing
                    // meets it at least once.
                    std::vector<std::string> argv{job.forget ? "HDEL" : "HSET", kNetworkKey};
                    for (const std::string& field : job.fields) {
                        argv.push_back(field);
                        if (!job.forget) argv.push_back(job.bytes);
                    }
                    append(argv);
                    sent.push_back({&job, false});
                }
                append({"PUBLISH", job.key, job.bytes});
                sent.push_back({&job, true});
                ++published;
                break;
            }
            case Job::kClaim: {
                const std::string value = ClaimValue(job.serial);
                append({"EVAL", kClaimScript, "1", job.key, value, std::to_string(address_.expiry_ms)});
                sent.push_back({&job, false});
                // What the session does waits for the answer: none of it goes out if refused.
                collect();
                continue;
            }
            case Job::kRelease:
                append({"EVAL", kReleaseScript, "1", job.key, ClaimValue(job.serial)});
                sent.push_back({&job, false});
                break;
        }
        if (sent.size() >= kPipelineDepth) collect();
    }
    if (pub_ != nullptr) collect();
    MutexLock lock(mu_);
    counters_.published += published;
    counters_.lost += lost;
    if (pub_ == nullptr && !why.empty()) SetUpLocked(Side::kPublisher, false, why);
}

// ---- The subscriber ---------------------------------------------------------------------------

void Bus::SubscriberLoop() {
    ::pthread_setname_np(::pthread_self(), "velmora-bus-in");
    auto next_expiry = Clock::now() + kPollInterval;
    auto retry = kFirstRetry;
    auto next_try = Clock::now();
    while (!stopping_ && !failed_) {
        const auto now = Clock::now();
        if (now >= next_expiry) {
            ExpireGhosts();
            next_expiry = now + kPollInterval;
        }
        if (sub_ == nullptr) {
            if (now >= next_try) {
                bool first = false;
                {
                    MutexLock lock(mu_);
                    first = !ever_up_;
                }
                std::string why;
                redisContext* c = Open(Side::kSubscriber, &why);
                if (c == nullptr && first) {
                    GiveUp(why);
                    break;
                }
                if (c != nullptr) {
                    sub_ = c;
                    retry = kFirstRetry;
                    MutexLock lock(mu_);
                    SetUpLocked(Side::kSubscriber, true, std::string());
                    continue;
                }
                next_try = Clock::now() + Jittered(retry);
                retry = std::min(retry * 2, kLastRetry);
            }
            const auto wait = std::min({next_try, next_expiry, Clock::now() + kPollInterval}) - Clock::now();
            if (wait > Clock::duration::zero()) std::this_thread::sleep_for(wait);
            continue;
        }
        void* raw = nullptr;
        bool failed = redisGetReplyFromReader(sub_, &raw) != REDIS_OK;
        if (!failed && raw != nullptr) {
            Reply reply(static_cast<redisReply*>(raw));
            if (reply->type == REDIS_REPLY_ARRAY && reply->elements == 4 &&
                reply->element[2]->type == REDIS_REPLY_STRING && reply->element[3]->type == REDIS_REPLY_STRING) {
                Handle(ReplyText(reply->element[2]), ReplyText(reply->element[3]));
            }
            continue;
        }
        if (!failed) {
            pollfd ready{sub_->fd, POLLIN, 0};
            const int n = ::poll(&ready, 1, static_cast<int>(kPollInterval.count()));
            failed = n > 0 && redisBufferRead(sub_) != REDIS_OK;
        }
        if (failed) {
            const std::string why = "reading: " + Failure(sub_);
            redisFree(sub_);
            sub_ = nullptr;
            next_try = Clock::now();
            MutexLock lock(mu_);
            SetUpLocked(Side::kSubscriber, false, why);
        }
    }
}

void Bus::Refuse(const std::string& channel, const std::string& what, const std::string& why) {
    uint64_t refused = 0;
    {
        MutexLock lock(mu_);
        ++counters_.received;
        refused = ++counters_.refused;
    }
    if (WorthLogging(refused)) {
        Logf(LogLevel::kWarning, "room bus: refused %s on %s%s (%" PRIu64 " refused so far)", what.c_str(),
             Printable(channel).c_str(), why.c_str(), refused);
    }
}

void Bus::Handle(const std::string& channel, const std::string& payload) {
    if (payload.size() > kMaxBusMessageBytes) {
        Refuse(channel, "a message of " + std::to_string(payload.size()) + " bytes",
               ": over the bus's limit of " + std::to_string(kMaxBusMessageBytes) + " bytes");
        return;
    }
    const bool network_channel = channel == kNetworkChannel;
    const size_t prefix = std::strlen(kChannelPrefix);
    if (!network_channel && channel.compare(0, prefix, kChannelPrefix) != 0) return;
    const std::string room = network_channel ? std::string() : channel.substr(prefix);
    if (!network_channel) {
        MutexLock lock(mu_);
        // No member here: this process does not mirror that room, nor spends anything on it.
        if (!rooms_.count(room)) return;
    }
    std::string opened;
    const std::string* plain = &payload;
    uint64_t counter = 0;
    if (sealer_) {
        int64_t sent_ms = 0;
        const bool authentic = sealer_->Open(channel, payload, &counter, &sent_ms, &opened);
        const int64_t off_ms = authentic ? WallMs() - sent_ms : 0;
        if (!authentic || off_ms > kFreshMs || off_ms < -kFreshMs) {
            uint64_t count = 0;
            {
                MutexLock lock(mu_);
                ++counters_.received;
                count = authentic ? ++counters_.replayed : ++counters_.forged;
            }
            if (!WorthLogging(count)) return;
            if (authentic) {
                Logf(LogLevel::kWarning,
                     "room bus: dropped a message on %s sent %" PRId64 " ms from this process's clock, more than the "
                     "%" PRId64 " ms a message may be (a replay, or clocks that disagree) (%" PRIu64 " so far)",
                     Printable(channel).c_str(), off_ms, kFreshMs, count);
            } else {
                Logf(LogLevel::kWarning,
                     "room bus: dropped a message on %s that does not open with this process's key (not sealed, "
                     "another key, or altered) (%" PRIu64 " forged so far)",
                     Printable(channel).c_str(), count);
            }
            return;
        }
        plain = &opened;
    } else if (IsSealed(payload)) {
        Refuse(channel, "a message sealed with a room-bus key",
               ": this process has none (give every process the same key)");
        return;
    }
    Message m;
    int version = 0;
    const DecodeResult decoded = Decode(*plain, &m, &version);
    if (decoded == DecodeResult::kUnknownVersion) {
        Refuse(channel, "a message of wire version " + std::to_string(version),
               "; this engine reads version " + std::to_string(kWireVersion));
        return;
    }
    if (decoded != DecodeResult::kOk) {
        Refuse(channel, "a malformed message of " + std::to_string(plain->size()) + " bytes", "");
        return;
    }
    if (m.origin == origin_) return;  // this process's own, applied when it was made
    if (sealer_) {
        auto it = counters_by_origin_.find(m.origin);
        const bool full = it == counters_by_origin_.end() && counters_by_origin_.size() >= kMaxProcesses;
        if (full || (it != counters_by_origin_.end() && counter <= it->second.counter)) {
            uint64_t count = 0;
            {
                MutexLock lock(mu_);
                ++counters_.received;
                count = full ? ++counters_.rejected : ++counters_.replayed;
            }
            if (WorthLogging(count)) {
                Logf(LogLevel::kWarning, "room bus: dropped a message of process %s on %s: %s (%" PRIu64 " so far)",
                     Hex(m.origin).c_str(), Printable(channel).c_str(),
                     full ? "the bus keeps the counters of no more processes" : "taken before (a replay)", count);
            }
            return;
        }
        counters_by_origin_[m.origin] = Heard{counter, Clock::now()};
    }
    {
        MutexLock lock(mu_);
        ++counters_.received;
        if (!network_channel && m.kind == Kind::kHello && rooms_.count(room)) {
            hellos_due_.insert(room);
            wake_.NotifyOne();
        }
    }
    if (network_channel || m.kind == Kind::kNetwork) {
        // A setting is the network's, never a room's: one on a room's channel is ignored.
        if (!network_channel || m.kind != Kind::kNetwork) return;
        // Through the control API's door, never back to the bus. A process-local setting has
        // no business on the bus.
        if (!network::Shared(m.setting)) {
            Reject(channel, m, network::NameOf(m.setting), kwix::ERR_INVALID_OPERATION);
        } else if (!network::Apply(m.setting, loopback::Clock::Instance().NowMs())) {
            Reject(channel, m, network::NameOf(m.setting), kwix::ERR_INVALID_PARAMETER);
        }
        return;
    }
    Apply(room, m);
}

void Bus::Apply(const std::string& room, const Message& m) {
    const std::pair<std::string, uint64_t> heard{room, m.origin};
    auto at = heard_.find(heard);
    if (at == heard_.end()) {
        if (heard_.size() >= kMaxHeard) {
            Reject(room, m, "a message of one process too many (the bus hears at most 10000 per room)",
                   kwix::ERR_INVALID_OPERATION);
            return;
        }
        at = heard_.emplace(heard, Clock::now()).first;
    }
    at->second = Clock::now();
    const uint64_t origin = m.origin;
    if (m.kind == Kind::kBye) {
        CountGhosts(RemoveGhosts([&](const Ghost& g, uint64_t o) { return o == origin && g.room == room; },
                                 kExitReasonLeft));
        heard_.erase(heard);
        return;
    }
    if (!IsOperation(m.kind)) return;  // hello, heartbeat: heard, nothing to apply
    if (std::holds_alternative<op::Enter>(m.operation)) {
        EnterGhost(room, m);
        return;
    }
    auto it = ghosts_.find({m.origin, m.sender});
    if (it == ghosts_.end()) return;  // not (yet) mirrored
    if (std::holds_alternative<op::Exit>(m.operation)) {
        Ghost gone = std::move(it->second);
        ghosts_.erase(it);
        CountGhosts(ghosts_.size());
        if (gone.in) gone.in->Apply(gone.serial, m.operation);
        return;
    }
    if (!it->second.in) return;  // refused here: its user id is taken in this process
    Ghost& g = it->second;
    if (m.seq <= g.last_seq) return;  // stale: already applied
    if (m.seq != g.last_seq + 1) {
        MutexLock lock(mu_);
        counters_.gaps += m.seq - g.last_seq - 1;
    }
    g.last_seq = m.seq;
    // A process publishes its members' state again (a hello, its reconnect): a channel the
    // ghost has open already, as it is, is no news.
    if (const auto* audio = std::get_if<op::AudioChannel>(&m.operation)) {
        const ChannelParams& a = audio->channel;
        const ChannelParams& b = g.channel;
        if (audio->open && g.audio_open && a.rate == b.rate && a.channels == b.channels &&
            a.frame_ms == b.frame_ms && a.bitrate_bps == b.bitrate_bps && a.need_encode == b.need_encode) {
            return;
        }
    }
    if (const auto* video = std::get_if<op::VideoChannel>(&m.operation)) {
        if (video->open && g.video_open.count(video->type)) return;
    }
    // What a member's subscriptions leave behind is bounded: each one differing from the
    // default is remembered by the room.
    std::pair<std::string, int> subscription;
    bool remember = false;
    const auto* sub = std::get_if<op::Subscription>(&m.operation);
    if (sub != nullptr) {
        subscription = {sub->user_id, sub->type};
        remember = DiffersFromDefault(*sub);
        // Its state again: a subscription the ghost holds already would ask the sender for
        // another key frame.
        if (remember == (g.remembered.count(subscription) != 0)) return;
        if (remember && !g.remembered.count(subscription) && g.remembered.size() >= kMaxGhostSubscriptions) {
            Reject(room, m, "Subscription (over the bus's limit of subscriptions per member)",
                   kwix::ERR_INVALID_OPERATION);
            return;
        }
    }
    const int result = g.in->Apply(g.serial, m.operation);
    if (result != kwix::ERR_OK) {
        Reject(room, m, NameOf(m.operation), result);
        return;
    }
    if (const auto* audio = std::get_if<op::AudioChannel>(&m.operation)) {
        g.audio_open = audio->open;
        g.channel = audio->channel;
    } else if (const auto* video = std::get_if<op::VideoChannel>(&m.operation)) {
        if (video->open) {
            g.video_open.insert(video->type);
        } else {
            g.video_open.erase(video->type);
        }
    } else if (sub != nullptr) {
        if (remember) {
            g.remembered.insert(subscription);
        } else {
            g.remembered.erase(subscription);
        }
    }
}

void Bus::Reject(const std::string& where, const Message& m, const char* what, int error) {
    uint64_t rejected = 0;
    {
        MutexLock lock(mu_);
        rejected = ++counters_.rejected;
    }
    if (!WorthLogging(rejected)) return;
    Logf(LogLevel::kWarning,
         "room bus: rejected %s of user '%s' of process %s on %s: the engine's checks say %d; not applied (%" PRIu64
         " rejected so far)",
         what, Printable(m.user_id).c_str(), Hex(m.origin).c_str(), Printable(where).c_str(), error, rejected);
}

void Bus::EnterGhost(const std::string& room, const Message& m) {
    const GhostKey key{m.origin, m.sender};
    auto known = ghosts_.find(key);
    if (known != ghosts_.end()) {
        // Its state again, for a process that said hello: nothing new for this one.
        known->second.last_seq = std::max(known->second.last_seq, m.seq);
        return;
    }
    if (ghosts_.size() >= kMaxGhosts) {
        Reject(room, m, "Enter (the bus mirrors at most 10000 members of other processes)",
               kwix::ERR_ENTER_ROOM_FAILED);
        return;
    }
    const op::Enter& enter = std::get<op::Enter>(m.operation);
    Entrant e;
    e.serial = g_next_ghost_serial.fetch_add(1);
    e.user_id = enter.user_id;
    e.role = enter.role;
    e.listening.how = Listening::kNone;
    e.audio_counters = std::make_shared<AudioCounters>();
    e.dispatcher = silent_;
    int error = kwix::ERR_OK;
    std::shared_ptr<Room> in = RoomRegistry::Instance().Enter(room, e, &error);
    if (!in && error != kwix::ERR_ENTER_ROOM_FAILED) {
        // Not mirrored: what else it sends is ignored until it enters as it should.
        Reject(room, m, "Enter", error);
        return;
    }
    Ghost g;
    g.room = room;
    g.user_id = enter.user_id;
    g.serial = e.serial;
    g.last_seq = m.seq;
    g.in = std::move(in);
    if (!g.in) {
        Logf(LogLevel::kWarning,
             "room bus: user %s of process %s is already in room %s here; that process's member is ignored",
             Printable(enter.user_id).c_str(), Hex(m.origin).c_str(), Printable(room).c_str());
    }
    ghosts_.emplace(key, std::move(g));
    CountGhosts(ghosts_.size());
}

template <typename Which>
size_t Bus::RemoveGhosts(Which which, int reason) {
    std::vector<Ghost> gone;
    for (auto it = ghosts_.begin(); it != ghosts_.end();) {
        if (which(it->second, it->first.first)) {
            gone.push_back(std::move(it->second));
            it = ghosts_.erase(it);
        } else {
            ++it;
        }
    }
    for (Ghost& g : gone) {
        if (g.in) g.in->Leave(g.serial, false, reason);
    }
    return ghosts_.size();
}

void Bus::CountGhosts(size_t ghosts) {
    MutexLock lock(mu_);
    counters_.ghosts = ghosts;
}

void Bus::ExpireGhosts() {
    const auto now = Clock::now();
    const auto expiry = std::chrono::milliseconds(address_.expiry_ms);
    for (auto it = heard_.begin(); it != heard_.end();) {
        if (now - it->second <= expiry) {
            ++it;
            continue;
        }
        const std::string room = it->first.first;
        const uint64_t origin = it->first.second;
        it = heard_.erase(it);
        const size_t before = ghosts_.size();
        const size_t after = RemoveGhosts(
            [&](const Ghost& g, uint64_t o) { return o == origin && g.room == room; }, kExitReasonTimeout);
        if (after != before) {
            Logf(LogLevel::kInfo, "room bus: %zu member(s) of process %s left room %s: not heard for %" PRId64 " ms",
                 before - after, Hex(origin).c_str(), Printable(room).c_str(), address_.expiry_ms);
        }
        CountGhosts(after);
    }
    // A process's counter is kept until none of its messages could pass as fresh any more,
    // whatever the two clocks' disagreement within kFreshMs.
    if (now >= next_sweep_) {
        next_sweep_ = now + std::chrono::seconds(1);
        const auto keep = std::chrono::milliseconds(3 * kFreshMs);
        for (auto it = counters_by_origin_.begin(); it != counters_by_origin_.end();) {
            it = now - it->second.at > keep ? counters_by_origin_.erase(it) : std::next(it);
        }
    }
    // Rooms this process no longer takes part in. mu_ stays held so that a session entering
    // such a room meanwhile finds it either with its ghosts or without them, not in between.
    MutexLock lock(mu_);
    bool orphans = false;
    for (const auto& g : ghosts_) orphans = orphans || !rooms_.count(g.second.room);
    if (!orphans) return;
    counters_.ghosts = RemoveGhosts(
        [this](const Ghost& g, uint64_t) {
            mu_.AssertHeld();  // RemoveGhosts calls it right here, under the lock
            return !rooms_.count(g.room);
        },
                                    kExitReasonLeft);
    for (auto it = heard_.begin(); it != heard_.end();) {
        it = rooms_.count(it->first.first) ? std::next(it) : heard_.erase(it);
    }
}

}  // namespace bus
}  // namespace loopback
}  // namespace velmora
