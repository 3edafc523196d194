// Drives the loopback engine's own threads hard, with no Python in the process, so that
// ThreadSanitizer sees every lock and every handover between callers and engine threads:
// the dispatcher (many sessions, callbacks queued from several threads, destroy while
// callbacks are being delivered, a session dropped inside its own callback), the shared
// delivery threads (order per session, blocked callbacks however many, threads ending when
// idle), what waits for a receiver (byte bounds, lost-command notices, expiring frames), rooms
// (enter, send, subscribe and exit from several threads at once; members closing each other's
// sessions from their callbacks; a network with faults changing while members send; a room of
// many senders coded on the codec workers), the video workers (coding while subscriptions,
// streams and a bandwidth cap change) and log rotation under concurrent writers. Built by
// tests/engine/CMakeLists.txt with VELMORA_SANITIZE=thread.
//
// Besides the sanitizer's verdict the driver checks what it can count: every event emitted
// to a live session arrives exactly once, media frames are delivered or counted as dropped,
// custom commands from one sender arrive in order. Exit status 0 means all held.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kwix/velmora_kwix_cloud.h"
#include "velmora_loopback.h"
#include "velmora_premier.h"

using namespace velmora::kwix;
using velmora::live::QVLiveSDK;

namespace {

int g_failures = 0;  // written by the main thread only

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "tsan_driver: check failed: %s\n", what);
        ++g_failures;
    }
}

// Counts what a session receives; custom commands are checked for order per sender.
class CountingDelegate : public KWIXCloudDelegate {
public:
    std::atomic<int> events{0};
    std::atomic<int> frames{0};
    std::atomic<int> entered{0};
    std::atomic<int> out_of_order{0};
    // Set before the session can call back; read on the engine thread.
    KWIXCloud* destroy_self_on_exit = nullptr;

    void OnError(Error) override { ++events; }
    void OnConnectionStateChanged(ConnectionState, ConnectionState) override {}
    void OnEnterRoom() override {
        ++events;
        ++entered;
        // A new membership: every sender's sequence numbers start afresh for it.
        std::lock_guard<std::mutex> lock(mu_);
        last_seq_.clear();
    }
    void OnExitRoom() override {
        ++events;
        if (destroy_self_on_exit != nullptr) KWIXCloud::Destroy(destroy_self_on_exit);
    }
    void OnLocalAudioChannelCreated() override {}
    void OnLocalAudioChannelDestroyed() override {}
    void OnLocalVideoChannelCreated(StreamType) override {}
    void OnLocalVideoChannelDestroyed(StreamType) override {}
    void OnRequestChangeVideoEncodeBitrate(StreamType, int) override {}
    void OnRequestKeyFrame(StreamType) override {}
    void OnRemoteUserEnterRoom(const UserInfo&) override {}
    void OnRemoteUserExitRoom(const UserInfo& info, int) override {
        // A sender that comes back starts its sequence numbers afresh.
        std::lock_guard<std::mutex> lock(mu_);
        last_seq_.erase(info.user_id.GetValue() ? info.user_id.GetValue() : "");
    }
    void OnRemoteAudioAvailable(const char*, bool) override {}
    void OnRemoteVideoAvailable(const char*, bool, StreamType) override {}
    void OnRemoteVideoReceived(const char*, StreamType, const VideoFrame&) override { ++frames; }
    void OnRemoteVideoReceived(const char*, StreamType, const PixelFrame&) override { ++frames; }
    void OnRemoteAudioReceived(const char*, const AudioFrame& frame) override {
        if (frame.size() > 0 && frame.data()[0] == 0x5a) ++frames;
    }
    void OnRemoteMixedAudioReceived(const AudioFrame&) override { ++frames; }
    void OnSeiMessageReceived(const char*, StreamType, int, const char*, size_t) override {}
    void OnReceiveCustomCmdMsg(const char* user_id, int32_t, uint32_t seq, const char*, size_t) override {
        std::lock_guard<std::mutex> lock(mu_);
        uint32_t& last = last_seq_[user_id ? user_id : ""];
        if (seq <= last) ++out_of_order;
        last = seq;
    }
    void OnNetworkQuality(NetworkQualityInfo*, NetworkQualityInfo*, size_t) override {}

private:
    std::mutex mu_;  // guards last_seq_
    std::map<std::string, uint32_t> last_seq_;
};

void RunThreads(int count, const std::function<void(int)>& body) {
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) threads.emplace_back(body, i);
    for (auto& t : threads) t.join();
}

// Callbacks queued to many sessions from several threads at once, some run at once on the
// emitting thread; then sessions destroyed while their queues are still full.
void Dispatcher() {
    constexpr int kSessions = 12;
    constexpr int kEmitters = 3;
    constexpr int kRounds = 200;
    std::vector<CountingDelegate> delegates(kSessions);
    std::vector<KWIXCloud*> sessions;
    for (auto& d : delegates) sessions.push_back(KWIXCloud::Create(&d));
    vlb_set_media_queue_limit(8);

    const uint8_t payload[4] = {0x5a, 1, 2, 3};
    RunThreads(kEmitters, [&](int emitter) {
        for (int round = 0; round < kRounds; ++round) {
            for (KWIXCloud* s : sessions) {
                const int where = (round + emitter) % 5 == 0 ? VLB_ON_CALLING_THREAD : VLB_ON_ENGINE_THREAD;
                vlb_emit_event(s, where, "OnEnterRoom");
                vlb_emit_error(s, VLB_ON_ENGINE_THREAD, -1);
                vlb_emit_audio_frame(s, VLB_ON_ENGINE_THREAD, 0, "peer", 48000, 1, 16, 0, round, 1, payload,
                                     sizeof payload);
            }
        }
    });
    for (size_t i = 0; i < sessions.size(); ++i) {
        Check(vlb_wait_idle(sessions[i], 10000) == VLB_OK, "dispatcher: session becomes idle");
        Check(delegates[i].events == 2 * kEmitters * kRounds, "dispatcher: every event delivered once");
        Check(vlb_delivered_frames(sessions[i]) + vlb_dropped_frames(sessions[i]) == kEmitters * kRounds,
              "dispatcher: every media frame delivered or counted as dropped");
        Check(static_cast<uint64_t>(delegates[i].frames) == vlb_delivered_frames(sessions[i]),
              "dispatcher: delivered frames counted alike");
    }

    // Destroy while delivering: emitters keep queueing while half the sessions go, and a
    // session destroys itself from its own callback.
    delegates[0].destroy_self_on_exit = sessions[0];
    vlb_emit_event(sessions[0], VLB_ON_ENGINE_THREAD, "OnExitRoom");
    std::atomic<bool> destroying{true};
    std::thread emitter([&] {
        while (destroying) {
            for (KWIXCloud* s : sessions) {
                vlb_emit_event(s, VLB_ON_ENGINE_THREAD, "OnEnterRoom");
                vlb_emit_audio_frame(s, VLB_ON_ENGINE_THREAD, 1, nullptr, 48000, 1, 16, 0, 0, 0, payload,
                                     sizeof payload);
            }
        }
    });
    RunThreads(2, [&](int half) {
        for (int i = 1 + half; i < kSessions; i += 2) KWIXCloud::Destroy(sessions[i]);
    });
    destroying = false;
    emitter.join();
    for (int i = 1; i < kSessions; ++i) {
        Check(vlb_emit_event(sessions[i], VLB_ON_ENGINE_THREAD, "OnEnterRoom") == VLB_ABSENT,
              "dispatcher: a destroyed session is gone");
    }
    for (int attempt = 0; attempt < 1000 && vlb_session_count() > 0; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Check(vlb_session_count() == 0, "dispatcher: the session destroyed in its own callback is gone");
    vlb_reset_faults();
}

// Notes the order of error codes it gets (codes count down from 0) and whether two of its
// callbacks ever ran at once; OnEnterRoom may block until released.
class SequenceDelegate : public CountingDelegate {
public:
    std::atomic<int> next{0};
    std::atomic<int> out_of_sequence{0};
    std::atomic<int> overlaps{0};
    std::atomic<bool> entered_once{false};
    std::atomic<bool> finished{false};
    const std::atomic<bool>* hold = nullptr;  // set before the session can call back
    int sleep_ms = 0;

    void OnError(Error error) override {
        if (inside_.exchange(true)) ++overlaps;
        if (-static_cast<int>(error) != next) ++out_of_sequence;
        next = -static_cast<int>(error) + 1;
        std::this_thread::yield();
        inside_ = false;
    }
    void OnEnterRoom() override {
        entered_once = true;
        while (hold != nullptr && hold->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(sleep_ms));
        finished = true;
    }

private:
    std::atomic<bool> inside_{false};
};

bool WaitFor(const std::atomic<bool>& flag, int timeout_ms) {
    for (int waited = 0; waited < timeout_ms && !flag; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return flag;
}

// The engine's shared delivery threads: many sessions' callbacks in order and never two at
// once per session; callbacks that block every usual thread while another session still
// gets its callback; Destroy waiting for a callback running on a shared thread; threads that
// end when idle and are made again for new work.
void DeliveryThreads() {
    constexpr int kSessions = 32;
    constexpr int kEmitters = 4;
    constexpr int kRounds = 150;
    std::vector<SequenceDelegate> delegates(kSessions);
    std::vector<KWIXCloud*> sessions;
    for (auto& d : delegates) sessions.push_back(KWIXCloud::Create(&d));
    RunThreads(kEmitters, [&](int emitter) {
        for (int code = 0; code < kRounds; ++code) {
            for (int i = emitter; i < kSessions; i += kEmitters) {
                vlb_emit_error(sessions[i], VLB_ON_ENGINE_THREAD, -code);
            }
        }
    });
    for (int i = 0; i < kSessions; ++i) {
        Check(vlb_wait_idle(sessions[i], 10000) == VLB_OK, "delivery: session becomes idle");
        Check(delegates[i].next == kRounds && delegates[i].out_of_sequence == 0, "delivery: every event, in order");
        Check(delegates[i].overlaps == 0, "delivery: one callback of a session at a time");
    }

    // Five callbacks that block, more than the usual threads, and a free session's callback
    // queued right behind them, while the threads are still idle and take them as they come.
    std::atomic<bool> hold{true};
    for (int i = 0; i < 5; ++i) delegates[i].hold = &hold;
    for (int i = 0; i < 6; ++i) vlb_emit_event(sessions[i], VLB_ON_ENGINE_THREAD, "OnEnterRoom");
    Check(WaitFor(delegates[5].finished, 10000), "delivery: a free session is not held up by blocked ones");
    for (int i = 0; i < 5; ++i) Check(WaitFor(delegates[i].entered_once, 10000), "delivery: blocked callbacks start");
    hold = false;

    // Destroy from another thread waits for the callback running on a shared thread.
    delegates[6].sleep_ms = 50;
    vlb_emit_event(sessions[6], VLB_ON_ENGINE_THREAD, "OnEnterRoom");
    Check(WaitFor(delegates[6].entered_once, 10000), "delivery: the slow callback starts");
    KWIXCloud::Destroy(sessions[6]);
    Check(delegates[6].finished, "delivery: Destroy returns after the running callback");

    // More callbacks blocked at once than any fixed number of threads (the pool once stopped
    // at 64): a free session still gets its callback, and the threads made for the blocked
    // ones end as they return.
    {
        constexpr int kBlocked = 70;
        std::vector<SequenceDelegate> blocked(kBlocked);
        std::vector<KWIXCloud*> held;
        std::atomic<bool> hold_many{true};
        for (auto& d : blocked) {
            d.hold = &hold_many;
            held.push_back(KWIXCloud::Create(&d));
        }
        for (KWIXCloud* s : held) vlb_emit_event(s, VLB_ON_ENGINE_THREAD, "OnEnterRoom");
        bool all_started = true;
        for (auto& d : blocked) all_started = WaitFor(d.entered_once, 20000) && all_started;
        Check(all_started, "delivery: every one of many blocked callbacks starts");
        delegates[8].finished = false;
        vlb_emit_event(sessions[8], VLB_ON_ENGINE_THREAD, "OnEnterRoom");
        Check(WaitFor(delegates[8].finished, 20000), "delivery: a free session is not held up by many blocked ones");
        hold_many = false;
        for (KWIXCloud* s : held) {
            Check(vlb_wait_idle(s, 10000) == VLB_OK, "delivery: a released session becomes idle");
            KWIXCloud::Destroy(s);
        }
    }

    // Idle threads end; new work makes new ones.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    vlb_emit_event(sessions[7], VLB_ON_ENGINE_THREAD, "OnEnterRoom");
    Check(WaitFor(delegates[7].finished, 10000), "delivery: work after idle threads ended is delivered");
    for (int i = 0; i < kSessions; ++i) {
        if (i != 6) KWIXCloud::Destroy(sessions[i]);
    }
    Check(vlb_session_count() == 0, "delivery: every session destroyed");
}

EnterRoomParams Params(const std::string& user) {
    EnterRoomParams p;
    p.room.sdk_app_id = 1400000001;
    p.room.user_id = user.c_str();
    p.room.user_sig = "sig";
    p.room.str_room_id = "tsan";
    return p;
}

// Members of one room entering, sending, subscribing and leaving from several threads.
void Rooms() {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 3;
    constexpr int kRounds = 40;
    std::vector<CountingDelegate> delegates(kThreads * kPerThread);
    std::vector<KWIXCloud*> sessions;
    for (auto& d : delegates) sessions.push_back(KWIXCloud::Create(&d));
    std::atomic<int> enters{0};
    std::atomic<int> failures{0};

    RunThreads(kThreads, [&](int thread) {
        AudioEncodeParams audio;
        AudioFrame frame;
        const uint8_t pcm[16] = {0x5a};
        frame.SetData(pcm, sizeof pcm);
        VideoFrame video;
        video.SetData(pcm, sizeof pcm);
        const char command[] = "hello";
        for (int round = 0; round < kRounds; ++round) {
            for (int j = 0; j < kPerThread; ++j) {
                const int index = thread * kPerThread + j;
                KWIXCloud* s = sessions[index];
                if (s->EnterRoom(Params("u" + std::to_string(index))) != ERR_OK) ++failures;
                ++enters;
                const std::string other = "u" + std::to_string((index + 1) % (kThreads * kPerThread));
                s->Subscribe(other.c_str(), STREAM_TYPE_VIDEO_HIGH);
                if (s->CreateLocalAudioChannel(audio) != ERR_OK) ++failures;
                s->SendAudioFrame(frame);
                if (s->CreateLocalVideoChannel(STREAM_TYPE_VIDEO_HIGH) != ERR_OK) ++failures;
                s->SendVideoFrame(STREAM_TYPE_VIDEO_HIGH, video);
                s->SendSeiMessage(5, command, sizeof command);
                for (int k = 0; k < 3; ++k) s->SendCustomCmdMsg(1, command, sizeof command, true, true);
                s->Unsubscribe(other.c_str(), STREAM_TYPE_VIDEO_HIGH);
            }
            for (int j = 0; j < kPerThread; ++j) {
                if (sessions[thread * kPerThread + j]->ExitRoom() != ERR_OK) ++failures;
            }
        }
    });
    Check(failures == 0, "rooms: enter, channels and exit succeed for unique users");
    for (size_t i = 0; i < sessions.size(); ++i) {
        Check(vlb_wait_idle(sessions[i], 10000) == VLB_OK, "rooms: session becomes idle");
        Check(delegates[i].entered == kRounds, "rooms: one OnEnterRoom per enter");
        Check(delegates[i].out_of_order == 0, "rooms: custom commands arrive in order");
    }

    // Destroy while the room is busy: senders keep sending while members are destroyed.
    for (size_t i = 0; i < sessions.size(); ++i) sessions[i]->EnterRoom(Params("u" + std::to_string(i)));
    std::atomic<bool> sending{true};
    std::thread sender([&] {
        const char command[] = "late";
        while (sending) {
            sessions[0]->SendCustomCmdMsg(2, command, sizeof command, true, true);
            std::this_thread::yield();
        }
    });
    RunThreads(2, [&](int half) {
        for (size_t i = 1 + half; i < sessions.size(); i += 2) KWIXCloud::Destroy(sessions[i]);
    });
    sending = false;
    sender.join();
    KWIXCloud::Destroy(sessions[0]);
    Check(vlb_session_count() == 0, "rooms: every session destroyed");
}

// Video: pixel senders on several threads while receivers of both kinds subscribe and
// unsubscribe, senders change their encode parameters and close and reopen streams, and a
// bandwidth cap comes and goes, so the video workers code, decode and deliver under all of it;
// then members destroyed while frames are still being coded.
void Video() {
    constexpr int kSenders = 3;
    constexpr int kReceivers = 4;  // even ones take pixels
    constexpr int kFrames = 60;
    std::vector<CountingDelegate> delegates(kSenders + kReceivers);
    std::vector<KWIXCloud*> sessions;
    for (auto& d : delegates) sessions.push_back(KWIXCloud::Create(&d));
    int failures = 0;
    for (int i = 0; i < kSenders + kReceivers; ++i) {
        EnterRoomParams p = Params("v" + std::to_string(i));
        p.room.str_room_id = "tsan-video";
        p.use_pixel_frame_input = i < kSenders;
        p.use_pixel_frame_output = i >= kSenders && (i - kSenders) % 2 == 0;
        if (sessions[i]->EnterRoom(p) != ERR_OK) ++failures;
    }
    std::vector<uint8_t> picture(64 * 48 * 3 / 2);
    for (size_t i = 0; i < picture.size(); ++i) picture[i] = static_cast<uint8_t>(i * 31);
    std::atomic<bool> sending{true};
    std::thread churn([&] {
        VideoEncodeParams params;
        for (int round = 0; sending; ++round) {
            for (int r = kSenders; r < kSenders + kReceivers; ++r) {
                const std::string sender = "v" + std::to_string(round % kSenders);
                if (round % 3 == 0) {
                    sessions[r]->Unsubscribe(sender.c_str(), STREAM_TYPE_VIDEO_HIGH);
                } else {
                    sessions[r]->Subscribe(sender.c_str(), STREAM_TYPE_VIDEO_HIGH);
                }
            }
            params.bitrate_bps = round % 2 == 0 ? 0 : 100000;
            sessions[round % kSenders]->SetVideoEncodeParam(STREAM_TYPE_VIDEO_HIGH, params);
            vlb_network_bandwidth("v0", VLB_UPLINK, round % 4 == 0 ? 50 : 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    RunThreads(kSenders, [&](int sender) {
        KWIXCloud* s = sessions[sender];
        PixelFrame frame;
        frame.width = 64;
        frame.height = 48;
        frame.SetData(picture.data(), picture.size());
        s->CreateLocalVideoChannel(STREAM_TYPE_VIDEO_HIGH);
        for (int n = 0; n < kFrames; ++n) {
            frame.pts = static_cast<uint32_t>(n);
            s->SendVideoFrame(STREAM_TYPE_VIDEO_HIGH, frame);
            if (n % 20 == 19) {
                s->DestroyLocalVideoChannel(STREAM_TYPE_VIDEO_HIGH);
                s->CreateLocalVideoChannel(STREAM_TYPE_VIDEO_HIGH);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    });
    sending = false;
    churn.join();
    vlb_network_bandwidth("v0", VLB_UPLINK, 0);
    Check(failures == 0, "video: members enter");
    for (size_t i = 0; i < sessions.size(); ++i) {
        Check(vlb_wait_idle(sessions[i], 10000) == VLB_OK, "video: session becomes idle");
    }
    int received = 0;
    for (int r = kSenders; r < kSenders + kReceivers; ++r) received += delegates[r].frames;
    Check(received > 0, "video: receivers of both kinds get frames");
    // Frames on the video workers while their senders and receivers are destroyed.
    RunThreads(kSenders, [&](int sender) {
        PixelFrame frame;
        frame.width = 64;
        frame.height = 48;
        frame.SetData(picture.data(), picture.size());
        for (int n = 0; n < 5; ++n) sessions[sender]->SendVideoFrame(STREAM_TYPE_VIDEO_HIGH, frame);
        KWIXCloud::Destroy(sessions[sender]);
    });
    for (int r = kSenders; r < kSenders + kReceivers; ++r) KWIXCloud::Destroy(sessions[r]);
    Check(vlb_session_count() == 0, "video: every session destroyed");
}

// A room on a bad network, on the real clock: its thread releases delayed deliveries and
// times members out while others send and the faults change under them.
void FaultyNetwork() {
    constexpr int kMembers = 6;
    std::vector<CountingDelegate> delegates(kMembers);
    std::vector<KWIXCloud*> sessions;
    for (auto& d : delegates) sessions.push_back(KWIXCloud::Create(&d));
    vlb_network_timeout(40);
    for (int i = 0; i < kMembers; ++i) {
        const std::string user = "n" + std::to_string(i);
        EnterRoomParams p = Params(user);
        p.room.str_room_id = "tsan-network";
        Check(sessions[i]->EnterRoom(p) == ERR_OK, "network: enter");
        Check(vlb_network_link(user.c_str(), VLB_BOTH_WAYS, 5 * i, 10, 0.1, 0.1, 0.2, 0.3) == VLB_OK,
              "network: link set");
        AudioEncodeParams audio;
        Check(sessions[i]->CreateLocalAudioChannel(audio) == ERR_OK, "network: audio channel");
    }
    std::atomic<bool> running{true};
    std::thread faults([&] {
        for (int round = 0; running; ++round) {
            const std::string user = "n" + std::to_string(round % kMembers);
            if (round % 2 == 0) {
                vlb_network_disconnect(user.c_str(), 30 + round % 50);
            } else {
                vlb_network_unresponsive(user.c_str(), round % 4 == 1);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(7));
        }
    });
    RunThreads(3, [&](int thread) {
        AudioFrame frame;
        const uint8_t pcm[640] = {0x5a};
        frame.SetData(pcm, sizeof pcm);
        frame.sample_rate = 16000;
        const char command[] = "hi";
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(800);
        while (std::chrono::steady_clock::now() < end) {
            for (int i = thread; i < kMembers; i += 3) {
                sessions[i]->SendAudioFrame(frame);
                sessions[i]->SendCustomCmdMsg(1, command, sizeof command, i % 2 == 0, true);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    running = false;
    faults.join();
    vlb_reset_faults();
    // The held deliveries go out on the next ticks.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (size_t i = 0; i < sessions.size(); ++i) {
        Check(vlb_wait_idle(sessions[i], 10000) == VLB_OK, "network: session becomes idle");
        Check(delegates[i].out_of_order == 0, "network: jitter and drops never reorder ordered commands");
    }
    for (KWIXCloud* s : sessions) KWIXCloud::Destroy(s);
    Check(vlb_session_count() == 0, "network: every session destroyed");
}

// The usual "shut everything down" of a bot: each member, told that another left, closes
// every other session from inside its callback, so engine threads close each other.
class ClosingDelegate : public CountingDelegate {
public:
    explicit ClosingDelegate(std::vector<std::atomic<KWIXCloud*>>* sessions) : sessions_(sessions) {}
    void OnRemoteUserExitRoom(const UserInfo& info, int reason) override {
        CountingDelegate::OnRemoteUserExitRoom(info, reason);
        for (auto& slot : *sessions_) {
            KWIXCloud* other = slot.exchange(nullptr);  // each session is closed once
            if (other != nullptr) KWIXCloud::Destroy(other);
        }
    }

private:
    std::vector<std::atomic<KWIXCloud*>>* sessions_;
};

void ClosingEachOther() {
    constexpr int kMembers = 6;
    // Never freed: where the closing callbacks form a cycle, the engine lets one of them go
    // on running after every Destroy has returned (see Dispatcher::Stop), and nothing tells
    // when it has ended, so its delegate and what it reads must outlive the sessions.
    auto& sessions = *new std::vector<std::atomic<KWIXCloud*>>(kMembers);
    std::vector<KWIXCloud*> created;
    for (int i = 0; i < kMembers; ++i) {
        created.push_back(KWIXCloud::Create(new ClosingDelegate(&sessions)));
    }
    for (int i = 0; i < kMembers; ++i) {
        Check(created[i]->EnterRoom(Params("closer" + std::to_string(i))) == ERR_OK, "closing: enter");
    }
    // Published only now, so that no callback of the entering closes anything yet.
    for (int i = 1; i < kMembers; ++i) sessions[i] = created[i];
    created[0]->ExitRoom();
    KWIXCloud::Destroy(created[0]);
    for (int attempt = 0; attempt < 2000 && vlb_session_count() > 0; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Check(vlb_session_count() == 0, "closing: every session closed by the others");
}

// A room of more senders than one thread codes alone, on the real clock: the tick shares
// their conversion and coding with helper threads while senders send, listeners take their
// frames and members leave.
void ManySenders() {
    constexpr int kMembers = 20;
    constexpr int kThreads = 4;
    constexpr int kRounds = 40;
    std::vector<CountingDelegate> delegates(kMembers);
    std::vector<KWIXCloud*> sessions;
    for (auto& d : delegates) sessions.push_back(KWIXCloud::Create(&d));
    for (int i = 0; i < kMembers; ++i) {
        Check(sessions[i]->EnterRoom(Params("many" + std::to_string(i))) == ERR_OK, "many senders: enter");
        AudioEncodeParams audio;
        Check(sessions[i]->CreateLocalAudioChannel(audio) == ERR_OK, "many senders: channel");
    }
    RunThreads(kThreads, [&](int thread) {
        AudioFrame frame;
        std::vector<uint8_t> pcm(1920, 0x5a);
        frame.SetData(pcm.data(), pcm.size());
        for (int round = 0; round < kRounds; ++round) {
            for (int i = thread; i < kMembers; i += kThreads) sessions[i]->SendAudioFrame(frame);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the last frames go out
    for (int i = 0; i < kMembers; ++i) {
        Check(vlb_wait_idle(sessions[i], 10000) == VLB_OK, "many senders: session becomes idle");
        Check(vlb_delivered_frames(sessions[i]) > 0, "many senders: every member hears the others");
    }
    RunThreads(2, [&](int half) {
        for (int i = half; i < kMembers; i += 2) KWIXCloud::Destroy(sessions[i]);
    });
    Check(vlb_session_count() == 0, "many senders: every session destroyed");
}

// Counts custom commands per sender and command id, and reliable commands reported lost to
// the queue's bound; its first OnRemoteUserEnterRoom holds the engine thread until released.
class BoundedDelegate : public CountingDelegate {
public:
    std::atomic<bool> hold{true};
    std::atomic<bool> holding{false};

    void OnRemoteUserEnterRoom(const UserInfo& info) override {
        CountingDelegate::OnRemoteUserEnterRoom(info);
        holding = true;
        while (hold) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    void OnReceiveCustomCmdMsg(const char* user_id, int32_t cmd_id, uint32_t seq, const char* m, size_t n) override {
        CountingDelegate::OnReceiveCustomCmdMsg(user_id, cmd_id, seq, m, n);
        std::lock_guard<std::mutex> lock(mu_);
        ++received_[{user_id ? user_id : "", cmd_id}];
    }
    void OnMissCustomCmdMsg(const char* user_id, int32_t cmd_id, uint32_t error_code, uint32_t missed) override {
        std::lock_guard<std::mutex> lock(mu_);
        if (error_code == VLB_MISS_QUEUE_FULL) lost_[{user_id ? user_id : "", cmd_id}] += static_cast<int>(missed);
    }
    int Received(const std::string& user, int32_t cmd_id) {
        std::lock_guard<std::mutex> lock(mu_);
        return received_[{user, cmd_id}];
    }
    int Lost(const std::string& user, int32_t cmd_id) {
        std::lock_guard<std::mutex> lock(mu_);
        return lost_[{user, cmd_id}];
    }

private:
    std::mutex mu_;  // guards the counts
    std::map<std::pair<std::string, int32_t>, int> received_;
    std::map<std::pair<std::string, int32_t>, int> lost_;
};

// A receiver held in a callback while senders on several threads flood it with reliable and
// unreliable commands and audio past a small byte bound, released midway: every reliable
// command arrives or is reported lost, unreliable ones arrive or are counted dropped, each
// sender's commands in order, and nothing is left counted as queued.
void ReceiverBounds() {
    constexpr int kSenders = 3;
    constexpr int kCommands = 300;
    vlb_set_receiver_queue_bytes(48 * 1024);
    vlb_set_media_max_wait_ms(2);
    BoundedDelegate receiver_delegate;
    KWIXCloud* receiver = KWIXCloud::Create(&receiver_delegate);
    Check(receiver->EnterRoom(Params("receiver")) == ERR_OK, "bounds: the receiver enters");
    std::vector<CountingDelegate> sender_delegates(kSenders);
    std::vector<KWIXCloud*> senders;
    for (int i = 0; i < kSenders; ++i) {
        senders.push_back(KWIXCloud::Create(&sender_delegates[i]));
        Check(senders[i]->EnterRoom(Params("sender" + std::to_string(i))) == ERR_OK, "bounds: a sender enters");
    }
    std::atomic<int> sent{0};
    std::thread releaser([&] {
        while (sent < kSenders * kCommands) std::this_thread::yield();
        receiver_delegate.hold = false;
    });
    RunThreads(kSenders, [&](int i) {
        AudioEncodeParams audio;
        senders[i]->CreateLocalAudioChannel(audio);
        AudioFrame frame;
        std::vector<uint8_t> pcm(1920, 0x5a);
        frame.SetData(pcm.data(), pcm.size());
        const std::string command(1024, static_cast<char>('a' + i));
        for (int k = 0; k < 2 * kCommands; ++k) {
            senders[i]->SendCustomCmdMsg(1, command.data(), command.size(), true, true);
            senders[i]->SendCustomCmdMsg(2, command.data(), command.size(), false, true);
            if (k % 10 == 0) senders[i]->SendAudioFrame(frame);
            if (k < kCommands) ++sent;
        }
    });
    releaser.join();
    Check(WaitFor(receiver_delegate.holding, 1000), "bounds: the receiver was held");
    Check(vlb_wait_idle(receiver, 10000) == VLB_OK, "bounds: the receiver becomes idle");
    uint64_t queued = 1, dropped = 0, lost = 0;
    Check(vlb_queue_counters(receiver, &queued, &dropped, &lost) == VLB_OK, "bounds: counters");
    int received_unreliable = 0;
    int reported_lost = 0;
    bool whole = true;
    for (int i = 0; i < kSenders; ++i) {
        const std::string user = "sender" + std::to_string(i);
        whole = whole && receiver_delegate.Received(user, 1) + receiver_delegate.Lost(user, 1) == 2 * kCommands;
        received_unreliable += receiver_delegate.Received(user, 2);
        reported_lost += receiver_delegate.Lost(user, 1);
    }
    Check(whole, "bounds: every reliable command arrives or is reported lost");
    Check(reported_lost > 0 && static_cast<uint64_t>(reported_lost) == lost, "bounds: losses reported and counted");
    Check(received_unreliable + static_cast<int>(dropped) == kSenders * 2 * kCommands,
          "bounds: every unreliable command arrives or is counted dropped");
    Check(receiver_delegate.out_of_order == 0, "bounds: each sender's commands in order");
    Check(queued == 0, "bounds: nothing counted as queued once idle");
    for (KWIXCloud* s : senders) KWIXCloud::Destroy(s);
    KWIXCloud::Destroy(receiver);
    vlb_reset_faults();
}

// Writers on several threads while the log rotates every few lines and the settings that
// rotation reads change under it.
void LogRotation() {
    char pattern[] = "/tmp/velmora-tsan-XXXXXX";
    const char* dir = mkdtemp(pattern);
    if (dir == nullptr) {
        Check(false, "log: a temporary folder");
        return;
    }
    Check(QVLiveSDK::SetLogPath(dir), "log: SetLogPath accepts a fresh folder");
    QVLiveSDK::SetLogLevel(VLB_LOG_DEBUG);
    vlb_log_set_rotation(2048, 2);
    std::atomic<bool> writing{true};
    std::thread settings([&] {
        for (int i = 0; writing; ++i) {
            QVLiveSDK::DisableLogCompress(i % 2 == 0);
            vlb_log_set_rotation(1024 + 1024 * (i % 3), 1 + i % 3);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    RunThreads(4, [](int thread) {
        for (int line = 0; line < 2000; ++line) {
            const std::string text = "writer " + std::to_string(thread) + " line " + std::to_string(line);
            // Mostly debug to warning lines; a few errors, which also go to stderr.
            vlb_log_write(line % 100 == 3 ? VLB_LOG_ERROR : line % 3, text.c_str());
        }
    });
    writing = false;
    settings.join();
    vlb_log_flush();
    Check(vlb_log_file(nullptr, 0) > 0, "log: the log file stays open");
    int archives = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().filename().string().rfind("velmora.log.", 0) == 0) ++archives;
    }
    Check(archives > 0, "log: the log rotated");
    vlb_settings_reset();
    std::filesystem::remove_all(dir);
}

}  // namespace

int main() {
    // A deadlock fails the run instead of hanging it.
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::minutes(5));
        std::fprintf(stderr, "tsan_driver: still running after 5 minutes; a deadlock?\n");
        std::_Exit(2);
    }).detach();
    Dispatcher();
    DeliveryThreads();
    Rooms();
    Video();
    FaultyNetwork();
    ClosingEachOther();
    ManySenders();
    ReceiverBounds();
    LogRotation();
    if (g_failures != 0) {
        std::fprintf(stderr, "tsan_driver: %d check(s) failed\n", g_failures);
        return 1;
    }
    std::printf("tsan_driver: dispatcher, delivery threads, rooms, video, a faulty network, sessions closing each "
                "other, many senders, receiver bounds and log rotation ran clean\n");
    return 0;
}
