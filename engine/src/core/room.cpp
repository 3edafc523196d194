#include "core/room.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <unordered_map>
#include <variant>

#include "core/clock.h"
#include "core/room_bus.h"
#include "log/log.h"
#include "sync/mutex.h"

namespace velmora {
namespace loopback {

using kwix::KWIXCloudDelegate;

namespace {

kwix::UserInfo MakeUserInfo(const std::string& user_id) {
    kwix::UserInfo info;
    info.user_id.SetValue(user_id.c_str());
    return info;
}

}  // namespace

Room::Room(std::string key) : key_(std::move(key)) {}

int Room::Apply(uint64_t serial, const Operation& operation) {
    const int refused = Check(operation);
    if (refused != kwix::ERR_OK) return refused;
    constexpr int kNo = kwix::ERR_INVALID_OPERATION;
    return std::visit(
        Overloaded{
            // Entering needs the entrant's delivery: RoomRegistry::Enter.
            [](const op::Enter&) { return kNo; },
            [&](const op::Exit&) { return Leave(serial, true) ? kwix::ERR_OK : kNo; },
            [&](const op::AudioChannel& o) { return SetAudioChannel(serial, o.open, o.channel); },
            [&](const op::VideoChannel& o) { return o.open ? OpenVideo(serial, o.type) : CloseVideo(serial, o.type); },
            [&](const op::Subscription& o) { return Subscribe(serial, o.user_id, o.type, o.on); },
            [&](const op::Audio& o) {
                return audio_.Submit(serial, *o.frame, o.continuous, o.clear_send_queue, o.relay);
            },
            [&](const op::Video& o) { return SendVideo(serial, o.type, o.frame); },
            [&](const op::Pixels& o) { return SendPixels(serial, o.type, o.frame); },
            [&](const op::Sei& o) { return SendSei(serial, o.message_type, o.message); },
            [&](const op::Command& o) {
                return SendCustomCmd(serial, o.cmd_id, o.message, o.reliable, o.ordered) ? kwix::ERR_OK : kNo;
            },
            [&](const op::VideoParams& o) { return SetVideoParams(serial, o.type, o.params); },
        },
        operation);
}

Room::Member* Room::FindLocked(uint64_t serial) {
    for (Member& m : members_) {
        if (m.who.serial == serial) return &m;
    }
    return nullptr;
}

const Room::Member* Room::FindLocked(uint64_t serial) const {
    for (const Member& m : members_) {
        if (m.who.serial == serial) return &m;
    }
    return nullptr;
}

Room::Delivery Room::MakeDelivery(const Member& to, const char* name, bool media, Dispatcher::Call call,
                                  size_t bytes) {
    const Dispatcher::Kind kind = media ? Dispatcher::Kind::kMedia : Dispatcher::Kind::kEvent;
    Delivery d{to.who.dispatcher, Dispatcher::Parcel(name, kind, std::move(call), bytes), nullptr, 0, nullptr};
    d.parcel.expires = media && !Clock::Instance().manual();
    return d;
}

void Room::QueueLocked(const Member& to, const char* name, bool media, Dispatcher::Call call) {
    outbox_.push_back(MakeDelivery(to, name, media, std::move(call)));
}

bool Room::RouteLocked(const Member& from, const Member& to, const char* name, network::Cargo cargo,
                       int64_t now_ms, Dispatcher::Call call) {
    return transit_.Route(from.who.serial, to.who.serial, cargo, now_ms, MakeDelivery(to, name, false, std::move(call)));
}

void Room::AnnounceExitLocked(const Member& gone, int reason, int64_t now_ms) {
    const std::string id = gone.who.user_id;
    for (Member& m : members_) {
        if (m.who.serial == gone.who.serial) continue;
        if (gone.audio_open) {
            RouteLocked(gone, m, "OnRemoteAudioAvailable", network::Cargo::kEvent, now_ms,
                        [id](KWIXCloudDelegate& d) { d.OnRemoteAudioAvailable(id.c_str(), false); });
        }
        for (int type : gone.video_open) {
            RouteLocked(gone, m, "OnRemoteVideoAvailable", network::Cargo::kEvent, now_ms,
                        [id, type](KWIXCloudDelegate& d) {
                            d.OnRemoteVideoAvailable(id.c_str(), false, static_cast<kwix::StreamType>(type));
                        });
        }
        RouteLocked(gone, m, "OnRemoteUserExitRoom", network::Cargo::kEvent, now_ms,
                    [id, reason](KWIXCloudDelegate& d) { d.OnRemoteUserExitRoom(MakeUserInfo(id), reason); });
        // A later session with this user id, or this one coming back, starts its sequence
        // numbers afresh.
        m.cmd_from.erase(gone.who.serial);
    }
    transit_.ForgetSender(gone.who.serial);
}

void Room::AnnounceReturnLocked(const Member& back, int64_t now_ms) {
    const std::string id = back.who.user_id;
    for (Member& m : members_) {
        if (&m == &back) continue;
        RouteLocked(back, m, "OnRemoteUserEnterRoom", network::Cargo::kEvent, now_ms,
                    [id](KWIXCloudDelegate& d) { d.OnRemoteUserEnterRoom(MakeUserInfo(id)); });
        if (back.audio_open) {
            RouteLocked(back, m, "OnRemoteAudioAvailable", network::Cargo::kEvent, now_ms,
                        [id](KWIXCloudDelegate& d) { d.OnRemoteAudioAvailable(id.c_str(), true); });
        }
        for (int type : back.video_open) {
            RouteLocked(back, m, "OnRemoteVideoAvailable", network::Cargo::kEvent, now_ms,
                        [id, type](KWIXCloudDelegate& d) {
                            d.OnRemoteVideoAvailable(id.c_str(), true, static_cast<kwix::StreamType>(type));
                        });
        }
    }
}

void Room::SetSilencedLocked(const Member& m, bool silenced) {
    // Mixes are made before any delivery is judged, so a silent sender is kept out of them here.
    for (const Member& listener : members_) {
        if (&listener == &m) continue;
        audio_.SetMuted(listener.who.serial, m.who.user_id,
                        silenced || listener.audio_muted.count(m.who.user_id) != 0);
    }
}

// What the room makes of its members' link changes, found by the network on a tick: the
// room's transit calls them from Tick, which the room runs under its lock.
class Room::LinkEvents final : public network::LinkListener {
public:
    LinkEvents(Room& room, int64_t now_ms) : room_(room), now_ms_(now_ms) {}

    void Dropped(uint64_t serial) override REQUIRES(room_.mu_) {
        const Member* m = room_.FindLocked(serial);
        if (m == nullptr) return;
        room_.QueueLocked(*m, "OnConnectionStateChanged", false, [](KWIXCloudDelegate& d) {
            d.OnConnectionStateChanged(kwix::CONNECTION_STATE_CONNECTED, kwix::CONNECTION_STATE_DISCONNECTED);
        });
        room_.QueueLocked(*m, "OnError", false, [](KWIXCloudDelegate& d) { d.OnError(kConnectionLostError); });
        room_.QueueLocked(*m, "OnConnectionStateChanged", false, [](KWIXCloudDelegate& d) {
            d.OnConnectionStateChanged(kwix::CONNECTION_STATE_DISCONNECTED, kwix::CONNECTION_STATE_CONNECTING);
        });
    }
    void Reconnected(uint64_t serial) override REQUIRES(room_.mu_) {
        const Member* m = room_.FindLocked(serial);
        if (m == nullptr) return;
        room_.QueueLocked(*m, "OnConnectionStateChanged", false, [](KWIXCloudDelegate& d) {
            d.OnConnectionStateChanged(kwix::CONNECTION_STATE_CONNECTING, kwix::CONNECTION_STATE_CONNECTED);
        });
    }
    void TimedOut(uint64_t serial) override REQUIRES(room_.mu_) {
        if (const Member* m = room_.FindLocked(serial)) room_.AnnounceExitLocked(*m, kExitReasonTimeout, now_ms_);
    }
    void Returned(uint64_t serial) override REQUIRES(room_.mu_) {
        if (const Member* m = room_.FindLocked(serial)) room_.AnnounceReturnLocked(*m, now_ms_);
    }
    void Silenced(uint64_t serial, bool silenced) override REQUIRES(room_.mu_) {
        if (const Member* m = room_.FindLocked(serial)) room_.SetSilencedLocked(*m, silenced);
    }

private:
    Room& room_;
    const int64_t now_ms_;
};

void Room::Drain() {
    MutexLock lock(mu_);
    // Whoever drains goes on until the outbox is empty; others only add to it. One drainer at
    // a time keeps the outbox's order all the way into the receivers' queues.
    if (draining_) {
        // The others wait until what they queued is in the receivers' queues: a caller that
        // then waits for a receiver to go idle (a test settling its sessions while the clock's
        // thread drains) must not find it idle before its delivery arrived. Bounded: the
        // drainer only posts, and posting never waits for a callback.
        const uint64_t target = taken_ + outbox_.size();
        while (handed_ < target && draining_) handed_over_.Wait(mu_);
        return;
    }
    draining_ = true;
    std::vector<Delivery>& taken = taken_deliveries_;
    while (!outbox_.empty()) {
        // Swapped: both buffers keep their room, and the outbox takes more meanwhile.
        taken.swap(outbox_);
        const size_t count = taken.size();
        taken_ += count;
        lock.Unlock();
        try {
            HandOver(taken, shares_);
        } catch (...) {
            // The turn ends here too (posting ran out of memory), or the others would wait
            // for it for ever. What was half shared out goes with it.
            taken.clear();
            for (auto& share : shares_.parcels) share.second.clear();
            shares_.index.clear();
            shares_.used = 0;
            lock.Lock();
            draining_ = false;
            handed_over_.NotifyAll();
            throw;
        }
        taken.clear();
        lock.Lock();
        handed_ += count;
        handed_over_.NotifyAll();
    }
    draining_ = false;
    handed_over_.NotifyAll();
}

void Room::HandOver(std::vector<Delivery>& taken, Shares& shares) {
    // Each receiver's parcels, in the order taken.
    for (Delivery& d : taken) {
        if (d.pulled) {
            const size_t dropped = d.to->PushPulledAudio(std::move(d.pulled), d.pull_limit);
            if (d.counters) d.counters->dropped += dropped;
            continue;
        }
        auto found = shares.index.emplace(d.to.get(), shares.used);
        if (found.second) {
            if (shares.used == shares.parcels.size()) shares.parcels.emplace_back();
            shares.parcels[shares.used++].first = d.to.get();
        }
        shares.parcels[found.first->second].second.push_back(std::move(d.parcel));
    }
    // The receivers' dispatchers stay alive in `taken` meanwhile.
    for (size_t i = 0; i < shares.used; ++i) shares.parcels[i].first->PostAll(shares.parcels[i].second);
    shares.index.clear();
    shares.used = 0;
}

Room::JoinResult Room::Join(const Entrant& entrant) {
    {
        MutexLock lock(mu_);
        if (closed_) return JoinResult::kClosed;
        for (const Member& m : members_) {
            if (m.who.user_id == entrant.user_id) return JoinResult::kDuplicateUser;
        }
        Member newcomer;
        newcomer.who = entrant;
        newcomer.shared_id = std::make_shared<const std::string>(entrant.user_id);
        transit_.Join(entrant.serial, entrant.user_id);
        QueueLocked(newcomer, "OnConnectionStateChanged", false, [](KWIXCloudDelegate& d) {
            d.OnConnectionStateChanged(kwix::CONNECTION_STATE_INIT, kwix::CONNECTION_STATE_CONNECTING);
        });
        QueueLocked(newcomer, "OnConnectionStateChanged", false, [](KWIXCloudDelegate& d) {
            d.OnConnectionStateChanged(kwix::CONNECTION_STATE_CONNECTING, kwix::CONNECTION_STATE_CONNECTED);
        });
        QueueLocked(newcomer, "OnEnterRoom", false, [](KWIXCloudDelegate& d) { d.OnEnterRoom(); });
        const std::string& new_id = entrant.user_id;
        const int64_t now = Clock::Instance().NowMs();
        for (const Member& m : members_) {
            const std::string id = m.who.user_id;
            if (!transit_.Gone(m.who.serial)) {
                RouteLocked(m, newcomer, "OnRemoteUserEnterRoom", network::Cargo::kEvent, now,
                            [id](KWIXCloudDelegate& d) { d.OnRemoteUserEnterRoom(MakeUserInfo(id)); });
                if (m.audio_open) {
                    RouteLocked(m, newcomer, "OnRemoteAudioAvailable", network::Cargo::kEvent, now,
                                [id](KWIXCloudDelegate& d) { d.OnRemoteAudioAvailable(id.c_str(), true); });
                }
                for (int type : m.video_open) {
                    RouteLocked(m, newcomer, "OnRemoteVideoAvailable", network::Cargo::kEvent, now,
                                [id, type](KWIXCloudDelegate& d) {
                                    d.OnRemoteVideoAvailable(id.c_str(), true, static_cast<kwix::StreamType>(type));
                                });
                }
            }
            RouteLocked(newcomer, m, "OnRemoteUserEnterRoom", network::Cargo::kEvent, now,
                        [new_id](KWIXCloudDelegate& d) { d.OnRemoteUserEnterRoom(MakeUserInfo(new_id)); });
        }
        audio_.Join(entrant.serial, entrant.user_id, entrant.listening, entrant.detect_voice, entrant.audio_counters,
                    now);
        for (const Member& m : members_) {
            if (transit_.Silenced(m.who.serial)) audio_.SetMuted(entrant.serial, m.who.user_id, true);
        }
        members_.push_back(std::move(newcomer));
    }
    Drain();
    return JoinResult::kJoined;
}

bool Room::Leave(uint64_t serial, bool tell_leaver, int reason) {
    bool emptied = false;
    {
        MutexLock lock(mu_);
        auto it = std::find_if(members_.begin(), members_.end(),
                               [serial](const Member& m) { return m.who.serial == serial; });
        if (it == members_.end()) return false;
        Member gone = std::move(*it);
        members_.erase(it);
        audio_.Leave(serial);
        video_.ForgetSender(serial);
        if (tell_leaver) {
            QueueLocked(gone, "OnExitRoom", false, [](KWIXCloudDelegate& d) { d.OnExitRoom(); });
        }
        if (transit_.Gone(serial)) {
            // The others saw it leave already.
            for (Member& m : members_) m.cmd_from.erase(gone.who.serial);
        } else {
            AnnounceExitLocked(gone, reason, Clock::Instance().NowMs());
        }
        transit_.Leave(serial);
        if (members_.empty()) {
            closed_ = true;
            emptied = true;
        }
    }
    Drain();
    if (emptied) RoomRegistry::Instance().Forget(key_, this);
    return true;
}

int Room::SetAudioChannel(uint64_t serial, bool open, const ChannelParams& params) {
    {
        MutexLock lock(mu_);
        Member* me = FindLocked(serial);
        if (me == nullptr || me->audio_open == open || (open && me->who.role == kwix::KWIX_ROLE_AUDIENCE)) {
            return kwix::ERR_INVALID_OPERATION;
        }
        me->audio_open = open;
        if (open) {
            audio_.OpenChannel(serial, params);
        } else {
            audio_.CloseChannel(serial);
        }
        if (open) {
            QueueLocked(*me, "OnLocalAudioChannelCreated", false,
                        [](KWIXCloudDelegate& d) { d.OnLocalAudioChannelCreated(); });
        } else {
            QueueLocked(*me, "OnLocalAudioChannelDestroyed", false,
                        [](KWIXCloudDelegate& d) { d.OnLocalAudioChannelDestroyed(); });
        }
        const std::string id = me->who.user_id;
        const int64_t now = Clock::Instance().NowMs();
        for (const Member& m : members_) {
            if (&m == me || transit_.Gone(serial)) continue;
            RouteLocked(*me, m, "OnRemoteAudioAvailable", network::Cargo::kEvent, now,
                        [id, open](KWIXCloudDelegate& d) { d.OnRemoteAudioAvailable(id.c_str(), open); });
        }
    }
    Drain();
    return kwix::ERR_OK;
}

int Room::OpenVideo(uint64_t serial, kwix::StreamType type) {
    {
        MutexLock lock(mu_);
        Member* me = FindLocked(serial);
        if (me == nullptr || me->who.role == kwix::KWIX_ROLE_AUDIENCE || me->video_open.count(type) != 0) {
            return kwix::ERR_INVALID_OPERATION;
        }
        me->video_open.insert(type);
        QueueLocked(*me, "OnLocalVideoChannelCreated", false,
                    [type](KWIXCloudDelegate& d) { d.OnLocalVideoChannelCreated(type); });
        const std::string id = me->who.user_id;
        const int64_t now = Clock::Instance().NowMs();
        bool watched = false;
        for (const Member& m : members_) {
            if (&m == me) continue;
            if (!transit_.Gone(serial)) {
                RouteLocked(*me, m, "OnRemoteVideoAvailable", network::Cargo::kEvent, now,
                            [id, type](KWIXCloudDelegate& d) { d.OnRemoteVideoAvailable(id.c_str(), true, type); });
            }
            watched = watched || m.video_subs.count({id, type}) != 0;
        }
        // Subscribers that were waiting for this stream need a key frame to start from; the
        // engine's own encoder starts every stream with one.
        if (watched && !me->who.pixel_input) {
            QueueLocked(*me, "OnRequestKeyFrame", false, [type](KWIXCloudDelegate& d) { d.OnRequestKeyFrame(type); });
        }
    }
    Drain();
    return kwix::ERR_OK;
}

int Room::CloseVideo(uint64_t serial, kwix::StreamType type) {
    {
        MutexLock lock(mu_);
        Member* me = FindLocked(serial);
        if (me == nullptr || me->video_open.erase(type) == 0) return kwix::ERR_INVALID_OPERATION;
        ForgetVideoLocked(*me, type);
        QueueLocked(*me, "OnLocalVideoChannelDestroyed", false,
                    [type](KWIXCloudDelegate& d) { d.OnLocalVideoChannelDestroyed(type); });
        const std::string id = me->who.user_id;
        const int64_t now = Clock::Instance().NowMs();
        for (const Member& m : members_) {
            if (&m == me || transit_.Gone(serial)) continue;
            RouteLocked(*me, m, "OnRemoteVideoAvailable", network::Cargo::kEvent, now,
                        [id, type](KWIXCloudDelegate& d) { d.OnRemoteVideoAvailable(id.c_str(), false, type); });
        }
    }
    Drain();
    return kwix::ERR_OK;
}

int Room::Subscribe(uint64_t serial, const std::string& user_id, kwix::StreamType type, bool on) {
    {
        MutexLock lock(mu_);
        Member* me = FindLocked(serial);
        if (me == nullptr) return kwix::ERR_INVALID_OPERATION;
        if (type == kwix::STREAM_TYPE_AUDIO) {
            if (on) {
                me->audio_muted.erase(user_id);
                bool silenced = false;
                for (const Member& m : members_) {
                    silenced = silenced || (m.who.user_id == user_id && transit_.Silenced(m.who.serial));
                }
                audio_.SetMuted(serial, user_id, silenced);
            } else {
                me->audio_muted.insert(user_id);
                audio_.SetMuted(serial, user_id, true);
            }
            return kwix::ERR_OK;
        }
        if (!on) {
            me->video_subs.erase({user_id, type});
            return kwix::ERR_OK;
        }
        me->video_subs.insert({user_id, type});
        const int64_t now = Clock::Instance().NowMs();
        for (Member& m : members_) {
            if (&m != me && m.who.user_id == user_id && m.video_open.count(type) != 0) {
                // Whatever the sender sends next: the engine's encoder makes a key frame of
                // pixels, and a sender of encoded frames is asked for one.
                m.video_send[type].key = true;
                if (m.who.pixel_input) continue;
                RouteLocked(*me, m, "OnRequestKeyFrame", network::Cargo::kEvent, now,
                            [type](KWIXCloudDelegate& d) { d.OnRequestKeyFrame(type); });
            }
        }
    }
    Drain();
    return kwix::ERR_OK;
}

void Room::SetVoiceDetection(uint64_t serial, bool on) { audio_.SetVoiceDetection(serial, on); }

void Room::MediaTick(int64_t now_ms) {
    std::vector<AudioDelivery>& due = due_;
    due.clear();
    std::vector<AudioRelay>& relayed = relayed_;
    relayed.clear();
    try {
        audio_.Tick(now_ms, &due, !Clock::Instance().manual(), &relayed);
    } catch (const std::exception& e) {
        // A codec that refuses to start must not end the clock's thread; the room goes on.
        Logf(LogLevel::kError, "audio of room %s: %s", key_.c_str(), e.what());
    }
    // What the carried senders' audio became, to the other processes: sent as SendAudioFrame
    // frames, since their pacing was done here.
    for (AudioRelay& r : relayed) bus::Publish(r.from, op::Audio{false, false, std::move(r.frame)});
    relayed.clear();
    const bool network_tick = TransitBusy() || network::Active();
    if (due.empty() && !network_tick) return;
    {
        MutexLock lock(mu_);
        // Connection changes first, so that frames of this tick already meet them.
        if (network_tick) {
            LinkEvents events(*this, now_ms);
            transit_.Tick(now_ms, events);
        }
        // A tick of a large room makes a frame per (sender, receiver): members by serial once.
        std::unordered_map<uint64_t, const Member*> by_serial;
        by_serial.reserve(members_.size());
        for (const Member& m : members_) by_serial.emplace(m.who.serial, &m);
        const bool expires = !Clock::Instance().manual();
        const auto find = [&by_serial](uint64_t serial) -> const Member* {
            auto it = by_serial.find(serial);
            return it == by_serial.end() ? nullptr : it->second;
        };
        for (AudioDelivery& d : due) {
            const Member* to = find(d.to);
            if (to == nullptr) continue;
            const Member* from = nullptr;
            if (d.from != 0) {
                // The sender may have left or closed its channel since the tick began.
                from = find(d.from);
                if (from == nullptr || !from->audio_open || to->audio_muted.count(d.from_user) != 0) continue;
            }
            const network::Verdict verdict = transit_.Judge(d.from, d.to, network::Cargo::kAudio, false, now_ms, true);
            if (verdict.lost) continue;
            if (d.how == Listening::kPulled) {
                transit_.Deliver(d.from, d.to, verdict, now_ms,
                                 Delivery{to->who.dispatcher, Dispatcher::Parcel(), std::move(d.frame), d.pull_limit,
                                          d.counters});
                continue;
            }
            // Counted for the receiver: delivered when its callback runs, dropped when it is
            // discarded unrun (a full queue, or the receiver stopping).
            Dispatcher::Parcel parcel = Dispatcher::AudioParcel(
                std::move(d.frame), d.how == Listening::kMixed ? nullptr : from->shared_id, d.counters);
            parcel.expires = expires;
            // Without a simulated network in the way, a frame's wait counts from its send.
            if (d.sent_ns != 0 && !network_tick) {
                parcel.since = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(d.sent_ns));
            }
            parcel.own_stamp = d.own_stamp;
            parcel.pts = d.pts;
            parcel.has_voice = d.has_voice;
            transit_.Deliver(d.from, d.to, verdict, now_ms,
                             Delivery{to->who.dispatcher, std::move(parcel), nullptr, 0, nullptr});
        }
    }
    due.clear();
    Drain();
}

int Room::SendSei(uint64_t serial, int message_type, const std::string& message) {
    {
        MutexLock lock(mu_);
        const Member* me = FindLocked(serial);
        if (me == nullptr || me->video_open.count(kwix::STREAM_TYPE_VIDEO_HIGH) == 0) {
            return kwix::ERR_INVALID_OPERATION;
        }
        const std::string id = me->who.user_id;
        auto shared = std::make_shared<const std::string>(message);
        const int64_t now = Clock::Instance().NowMs();
        for (const Member& m : members_) {
            if (&m == me || m.video_subs.count({id, kwix::STREAM_TYPE_VIDEO_HIGH}) == 0) continue;
            // Dropped like an unreliable command when the receiver's queue is full.
            Delivery sei = MakeDelivery(m, "OnSeiMessageReceived", false,
                                        [id, message_type, shared](KWIXCloudDelegate& d) {
                                            d.OnSeiMessageReceived(id.c_str(), kwix::STREAM_TYPE_VIDEO_HIGH,
                                                                   message_type, shared->data(), shared->size());
                                        },
                                        shared->size());
            sei.parcel.kind = Dispatcher::Kind::kUnreliable;
            transit_.Route(serial, m.who.serial, network::Cargo::kVideo, now, std::move(sei));
        }
    }
    Drain();
    return kwix::ERR_OK;
}

bool Room::SendCustomCmd(uint64_t serial, uint32_t cmd_id, const std::string& message, bool reliable,
                         bool ordered) {
    {
        MutexLock lock(mu_);
        const Member* me = FindLocked(serial);
        if (me == nullptr) return false;
        // Gone for the others: nobody keeps count of what it sends.
        if (transit_.Gone(serial)) return true;
        const std::string id = me->who.user_id;
        const auto sender = std::make_shared<const std::string>(id);
        const int32_t signed_id = static_cast<int32_t>(cmd_id);
        auto shared = std::make_shared<const std::string>(message);
        const int64_t now = Clock::Instance().NowMs();
        const network::Cargo cargo = reliable ? network::Cargo::kReliableCommand : network::Cargo::kCommand;
        for (Member& m : members_) {
            if (&m == me) continue;
            CmdTrack& track = m.cmd_from[serial];
            const uint32_t seq = ++track.last_seq;
            const network::Verdict verdict = transit_.Judge(serial, m.who.serial, cargo, !ordered, now);
            if (verdict.lost) {
                ++track.missed;
                continue;
            }
            if (track.missed > 0) {
                const uint32_t missed = track.missed;
                track.missed = 0;
                transit_.Deliver(serial, m.who.serial, verdict, now,
                                 MakeDelivery(m, "OnMissCustomCmdMsg", false,
                                              [id, signed_id, missed](KWIXCloudDelegate& d) {
                                                  d.OnMissCustomCmdMsg(id.c_str(), signed_id, kCustomCmdLostInTransit,
                                                                       missed);
                                              }));
            }
            Delivery command = MakeDelivery(m, "OnReceiveCustomCmdMsg", false,
                                            [id, signed_id, seq, shared](KWIXCloudDelegate& d) {
                                                d.OnReceiveCustomCmdMsg(id.c_str(), signed_id, seq, shared->data(),
                                                                        shared->size());
                                            },
                                            shared->size());
            command.parcel.kind = reliable ? Dispatcher::Kind::kReliableCommand : Dispatcher::Kind::kUnreliable;
            command.parcel.sender = sender;
            command.parcel.cmd_id = signed_id;
            transit_.DeliverCommand(serial, m.who.serial, verdict, now, std::move(command));
        }
    }
    Drain();
    return true;
}

bool Room::Snapshot(uint64_t serial, RoomSnapshot* out) const {
    MutexLock lock(mu_);
    const Member* me = FindLocked(serial);
    if (me == nullptr) return false;
    out->self = me->who.user_id;
    out->others.clear();
    for (const Member& m : members_) {
        if (&m != me && !transit_.Gone(m.who.serial)) out->others.push_back(m.who.user_id);
    }
    return true;
}

RoomRegistry& RoomRegistry::Instance() {
    // Leaked: engine threads may use it while the process runs its exit handlers.
    static RoomRegistry* registry = [] {
        auto* created = new RoomRegistry;
        ForkHandlersOf<RoomRegistry, &RoomRegistry::Instance>::Register(ForkStage::kRoomRegistry);
        return created;
    }();
    return *registry;
}

// The registry's lock is held across the fork.
void RoomRegistry::BeforeFork() { mu_.Lock(); }
void RoomRegistry::AfterForkInParent() { mu_.Unlock(); }

void RoomRegistry::AfterForkInChild() {
    // The child's rooms start empty. The inherited ones hold the parent's sessions, whose
    // threads and locks the child does not have, so they are left untouched (and unfreed).
    new std::map<std::string, std::shared_ptr<Room>>(std::move(rooms_));
    rooms_.clear();
    mu_.Unlock();
}

std::shared_ptr<Room> RoomRegistry::GetOrCreate(const std::string& key, const Room* stale) {
    MutexLock lock(mu_);
    std::shared_ptr<Room>& slot = rooms_[key];
    if (!slot || slot.get() == stale) {
        slot = std::make_shared<Room>(key);
        std::weak_ptr<Room> weak = slot;
        Clock::Instance().Register([weak](int64_t now_ms) {
            std::shared_ptr<Room> room = weak.lock();
            if (!room) return false;
            room->MediaTick(now_ms);
            return true;
        });
    }
    return slot;
}

std::shared_ptr<Room> RoomRegistry::Enter(const std::string& key, const Entrant& entrant, int* error) {
    *error = Check(op::Enter{entrant.user_id, entrant.role});
    if (*error != kwix::ERR_OK) return nullptr;
    // Held, not just its address, so that a new room cannot reuse the address meanwhile.
    std::shared_ptr<Room> stale;
    for (;;) {
        std::shared_ptr<Room> room = GetOrCreate(key, stale.get());
        switch (room->Join(entrant)) {
            case Room::JoinResult::kJoined:
                *error = kwix::ERR_OK;
                return room;
            case Room::JoinResult::kDuplicateUser:
                *error = kwix::ERR_ENTER_ROOM_FAILED;
                return nullptr;
            case Room::JoinResult::kClosed:
                // Emptied by its last member just now; replace it rather than wait for Forget.
                stale = std::move(room);
                break;
        }
    }
}

void RoomRegistry::Forget(const std::string& key, const Room* room) {
    std::shared_ptr<Room> dropped;
    MutexLock lock(mu_);
    auto it = rooms_.find(key);
    if (it != rooms_.end() && it->second.get() == room) {
        dropped = std::move(it->second);
        rooms_.erase(it);
    }
}

}  // namespace loopback
}  // namespace velmora
