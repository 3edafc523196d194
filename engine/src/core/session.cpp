#include "core/session.h"

#include <algorithm>
#include <atomic>
#include <utility>

#include "core/clock.h"
#include "core/room_bus.h"
#include "faults/faults.h"
#include "log/log.h"
#include "media/h264_encoder.h"
#include "network/network.h"
#include "records/describe.h"
#include "sync/mutex.h"

namespace velmora {
namespace loopback {

using namespace kwix;

namespace {

std::atomic<uint64_t> g_next_serial{1};
// Counts the fork()s this process came out of as the child.
std::atomic<uint64_t> g_fork_generation{0};

bool IsEmpty(const char* text) { return text == nullptr || *text == '\0'; }

const char* Bit(bool value) { return value ? "1" : "0"; }

template <typename Frame>
std::string JournalForm(const Frame& frame) {
    return Describe(frame, faults::JournalFullPayloads() ? PayloadForm::kBytes : PayloadForm::kDigest);
}

std::string TypeItem(StreamType type) { return "type=" + std::to_string(static_cast<int>(type)); }

}  // namespace

Session::Session(uint64_t serial, KWIXCloudDelegate* delegate)
    : serial_(serial),
      fork_generation_(g_fork_generation.load()),
      delegate_(delegate),
      audio_counters_(std::make_shared<AudioCounters>()),
      video_counters_(std::make_shared<VideoCounters>()),
      dispatcher_(Dispatcher::Start(delegate, audio_counters_)),
      last_report_ms_(Clock::Instance().NowMs()) {}

bool Session::Inherited() const { return fork_generation_ != g_fork_generation.load(std::memory_order_relaxed); }

Session::~Session() = default;

std::shared_ptr<Session> Session::Make(KWIXCloudDelegate* delegate) {
    std::shared_ptr<Session> s(new Session(g_next_serial.fetch_add(1), delegate));
    // Weak: the clock must not keep a destroyed session's state alive.
    std::weak_ptr<Session> weak = s;
    Clock::Instance().Register([weak](int64_t now_ms) {
        std::shared_ptr<Session> self = weak.lock();
        if (!self) return false;
        self->OnClockTick(now_ms);
        return true;
    });
    return s;
}

void Session::Journal(std::string entry, bool log) {
    if (log && LogEnabled(LogLevel::kDebug)) LogWrite(LogLevel::kDebug, "KWIXCloud::" + entry);
    MutexLock lock(journal_mu_);
    journal_bytes_ += entry.size();
    journal_.push_back(std::move(entry));
    while (journal_.size() > 1 && (journal_.size() > kMaxJournalEntries || journal_bytes_ > kMaxJournalBytes)) {
        journal_bytes_ -= journal_.front().size();
        journal_.pop_front();
    }
}

size_t Session::JournalCount() const {
    MutexLock lock(journal_mu_);
    return journal_.size();
}

bool Session::JournalEntry(size_t index, std::string* entry) const {
    MutexLock lock(journal_mu_);
    if (index >= journal_.size()) return false;
    *entry = journal_[index];
    return true;
}

void Session::ClearJournal() {
    MutexLock lock(journal_mu_);
    journal_.clear();
    journal_bytes_ = 0;
}

bool Session::Whereabouts(std::string* user_id, std::string* room) const {
    MutexLock lock(state_mu_);
    if (!room_) return false;
    if (user_id != nullptr) *user_id = user_id_;
    if (room != nullptr) *room = room_name_;
    return true;
}

std::shared_ptr<Room> Session::CurrentRoom() const {
    MutexLock lock(state_mu_);
    return room_;
}

int Session::Perform(const Operation& operation) {
    std::shared_ptr<Room> room = CurrentRoom();
    if (!room) {
        // What is wrong with the operation itself comes first, as it would in a room.
        const int refused = Check(operation);
        return refused != ERR_OK ? refused : ERR_INVALID_OPERATION;
    }
    const int result = room->Apply(serial_, operation);
    if (result == ERR_OK) bus::Publish(serial_, operation);
    return result;
}

int Session::EnterRoom(const EnterRoomParams& params) {
    if (Inherited()) return ERR_INVALID_OPERATION;
    // The journal keeps the whole record; the log leaves the signature out.
    Journal("EnterRoom " + Describe(params), false);
    const RoomParams& r = params.room;
    if (LogEnabled(LogLevel::kDebug)) {
        Logf(LogLevel::kDebug, "KWIXCloud::EnterRoom sdk_app_id=%u user_id=%s room_id=%u str_room_id=%s role=%d",
             r.sdk_app_id, HexText(r.user_id.GetValue()).c_str(), r.room_id,
             HexText(r.str_room_id.GetValue()).c_str(), static_cast<int>(params.role));
    }
    if (r.sdk_app_id == 0) return ERR_INVALID_SDK_APP_ID;
    const char* user_id = r.user_id.GetValue();
    const op::Enter enter{user_id == nullptr ? std::string() : std::string(user_id), params.role};
    // The entry checks it again; here it keeps the order EnterRoom reports its errors in.
    const int unfit = Check(enter);
    if (unfit != ERR_OK) return unfit;
    if (IsEmpty(r.user_sig.GetValue())) return ERR_INVALID_USER_SIG;
    const char* str_room_id = r.str_room_id.GetValue();
    const bool by_name = !IsEmpty(str_room_id);
    if (!by_name && r.room_id == 0) return ERR_INVALID_ROOM_ID;
    ListenerParams listening;
    const int unheard = CheckListenerParams(params.audio_obtain_params, &listening);
    if (unheard != ERR_OK) return unheard;

    const std::string key = std::to_string(r.sdk_app_id) +
                            (by_name ? "/s:" + std::string(str_room_id) : "/n:" + std::to_string(r.room_id));
    Entrant entrant;
    entrant.serial = serial_;
    entrant.user_id = enter.user_id;
    entrant.role = enter.role;
    entrant.pixel_input = params.use_pixel_frame_input;
    entrant.pixel_output = params.use_pixel_frame_output;
    entrant.dispatcher = dispatcher_;
    entrant.listening = listening;
    entrant.detect_voice = detect_voice_.load();
    entrant.audio_counters = audio_counters_;
    entrant.video_counters = video_counters_;
    uint64_t generation = 0;
    {
        MutexLock lock(state_mu_);
        if (room_ || entering_ || shut_down_) return ERR_INVALID_OPERATION;
        entering_ = true;
        expel_error_ = ERR_OK;
        generation = ++generation_;
    }
    // Rooms that span processes: the user id must be free there too. Answered later, on the
    // bus's thread: a refusal takes the session out of the room again (Expel).
    bus::CarriedSession carried;
    carried.dispatcher = dispatcher_;
    carried.expel = [weak = std::weak_ptr<Session>(shared_from_this()), generation](int why) {
        if (std::shared_ptr<Session> self = weak.lock()) self->Expel(generation, why);
    };
    const int claimed = bus::Claim(serial_, key, enter, std::move(carried));
    if (claimed != ERR_OK) {
        MutexLock lock(state_mu_);
        entering_ = false;
        return claimed;
    }
    dispatcher_->ClearPulledAudio();

    // OnEnterRoom may run, and drop this session, before Enter returns; stay valid till the end.
    const std::shared_ptr<Session> keep = shared_from_this();
    int error = ERR_OK;
    std::shared_ptr<Room> room = RoomRegistry::Instance().Enter(key, entrant, &error);
    bool leave_again = false;
    int expelled = ERR_OK;
    {
        MutexLock lock(state_mu_);
        entering_ = false;
        if (room && shut_down_) {
            leave_again = true;  // destroyed while entering: do not stay behind as a ghost
        } else if (room) {
            room_ = room;
            user_id_ = entrant.user_id;
            room_name_ = key;
            pull_audio_ = entrant.listening.how == Listening::kPulled;
            expelled = expel_error_;
        }
    }
    if (room && !leave_again) {
        bus::Publish(serial_, enter);
        std::map<int, VideoEncodeParams> video_params;
        {
            MutexLock lock(state_mu_);
            video_params = video_params_;
        }
        for (const auto& p : video_params) Perform(op::VideoParams{static_cast<StreamType>(p.first), p.second});
    } else {
        bus::Unclaim(serial_);
    }
    if (leave_again) room->Leave(serial_, false);
    // The claim was refused before the join was done: out again, as Expel would have it.
    if (expelled != ERR_OK) Expel(generation, expelled);
    if (error != ERR_OK) {
        // An error line reaches the user even with the console log off: the code alone does
        // not tell a taken user id from an unreachable room bus.
        Logf(LogLevel::kError, "EnterRoom refused (ERR_ENTER_ROOM_FAILED): user %s is already in room %s; "
             "every member of a room needs its own user id", entrant.user_id.c_str(), key.c_str());
    } else if (room && !leave_again) {
        Logf(LogLevel::kInfo, "EnterRoom: user %s entered room %s as %s", entrant.user_id.c_str(),
             key.c_str(), entrant.role == KWIX_ROLE_AUDIENCE ? "audience" : "anchor");
    }
    return error;
}

void Session::Expel(uint64_t generation, int error) {
    std::shared_ptr<Room> room;
    {
        MutexLock lock(state_mu_);
        if (generation != generation_ || shut_down_) return;
        if (entering_) {
            expel_error_ = error;  // EnterRoom finishes the join, then leaves
            return;
        }
        room.swap(room_);
        user_id_.clear();
        room_name_.clear();
        pull_audio_ = false;
    }
    if (!room) return;
    dispatcher_->ClearPulledAudio();
    dispatcher_->PostEvent("OnError", [error](KWIXCloudDelegate& d) { d.OnError(static_cast<Error>(error)); });
    room->Apply(serial_, op::Exit{});
}

int Session::ExitRoom() {
    if (Inherited()) return ERR_INVALID_OPERATION;
    Journal("ExitRoom");
    std::shared_ptr<Room> room;
    std::string user_id;
    std::string room_name;
    {
        MutexLock lock(state_mu_);
        room.swap(room_);
        user_id.swap(user_id_);
        room_name.swap(room_name_);
        pull_audio_ = false;
    }
    if (!room) return ERR_INVALID_OPERATION;
    Logf(LogLevel::kInfo, "ExitRoom: user %s left room %s", user_id.c_str(), room_name.c_str());
    dispatcher_->ClearPulledAudio();
    const uint64_t serial = serial_;
    const Operation exit = op::Exit{};
    // Last use of this session: OnExitRoom may drop it on its engine thread right away.
    room->Apply(serial, exit);
    bus::Publish(serial, exit);
    return ERR_OK;
}

int Session::Subscribe(const char* user_id, StreamType type) {
    if (Inherited()) return ERR_INVALID_OPERATION;
    Journal("Subscribe user_id=" + HexText(user_id) + " " + TypeItem(type));
    return Perform(op::Subscription{user_id == nullptr ? std::string() : std::string(user_id), type, true});
}

int Session::Unsubscribe(const char* user_id, StreamType type) {
    if (Inherited()) return ERR_INVALID_OPERATION;
    Journal("Unsubscribe user_id=" + HexText(user_id) + " " + TypeItem(type));
    return Perform(op::Subscription{user_id == nullptr ? std::string() : std::string(user_id), type, false});
}

int Session::GetAudioFrame(AudioFrame* frame) {
    if (Inherited()) return ERR_INVALID_OPERATION;
    Journal(frame == nullptr ? "GetAudioFrame frame=null" : "GetAudioFrame frame=set");
    if (frame == nullptr) return ERR_INVALID_PARAMETER;
    {
        MutexLock lock(state_mu_);
        if (!room_ || !pull_audio_) return ERR_INVALID_OPERATION;
    }
    std::shared_ptr<const AudioFrame> waiting = dispatcher_->PopPulledAudio();
    if (!waiting) return ERR_READ_TRY_AGAIN;
    *frame = *waiting;
    ++audio_counters_->delivered;
    return ERR_OK;
}

int Session::CreateLocalAudioChannel(const AudioEncodeParams& params) {
    if (Inherited()) return ERR_INVALID_OPERATION;
    Journal("CreateLocalAudioChannel " + Describe(params));
    return Perform(op::AudioChannel{true, ChannelOf(params)});
}

int Session::SendAudio(const AudioFrame& frame, bool continuous, bool clear_send_queue) {
    const int result = Perform(
        op::Audio{continuous, clear_send_queue, std::make_shared<const AudioFrame>(frame), bus::Carries(serial_)});
    ++(result == ERR_OK ? audio_counters_->accepted : audio_counters_->refused);
    return result;
}

int Session::SendAudioFrame(const AudioFrame& frame) {
    if (Inherited()) return ERR_INVALID_OPERATION;
    Journal("SendAudioFrame " + JournalForm(frame));
    return SendAudio(frame, false, false);
}

int Session::SendContinuousAudioFrame(const AudioFrame& frame, bool clear_send_queue) {
    if (Inherited()) return ERR_INVALID_OPERATION;
    Journal("SendContinuousAudioFrame " + JournalForm(frame) + " clear_send_queue=" + Bit(clear_send_queue));
    return SendAudio(frame, true, clear_send_queue);
}

int Session::DestroyLocalAudioChannel() {
    if (Inherited()) return ERR_INVALID_OPERATION;
    Journal("DestroyLocalAudioChannel");
    return Perform(op::AudioChannel{false, ChannelParams()});
}

int Session::CreateLocalVideoChannel(StreamType type) {
    if (Inherited()) return ERR_INVALID_OPERATION;
    Journal("CreateLocalVideoChannel " + TypeItem(type));
    return Perform(op::VideoChannel{true, type});
}

int Session::DestroyLocalVideoChannel(StreamType type) {
    if (Inherited()) return ERR_INVALID_OPERATION;
    Journal("DestroyLocalVideoChannel " + TypeItem(type));
    return Perform(op::VideoChannel{false, type});
}

int Session::SendVideoFrame(StreamType type, const VideoFrame& frame) {
    if (Inherited()) return ERR_INVALID_OPERATION;
    Journal("SendVideoFrame " + TypeItem(type) + " " + JournalForm(frame));
    return Perform(op::Video{type, std::make_shared<const VideoFrame>(frame)});
}

int Session::SendVideoFrame(StreamType type, const PixelFrame& frame) {
    if (Inherited()) return ERR_INVALID_OPERATION;
    Journal("SendPixelFrame " + TypeItem(type) + " " + JournalForm(frame));
    return Perform(op::Pixels{type, std::make_shared<const PixelFrame>(frame)});
}

void Session::SetVideoEncodeParam(StreamType type, const VideoEncodeParams& params) {
    if (Inherited()) return;
    Journal("SetVideoEncodeParam " + TypeItem(type) + " " + Describe(params));
    const op::VideoParams set{type, params};
    if (Check(set) != ERR_OK) {
        Logf(LogLevel::kWarning,
             "SetVideoEncodeParam type=%d frame_rate=%d bitrate_bps=%d gop_in_seconds=%d ignored: the stream type must "
             "be a video one, frame_rate %d to %d, bitrate_bps 0 (the engine picks) or %d to %d, gop_in_seconds 1 to %d",
             static_cast<int>(type), params.frame_rate, params.bitrate_bps, params.gop_in_seconds, kMinEncodeFrameRate,
             kMaxEncodeFrameRate, kMinEncodeBitrateBps, kMaxEncodeBitrateBps, kMaxGopSeconds);
        return;
    }
    {
        MutexLock lock(state_mu_);
        video_params_[type] = params;
    }
    if (CurrentRoom()) Perform(set);
}

int Session::SendSeiMessage(int message_type, const char* message, size_t length) {
    if (Inherited()) return ERR_INVALID_OPERATION;
    Journal("SendSeiMessage message_type=" + std::to_string(message_type) + " message=" + HexText(message, length));
    // Bounded before it is copied; the entry checks the copy again.
    if ((message == nullptr && length > 0) || length > kMaxMessageBytes) return ERR_INVALID_PARAMETER;
    return Perform(op::Sei{message_type, std::string(message == nullptr ? "" : message, length)});
}

bool Session::SendCustomCmdMsg(uint32_t cmd_id, const char* message, size_t length, bool reliable, bool ordered) {
    if (Inherited()) return false;
    Journal("SendCustomCmdMsg cmd_id=" + std::to_string(cmd_id) + " message=" + HexText(message, length) +
           " reliable=" + Bit(reliable) + " ordered=" + Bit(ordered));
    if ((message == nullptr && length > 0) || length > kMaxMessageBytes) return false;
    // Unordered commands arrive in order too, unless the network reorders them (network/transit.h).
    return Perform(op::Command{cmd_id, reliable, ordered, std::string(message == nullptr ? "" : message, length)}) ==
           ERR_OK;
}

void Session::EnableVoiceActivityDetection(const VADParams& params) {
    if (Inherited()) return;
    Journal("EnableVoiceActivityDetection " + Describe(params));
    detect_voice_.store(params.enable);
    // Also for later rooms: the setting belongs to the session.
    if (std::shared_ptr<Room> room = CurrentRoom()) room->SetVoiceDetection(serial_, params.enable);
}

int Session::EnableAudioVolumeEvaluation(const AudioVolumeEvaluateParams& params) {
    if (Inherited()) return ERR_INVALID_OPERATION;
    Journal("EnableAudioVolumeEvaluation interval=" + std::to_string(params.interval));
    return ERR_NOT_SUPPORTED;
}

int Session::startAsrService(const AsrParams& params) {
    if (Inherited()) return ERR_INVALID_OPERATION;
    Journal("startAsrService sourceLanguage=" + HexText(params.sourceLanguage));
    return ERR_NOT_SUPPORTED;
}

int Session::stopAsrService() {
    if (Inherited()) return ERR_INVALID_OPERATION;
    Journal("stopAsrService");
    return ERR_NOT_SUPPORTED;
}

int Session::CallExperimentalAPI(const char* json) {
    if (Inherited()) return ERR_INVALID_OPERATION;
    Journal("CallExperimentalAPI json=" + HexText(json));
    return ERR_NOT_SUPPORTED;
}

void Session::OnClockTick(int64_t now_ms) {
    if (now_ms - last_report_ms_ < network::ReportInterval()) return;
    last_report_ms_ = now_ms;
    ReportNetworkQuality();
}

void Session::ReportNetworkQuality() {
    std::shared_ptr<Room> room = CurrentRoom();
    if (!room) return;
    RoomSnapshot snap;
    if (!room->Snapshot(serial_, &snap)) return;
    std::vector<int> qualities;
    qualities.reserve(snap.others.size());
    const int64_t now = Clock::Instance().NowMs();
    for (const std::string& user : snap.others) qualities.push_back(network::QualityOf(user, now, false));
    const int own = network::QualityOf(snap.self, now, true);
    dispatcher_->PostEvent("OnNetworkQuality", [snap, own, qualities](KWIXCloudDelegate& d) {
        NetworkQualityInfo local;
        local.user_id = snap.self.c_str();
        local.quality = static_cast<NetworkQuality>(own);
        std::vector<NetworkQualityInfo> remote(snap.others.size());
        for (size_t i = 0; i < remote.size(); ++i) {
            remote[i].user_id = snap.others[i].c_str();
            remote[i].quality = static_cast<NetworkQuality>(qualities[i]);
        }
        d.OnNetworkQuality(&local, remote.empty() ? nullptr : remote.data(), remote.size());
    });
}

void Session::Shutdown() {
    std::shared_ptr<Room> room;
    {
        MutexLock lock(state_mu_);
        shut_down_ = true;
        room.swap(room_);
    }
    if (room) {
        room->Leave(serial_, false);
        bus::Publish(serial_, op::Exit{});
    }
    dispatcher_->Stop();
    dispatcher_->ClearPulledAudio();
}

SessionRegistry& SessionRegistry::Instance() {
    // Leaked: engine threads and exit handlers may look sessions up at any time.
    static SessionRegistry* registry = [] {
        auto* created = new SessionRegistry;
        ForkHandlersOf<SessionRegistry, &SessionRegistry::Instance>::Register(ForkStage::kSessionRegistry);
        return created;
    }();
    return *registry;
}

// Held across fork() so that the child finds the list whole and the lock free.
void SessionRegistry::BeforeFork() { mu_.Lock(); }
void SessionRegistry::AfterForkInParent() { mu_.Unlock(); }

void SessionRegistry::AfterForkInChild() {
    g_fork_generation.fetch_add(1);
    for (auto& s : sessions_) inherited_.push_back(std::move(s));
    sessions_.clear();
    mu_.Unlock();
}

bool SessionRegistry::IsInherited(const void* cloud) const {
    MutexLock lock(mu_);
    return std::any_of(inherited_.begin(), inherited_.end(),
                       [cloud](const std::shared_ptr<Session>& s) { return CloudAddress(s.get()) == cloud; });
}

void SessionRegistry::Add(std::shared_ptr<Session> session) {
    MutexLock lock(mu_);
    sessions_.push_back(std::move(session));
}

std::shared_ptr<Session> SessionRegistry::Remove(const void* cloud) {
    MutexLock lock(mu_);
    auto it = std::find_if(sessions_.begin(), sessions_.end(),
                           [cloud](const std::shared_ptr<Session>& s) { return CloudAddress(s.get()) == cloud; });
    if (it == sessions_.end()) return nullptr;
    std::shared_ptr<Session> found = std::move(*it);
    sessions_.erase(it);
    return found;
}

std::shared_ptr<Session> SessionRegistry::Find(const void* cloud) const {
    if (cloud == nullptr) return nullptr;
    MutexLock lock(mu_);
    for (const auto& s : sessions_) {
        if (CloudAddress(s.get()) == cloud) return s;
    }
    return nullptr;
}

std::vector<std::shared_ptr<Session>> SessionRegistry::All() const {
    MutexLock lock(mu_);
    return sessions_;
}

}  // namespace loopback

namespace kwix {

KWIXCloud* KWIXCloud::Create(KWIXCloudDelegate* delegate) {
    using namespace loopback;
    Logf(LogLevel::kDebug, "KWIXCloud::Create delegate=%p", static_cast<void*>(delegate));
    if (faults::TakeCreateFailure()) {
        Logf(LogLevel::kWarning, "KWIXCloud::Create failed on request");
        return nullptr;
    }
    std::shared_ptr<Session> s = Session::Make(delegate);
    KWIXCloud* cloud = s.get();
    SessionRegistry::Instance().Add(std::move(s));
    return cloud;
}

void KWIXCloud::Destroy(KWIXCloud* cloud) {
    using namespace loopback;
    Logf(LogLevel::kDebug, "KWIXCloud::Destroy session=%p", static_cast<void*>(cloud));
    if (cloud == nullptr) return;
    std::shared_ptr<Session> s = SessionRegistry::Instance().Remove(cloud);
    if (!s && SessionRegistry::Instance().IsInherited(cloud)) {
        Logf(LogLevel::kDebug, "KWIXCloud::Destroy of session %p inherited through fork(): nothing to stop here",
             static_cast<void*>(cloud));
        return;
    }
    if (!s) {
        Logf(LogLevel::kWarning, "KWIXCloud::Destroy of unknown session %p ignored", static_cast<void*>(cloud));
        return;
    }
    s->Shutdown();
}

}  // namespace kwix
}  // namespace velmora
