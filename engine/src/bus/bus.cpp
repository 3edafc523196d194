#include "bus/bus.h"

#include <hiredis/hiredis.h>
#include <poll.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <random>

#include "core/clock.h"
#include "network/setting.h"
#include "log/log.h"
#include "network/network.h"

namespace velmora {
namespace loopback {
namespace bus {

namespace {

// Ghost serials share no range with session serials (which count up from 1), and stay
// unique across the buses one process may connect in turn.
std::atomic<uint64_t> g_next_ghost_serial{uint64_t{1} << 48};

constexpr int kPipelineDepth = 256;
constexpr int kClaimWaitMs = 3000;
constexpr std::chrono::milliseconds kPollInterval{100};

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

redisContext* ConnectOne(const Address& a, std::string* error) {
    const timeval connect_timeout{1, 0};
    redisContext* c = redisConnectWithTimeout(a.host.c_str(), a.port, connect_timeout);
    if (c == nullptr || c->err != 0) {
        *error = "cannot reach Redis at " + a.host + ":" + std::to_string(a.port) + ": " +
                 (c != nullptr ? c->errstr : "out of memory") + " (is redis-server running there?)";
        if (c != nullptr) redisFree(c);
        return nullptr;
    }
    const timeval io_timeout{2, 0};
    redisSetTimeout(c, io_timeout);
    return c;
}

struct ReplyFree {
    void operator()(redisReply* r) const { freeReplyObject(r); }
};
using Reply = std::unique_ptr<redisReply, ReplyFree>;

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

// The settings other processes made before this one connected.
void ApplyStoredSettings(redisContext* c) {
    Reply r(static_cast<redisReply*>(redisCommand(c, "HGETALL %s", kNetworkKey)));
    if (!r || r->type != REDIS_REPLY_ARRAY) {
        Logf(LogLevel::kWarning, "room bus: could not read the network settings of other processes: %s",
             r ? "not a hash" : c->errstr);
        return;
    }
    for (size_t i = 0; i + 1 < r->elements; i += 2) {
        const redisReply* value = r->element[i + 1];
        Message m;
        int version = 0;
        if (value->type != REDIS_REPLY_STRING ||
            Decode(std::string(value->str, value->len), &m, &version) != DecodeResult::kOk ||
            m.kind != Kind::kNetwork) {
            Logf(LogLevel::kWarning, "room bus: ignored a stored network setting this engine cannot read (%s)",
                 r->element[i]->type == REDIS_REPLY_STRING ? Printable(r->element[i]->str).c_str() : "?");
            continue;
        }
        if (!network::Shared(m.setting) || !network::Apply(m.setting, loopback::Clock::Instance().NowMs())) {
            Logf(LogLevel::kWarning, "room bus: ignored a stored network setting %s out of its range",
                 network::NameOf(m.setting));
        }
    }
}

}  // namespace

bool ParseAddress(const std::string& url, Address* out, std::string* error) {
    Address a;
    std::string rest = url;
    const std::string scheme = "redis://";
    if (rest.compare(0, scheme.size(), scheme) == 0) rest = rest.substr(scheme.size());
    const size_t query = rest.find('?');
    if (query != std::string::npos) {
        const std::string option = rest.substr(query + 1);
        rest = rest.substr(0, query);
        const std::string name = "expiry_ms=";
        char* end = nullptr;
        const long long ms = option.compare(0, name.size(), name) == 0
                                 ? std::strtoll(option.c_str() + name.size(), &end, 10)
                                 : 0;
        if (end == nullptr || *end != '\0' || ms < 100) {
            *error = "'" + url + "': the only option is expiry_ms=N with N >= 100";
            return false;
        }
        a.expiry_ms = ms;
    }
    const size_t slash = rest.find('/');
    if (slash != std::string::npos) rest = rest.substr(0, slash);  // pub/sub spans databases
    const size_t colon = rest.rfind(':');
    if (colon != std::string::npos) {
        char* end = nullptr;
        const long port = std::strtol(rest.c_str() + colon + 1, &end, 10);
        if (colon + 1 == rest.size() || *end != '\0' || port <= 0 || port > 65535) {
            *error = "'" + url + "': the port must be a number from 1 to 65535";
            return false;
        }
        a.port = static_cast<int>(port);
        rest = rest.substr(0, colon);
    }
    if (rest.empty()) {
        *error = "'" + url + "': no host; write redis://host:port or host:port";
        return false;
    }
    a.host = rest;
    *out = a;
    return true;
}

std::shared_ptr<Bus> Bus::Connect(const std::string& url, std::string* error) {
    Address a;
    if (!ParseAddress(url, &a, error)) return nullptr;
    redisContext* pub = ConnectOne(a, error);
    if (pub == nullptr) return nullptr;
    redisContext* sub = ConnectOne(a, error);
    if (sub == nullptr) {
        redisFree(pub);
        return nullptr;
    }
    // Subscribed before Connect returns, so nothing published after it is missed.
    const std::string pattern = std::string(kChannelPrefix) + "*";
    Reply r(static_cast<redisReply*>(
        redisCommand(sub, "PSUBSCRIBE %b %s", pattern.data(), pattern.size(), kNetworkChannel)));
    void* second = nullptr;  // each pattern is confirmed on its own
    if (r && r->type == REDIS_REPLY_ARRAY && redisGetReply(sub, &second) == REDIS_OK) {
        Reply confirmed(static_cast<redisReply*>(second));
        if (!confirmed || confirmed->type != REDIS_REPLY_ARRAY) r = std::move(confirmed);
    } else if (r && r->type == REDIS_REPLY_ARRAY) {
        r.reset();
    }
    if (!r || r->type != REDIS_REPLY_ARRAY) {
        *error = "Redis at " + a.host + ":" + std::to_string(a.port) + " refused PSUBSCRIBE: " +
                 (r && r->type == REDIS_REPLY_ERROR ? std::string(r->str, r->len) : std::string(sub->errstr));
        redisFree(pub);
        redisFree(sub);
        return nullptr;
    }
    ApplyStoredSettings(pub);
    std::shared_ptr<Bus> bus(new Bus(a, pub, sub));
    bus->publisher_ = std::thread([b = bus.get()] { b->PublisherLoop(); });
    bus->subscriber_ = std::thread([b = bus.get()] { b->SubscriberLoop(); });
    Logf(LogLevel::kInfo, "room bus connected to %s:%d as process %s", a.host.c_str(), a.port,
         Hex(bus->origin_).c_str());
    return bus;
}

Bus::Bus(Address address, redisContext* pub, redisContext* sub)
    : address_(std::move(address)),
      origin_(NewOrigin()),
      pub_(pub),
      sub_(sub),
      silent_(Dispatcher::Start(nullptr)) {}

Bus::~Bus() {
    Stop(false);
    redisFree(pub_);
    redisFree(sub_);
}

void Bus::Stop(bool remove_ghosts) {
    std::call_once(stop_once_, [this, remove_ghosts] {
        {
            std::lock_guard<std::mutex> lock(mu_);
            std::set<std::string> present;
            for (const auto& l : locals_) {
                if (l.second.joined) present.insert(l.second.room);
                if (l.second.owns_claim) jobs_.push_back(Job{Job::kRelease, ClaimKey(l.second), "", nullptr});
            }
            for (const std::string& room : present) {
                Message bye;
                bye.kind = Kind::kBye;
                QueueLocked(room, std::move(bye));
            }
            stopping_ = true;
            wake_.notify_all();
        }
        publisher_.join();
        subscriber_.join();
        // Both threads are gone: the ghosts are this thread's now.
        const size_t left =
            remove_ghosts ? RemoveGhosts([](const Ghost&, uint64_t) { return true; }, kExitReasonLeft) : ghosts_.size();
        CountGhosts(left);
    });
}

Counters Bus::counters() const {
    std::lock_guard<std::mutex> lock(mu_);
    return counters_;
}

std::string Bus::ClaimKey(const Local& l) const { return std::string(kClaimPrefix) + l.room + ":" + l.enter.user_id; }

void Bus::QueueLocked(const std::string& room, Message m) {
    if (broken_) {
        ++counters_.lost;
        return;
    }
    m.origin = origin_;
    jobs_.push_back(Job{Job::kPublish, kChannelPrefix + room, Encode(m), nullptr});
    wake_.notify_one();
}

int Bus::Claim(uint64_t serial, const std::string& room, const op::Enter& enter) {
    const std::string& user_id = enter.user_id;
    auto done = std::make_shared<std::promise<int>>();
    std::future<int> result = done->get_future();
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (broken_ || stopping_) {
            Logf(LogLevel::kError, "EnterRoom: the room bus at %s:%d is %s; user %s stays out of room %s",
                 address_.host.c_str(), address_.port, broken_ ? "broken" : "disconnecting", user_id.c_str(),
                 room.c_str());
            return kwix::ERR_ENTER_ROOM_FAILED;
        }
        Local& l = locals_[serial];
        l = Local();
        l.room = room;
        l.enter = enter;
        ++rooms_[room];
        jobs_.push_back(Job{Job::kClaim, ClaimKey(l), "", done});
        wake_.notify_one();
    }
    int claimed = -1;
    if (result.wait_for(std::chrono::milliseconds(kClaimWaitMs)) == std::future_status::ready) claimed = result.get();
    if (claimed > 0) {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = locals_.find(serial);
        if (it != locals_.end()) it->second.owns_claim = claimed == 1;
        return kwix::ERR_OK;
    }
    if (claimed == 0) {
        Logf(LogLevel::kWarning, "EnterRoom: user %s is already in room %s in another process", user_id.c_str(),
             room.c_str());
    } else {
        Logf(LogLevel::kError, "EnterRoom: the room bus at %s:%d did not answer; user %s stays out of room %s",
             address_.host.c_str(), address_.port, user_id.c_str(), room.c_str());
    }
    Release(serial);
    return kwix::ERR_ENTER_ROOM_FAILED;
}

void Bus::Release(uint64_t serial) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = locals_.find(serial);
    if (it != locals_.end()) ForgetLocked(it);
}

void Bus::ForgetLocked(std::map<uint64_t, Local>::iterator it) {
    const Local& l = it->second;
    if (l.owns_claim) jobs_.push_back(Job{Job::kRelease, ClaimKey(l), "", nullptr});
    if (--rooms_[l.room] == 0) {
        rooms_.erase(l.room);
        greeted_.erase(l.room);
    }
    locals_.erase(it);
    wake_.notify_one();
}

void Bus::Publish(uint64_t serial, const Operation& operation) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = locals_.find(serial);
    if (it == locals_.end()) return;
    Local& l = it->second;
    const bool entering = std::holds_alternative<op::Enter>(operation);
    if (entering == l.joined) return;  // not carried: entered before the bus, or entering twice
    Message m = OperationMessage(operation);
    m.sender = serial;
    m.user_id = l.enter.user_id;
    m.seq = ++l.seq;
    QueueLocked(l.room, std::move(m));
    // What a later process is told of this member when it says hello.
    if (entering) {
        l.joined = true;
        if (greeted_.insert(l.room).second) {
            Message hello;
            hello.kind = Kind::kHello;
            QueueLocked(l.room, std::move(hello));
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
    }
}

void Bus::PublishNetwork(const network::Setting& setting) {
    Message m;
    m.kind = Kind::kNetwork;
    m.setting = setting;
    std::lock_guard<std::mutex> lock(mu_);
    if (broken_) {
        ++counters_.lost;
        return;
    }
    m.origin = origin_;
    Job job{Job::kNetwork, kNetworkChannel, Encode(m), nullptr};
    job.fields = network::StoreKeys(setting, &job.forget);
    jobs_.push_back(std::move(job));
    wake_.notify_one();
}

void Bus::QueueStateLocked(uint64_t serial, const Local& l) {
    Local& member = locals_[serial];
    const auto queue = [&](const Operation& operation) {
        Message m = OperationMessage(operation);
        m.sender = serial;
        m.user_id = l.enter.user_id;
        m.seq = ++member.seq;
        QueueLocked(l.room, std::move(m));
    };
    queue(l.enter);
    if (l.audio_open) queue(op::AudioChannel{true, l.channel});
    for (int type : l.video_open) queue(op::VideoChannel{true, static_cast<kwix::StreamType>(type)});
    for (const auto& p : l.video_params) queue(op::VideoParams{static_cast<kwix::StreamType>(p.first), p.second});
}

void Bus::HeartbeatLocked() {
    for (const auto& room : rooms_) {
        if (!greeted_.count(room.first)) continue;
        Message beat;
        beat.kind = Kind::kHeartbeat;
        QueueLocked(room.first, std::move(beat));
    }
    for (const auto& l : locals_) {
        if (l.second.owns_claim) jobs_.push_back(Job{Job::kRefresh, ClaimKey(l.second), "", nullptr});
    }
}

void Bus::PublisherLoop() {
    const auto beat = std::chrono::milliseconds(std::max<int64_t>(address_.expiry_ms / 5, 20));
    auto next_beat = Clock::now() + beat;
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
        wake_.wait_until(lock, next_beat, [this] { return !jobs_.empty() || stopping_; });
        if (!stopping_ && Clock::now() >= next_beat) {
            HeartbeatLocked();
            next_beat = Clock::now() + beat;
        }
        if (jobs_.empty()) {
            if (stopping_) break;
            continue;
        }
        std::vector<Job> batch;
        batch.swap(jobs_);
        lock.unlock();
        RunJobs(batch);
        lock.lock();
    }
}

void Bus::RunJobs(std::vector<Job>& jobs) {
    int pending = 0;
    uint64_t published = 0, lost = 0;
    const auto collect = [&] {
        for (; pending > 0; --pending) {
            void* reply = nullptr;
            if (redisGetReply(pub_, &reply) != REDIS_OK) {
                Fail("publishing", pub_->errstr);
                lost += pending;
                published -= std::min<uint64_t>(published, pending);
                pending = 0;
                return;
            }
            freeReplyObject(reply);
        }
    };
    for (Job& job : jobs) {
        if (broken_) {
            if (job.what == Job::kPublish) ++lost;
            if (job.done) job.done->set_value(-1);
            continue;
        }
        if (job.what == Job::kNetwork && !job.fields.empty()) {
            // Stored before it is published: a process reading the hash after subscribing
            // meets it at least once.
            std::vector<std::string> argv{job.forget ? "HDEL" : "HSET", kNetworkKey};
            for (const std::string& field : job.fields) {
                argv.push_back(field);
                if (!job.forget) argv.push_back(job.bytes);
            }
            std::vector<const char*> args;
            std::vector<size_t> lengths;
            for (const std::string& arg : argv) {
                args.push_back(arg.data());
                lengths.push_back(arg.size());
            }
            redisAppendCommandArgv(pub_, static_cast<int>(args.size()), args.data(), lengths.data());
            if (++pending >= kPipelineDepth) collect();
        }
        if (job.what == Job::kPublish || job.what == Job::kNetwork) {
            redisAppendCommand(pub_, "PUBLISH %b %b", job.key.data(), job.key.size(), job.bytes.data(),
                               job.bytes.size());
            ++published;
            if (++pending >= kPipelineDepth) collect();
            continue;
        }
        collect();
        if (broken_) {
            if (job.done) job.done->set_value(-1);
            continue;
        }
        const std::string me = Hex(origin_);
        if (job.what == Job::kClaim) {
            job.done->set_value(RunClaim(job.key));
        } else if (job.what == Job::kRefresh) {
            Reply r(static_cast<redisReply*>(
                redisCommand(pub_, "PEXPIRE %b %lld", job.key.data(), job.key.size(),
                             static_cast<long long>(address_.expiry_ms))));
            if (!r) Fail("refreshing a user id", pub_->errstr);
        } else {
            // Only our own claim: after a long stall it may have expired and been taken.
            static const char* const kReleaseScript =
                "if redis.call('get', KEYS[1]) == ARGV[1] then return redis.call('del', KEYS[1]) end return 0";
            Reply r(static_cast<redisReply*>(redisCommand(pub_, "EVAL %s 1 %b %b", kReleaseScript, job.key.data(),
                                                          job.key.size(), me.data(), me.size())));
            if (!r) Fail("releasing a user id", pub_->errstr);
        }
    }
    collect();
    std::lock_guard<std::mutex> lock(mu_);
    counters_.published += published;
    counters_.lost += lost;
}

int Bus::RunClaim(const std::string& key) {
    const std::string me = Hex(origin_);
    Reply r(static_cast<redisReply*>(redisCommand(pub_, "SET %b %b NX PX %lld", key.data(), key.size(), me.data(),
                                                  me.size(), static_cast<long long>(address_.expiry_ms))));
    if (!r) {
        Fail("claiming a user id", pub_->errstr);
        return -1;
    }
    if (r->type == REDIS_REPLY_STATUS) return 1;
    if (r->type != REDIS_REPLY_NIL) {
        Logf(LogLevel::kError, "room bus: Redis refused SET of %s: %.*s", key.c_str(), static_cast<int>(r->len),
             r->str != nullptr ? r->str : "");
        return -1;
    }
    Reply holder(static_cast<redisReply*>(redisCommand(pub_, "GET %b", key.data(), key.size())));
    if (!holder) {
        Fail("claiming a user id", pub_->errstr);
        return -1;
    }
    // Held by this very process: a local duplicate, which the local room refuses itself.
    const bool mine = holder->type == REDIS_REPLY_STRING && std::string(holder->str, holder->len) == me;
    return mine ? 2 : 0;
}

void Bus::Fail(const char* what, const char* detail) {
    if (broken_.exchange(true)) return;
    Logf(LogLevel::kError,
         "room bus at %s:%d failed while %s: %s; rooms span no processes until the bus is connected again "
         "(the next EnterRoom reconnects when VELMORA_LOOPBACK_REDIS is set)",
         address_.host.c_str(), address_.port, what, detail);
}

void Bus::SubscriberLoop() {
    auto next_expiry = Clock::now() + kPollInterval;
    while (!stopping_) {
        if (Clock::now() >= next_expiry) {
            ExpireGhosts();
            next_expiry = Clock::now() + kPollInterval;
        }
        void* raw = nullptr;
        if (redisGetReplyFromReader(sub_, &raw) != REDIS_OK) {
            Fail("reading", sub_->errstr);
            break;
        }
        if (raw != nullptr) {
            Reply reply(static_cast<redisReply*>(raw));
            if (reply->type == REDIS_REPLY_ARRAY && reply->elements == 4 &&
                reply->element[2]->type == REDIS_REPLY_STRING && reply->element[3]->type == REDIS_REPLY_STRING) {
                Handle(std::string(reply->element[2]->str, reply->element[2]->len),
                       std::string(reply->element[3]->str, reply->element[3]->len));
            }
            continue;
        }
        pollfd ready{sub_->fd, POLLIN, 0};
        const int n = ::poll(&ready, 1, static_cast<int>(kPollInterval.count()));
        if (n > 0 && redisBufferRead(sub_) != REDIS_OK) {
            Fail("reading", sub_->errstr);
            break;
        }
    }
    if (broken_) {
        // The other processes are out of reach: their members are lost to this one.
        CountGhosts(RemoveGhosts([](const Ghost&, uint64_t) { return true; }, kExitReasonTimeout));
    }
}

void Bus::Handle(const std::string& channel, const std::string& payload) {
    Message m;
    int version = 0;
    const DecodeResult decoded = Decode(payload, &m, &version);
    if (decoded != DecodeResult::kOk) {
        uint64_t refused = 0;
        {
            std::lock_guard<std::mutex> lock(mu_);
            ++counters_.received;
            refused = ++counters_.refused;
        }
        // A process of another version sends many: the first and every 1000th are enough.
        if (refused % 1000 != 1) return;
        if (decoded == DecodeResult::kUnknownVersion) {
            Logf(LogLevel::kWarning,
                 "room bus: refused a message of wire version %d on %s; this engine reads version %d (%" PRIu64
                 " refused so far)",
                 version, channel.c_str(), kWireVersion, refused);
        } else {
            Logf(LogLevel::kWarning, "room bus: refused a malformed message of %zu bytes on %s (%" PRIu64
                 " refused so far)", payload.size(), channel.c_str(), refused);
        }
        return;
    }
    if (m.origin == origin_) return;  // this process's own, applied when it was made
    if (channel == kNetworkChannel || m.kind == Kind::kNetwork) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            ++counters_.received;
        }
        // A setting is the network's, never a room's: one on a room's channel is ignored.
        if (channel != kNetworkChannel || m.kind != Kind::kNetwork) return;
        // Through the control API's door, never back to the bus. A process-local setting has
        // no business on the bus.
        if (!network::Shared(m.setting)) {
            Reject(channel, m, network::NameOf(m.setting), kwix::ERR_INVALID_OPERATION);
        } else if (!network::Apply(m.setting, loopback::Clock::Instance().NowMs())) {
            Reject(channel, m, network::NameOf(m.setting), kwix::ERR_INVALID_PARAMETER);
        }
        return;
    }
    const std::string room = channel.substr(std::strlen(kChannelPrefix));
    {
        std::lock_guard<std::mutex> lock(mu_);
        ++counters_.received;
        if (!rooms_.count(room)) return;  // no member here: this process does not mirror that room
        if (m.kind == Kind::kHello) {
            for (const auto& l : locals_) {
                if (l.second.joined && l.second.room == room) QueueStateLocked(l.first, l.second);
            }
        }
    }
    Apply(room, m);
}

void Bus::Apply(const std::string& room, const Message& m) {
    heard_[{room, m.origin}] = Clock::now();
    const uint64_t origin = m.origin;
    if (m.kind == Kind::kBye) {
        CountGhosts(RemoveGhosts([&](const Ghost& g, uint64_t o) { return o == origin && g.room == room; },
                                 kExitReasonLeft));
        heard_.erase({room, origin});
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
        std::lock_guard<std::mutex> lock(mu_);
        counters_.gaps += m.seq - g.last_seq - 1;
    }
    g.last_seq = m.seq;
    const int result = g.in->Apply(g.serial, m.operation);
    if (result != kwix::ERR_OK) Reject(room, m, NameOf(m.operation), result);
}

void Bus::Reject(const std::string& where, const Message& m, const char* what, int error) {
    uint64_t rejected = 0;
    {
        std::lock_guard<std::mutex> lock(mu_);
        rejected = ++counters_.rejected;
    }
    // A hostile or broken process may send many: the first and every 1000th are enough.
    if (rejected % 1000 != 1) return;
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
    std::lock_guard<std::mutex> lock(mu_);
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
                 before - after, Hex(origin).c_str(), room.c_str(), address_.expiry_ms);
        }
        CountGhosts(after);
    }
    // Rooms this process no longer takes part in. mu_ stays held so that a session entering
    // such a room meanwhile finds it either with its ghosts or without them, not in between.
    std::lock_guard<std::mutex> lock(mu_);
    bool orphans = false;
    for (const auto& g : ghosts_) orphans = orphans || !rooms_.count(g.second.room);
    if (!orphans) return;
    counters_.ghosts = RemoveGhosts([this](const Ghost& g, uint64_t) { return !rooms_.count(g.room); },
                                    kExitReasonLeft);
    for (auto it = heard_.begin(); it != heard_.end();) {
        it = rooms_.count(it->first.first) ? std::next(it) : heard_.erase(it);
    }
}

}  // namespace bus
}  // namespace loopback
}  // namespace velmora
