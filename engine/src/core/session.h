// The engine's session: KWIXCloud's implementation and the registry of live sessions.
//
// Every operation first appends its journal entry (what the engine received, before any
// check), then describes itself as one room operation (core/operation.h) and applies it to
// its room through the room's one entry, which runs every check; an operation the room
// accepted goes, that very description, to the room bus (core/room_bus.h). None of them waits for
// a callback: the Python module calls them with the interpreter lock held. Only Destroy
// waits, for the session's callback that is running on an engine thread, and not when it runs
// inside that callback nor when that callback is itself closing, directly or through other
// sessions, the caller's session (see Dispatcher::Stop for what holds then).
//
// fork(): sessions alive at the fork are inherited by the child, but the engine threads that
// delivered their callbacks are not, and their locks may have been held by a thread that no
// longer exists there. In the child they are inert: every operation returns
// ERR_INVALID_OPERATION (SendCustomCmdMsg false, the operations without a result do nothing),
// KWIXCloud::Destroy returns at once, and they are neither in any room nor listed by the
// control API. Their memory is kept for the child's life. The child's rooms start empty;
// its new sessions work as usual.
//
// Results chosen where the interface leaves them open:
// - EnterRoom: ERR_INVALID_SDK_APP_ID, ERR_INVALID_USER_ID (also for an id that is not
//   valid UTF-8, which the others could not decode), ERR_INVALID_PARAMETER for an unknown
//   role, ERR_INVALID_USER_SIG, ERR_INVALID_ROOM_ID (checked in this order), then
//   ERR_INVALID_OPERATION when already in a room and ERR_ENTER_ROOM_FAILED when the
//   user id is already in that room here, or when VELMORA_LOOPBACK_REDIS is not a URL the
//   room bus can use. For rooms that span processes (bus/hooks.h) EnterRoom does not wait
//   for Redis: a user id another process turns out to have in that room (or a bus whose
//   server could not be reached at all) takes the session out again afterwards, with
//   OnError(ERR_ENTER_ROOM_FAILED) and OnExitRoom (Expel).
// - Operations a room accepted are also handed to the room bus (bus/hooks.h), which carries
//   them to the session's room in other processes when one is connected. Without a room,
//   an operation that fails its own checks (Check in core/operation.h) reports that error,
//   any other ERR_INVALID_OPERATION.
// - Every operation that needs a room returns ERR_INVALID_OPERATION (SendCustomCmdMsg: false)
//   outside one; so do ExitRoom outside a room, opening an open channel, closing a closed
//   one, an audience member opening a channel, and sending on a channel that is not open.
// - Local channels close without callbacks when the session leaves its room.
// - Subscribe/Unsubscribe: ERR_INVALID_PARAMETER for a null or empty user id or a stream type
//   other than audio, video high, video low and video aux.
// - EnterRoom also checks audio_obtain_params (after the role): AAC output
//   ERR_NOT_SUPPORTED, anything the audio path cannot deliver ERR_INVALID_PARAMETER (see
//   media/room_audio.h).
// - Frames with no payload: ERR_INVALID_PARAMETER. CreateLocalAudioChannel and the audio
//   sends check as media/room_audio.h says; every audio send is counted as accepted (0) or
//   refused (any other result).
// - GetAudioFrame: ERR_INVALID_PARAMETER for a null frame, ERR_INVALID_OPERATION when not in
//   a room with AUDIO_OBTAIN_METHOD_GET, ERR_READ_TRY_AGAIN when nothing is waiting, else 0
//   with the oldest waiting frame copied into the caller's frame.
// - SendSeiMessage: ERR_INVALID_PARAMETER above kMaxMessageBytes or for a null message with
//   a length; ERR_INVALID_OPERATION without an open STREAM_TYPE_VIDEO_HIGH channel.
//   SendCustomCmdMsg: false in the same cases; true once handed to the room (also when
//   nobody else is there, or an unreliable command is then lost). Empty messages are sent.
// - SendAudioFrame goes out on the next clock tick; SendContinuousAudioFrame is paced by the
//   room on the engine clock, refused with kSendQueueFullError past kMaxSendQueueMs.
// - SetVideoEncodeParam: parameters out of range (Check of op::VideoParams) are logged as a
//   warning and change nothing. Valid ones belong to the session: they hold in its current
//   room and in any it enters later (they go to the room, and the room bus, on entering).
// - SendVideoFrame with a PixelFrame: ERR_INVALID_PARAMETER for a frame the video path cannot
//   take (media/video_picture.h). Pixel frames are taken from any session; one that entered
//   with use_pixel_frame_input has its key frames made by the engine's encoder instead of
//   being asked for them (core/room.h).
// - Network quality reports run on the engine clock (core/clock.h), every
//   network::ReportInterval() of clock time, with the qualities of network/network.h.
// - While the network drops its connection or it does not answer (network/network.h), every send is
//   accepted (0, SendCustomCmdMsg true) and lost on the way.
// - EnableAudioVolumeEvaluation, startAsrService, stopAsrService, CallExperimentalAPI:
//   journaled, ERR_NOT_SUPPORTED.
// - The journal describes a frame's payload by its size and digest, or byte for byte when
//   the control API asks for full payloads (vlb_journal_full_payloads).
// - The journal keeps the newest entries, at most kMaxJournalEntries of them and at most
//   kMaxJournalBytes of text (the newest entry is always kept), so that a long-running
//   sender of large frames does not grow without bound.
#ifndef VELMORA_ENGINE_CORE_SESSION_H
#define VELMORA_ENGINE_CORE_SESSION_H

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/operation.h"
#include "core/room.h"
#include "delivery/dispatcher.h"
#include "kwix/velmora_kwix_cloud.h"
#include "media/audio_counters.h"
#include "media/room_video.h"
#include "sync/fork.h"
#include "sync/mutex.h"

namespace velmora {
namespace loopback {

constexpr size_t kMaxJournalEntries = 4096;
constexpr size_t kMaxJournalBytes = 4u << 20;

class Session final : public kwix::KWIXCloud, public std::enable_shared_from_this<Session> {
public:
    // Creates the session with its dispatcher; registered as live by KWIXCloud::Create.
    static std::shared_ptr<Session> Make(kwix::KWIXCloudDelegate* delegate);
    ~Session() override;

    int EnterRoom(const kwix::EnterRoomParams& params) override;
    int ExitRoom() override;
    int Subscribe(const char* user_id, kwix::StreamType type) override;
    int Unsubscribe(const char* user_id, kwix::StreamType type) override;
    int GetAudioFrame(kwix::AudioFrame* frame) override;
    int CreateLocalAudioChannel(const kwix::AudioEncodeParams& params) override;
    int SendAudioFrame(const kwix::AudioFrame& frame) override;
    int SendContinuousAudioFrame(const kwix::AudioFrame& frame, bool clear_send_queue) override;
    int DestroyLocalAudioChannel() override;
    int CreateLocalVideoChannel(kwix::StreamType type) override;
    int SendVideoFrame(kwix::StreamType type, const kwix::VideoFrame& frame) override;
    int SendVideoFrame(kwix::StreamType type, const kwix::PixelFrame& frame) override;
    void SetVideoEncodeParam(kwix::StreamType type, const kwix::VideoEncodeParams& params) override;
    int SendSeiMessage(int message_type, const char* message, size_t length) override;
    bool SendCustomCmdMsg(uint32_t cmd_id, const char* message, size_t length, bool reliable,
                          bool ordered) override;
    int DestroyLocalVideoChannel(kwix::StreamType type) override;
    void EnableVoiceActivityDetection(const kwix::VADParams& params) override;
    int EnableAudioVolumeEvaluation(const kwix::AudioVolumeEvaluateParams& params) override;
    int startAsrService(const kwix::AsrParams& params) override;
    int stopAsrService() override;
    int CallExperimentalAPI(const char* json) override;

    // KWIXCloud::Destroy's work: leave the room (the others are told, this session is not),
    // then stop its callbacks (waiting for the running one, see Dispatcher::Stop).
    void Shutdown();

    // True in the child of a fork() made while this session was alive.
    bool Inherited() const;

    // The room bus refused the user id this session entered with (another process has it in
    // that room): unless the session left or entered again since (`generation` names the
    // entry), it hears OnError(error), leaves (OnExitRoom) and the others see it leave.
    void Expel(uint64_t generation, int error);

    // For the control API.
    kwix::KWIXCloudDelegate* delegate() const { return delegate_; }
    Dispatcher& dispatcher() const { return *dispatcher_; }
    const AudioCounters& audio_counters() const { return *audio_counters_; }
    const VideoCounters& video_counters() const { return *video_counters_; }
    // False when not in a room.
    bool Whereabouts(std::string* user_id, std::string* room) const;
    size_t JournalCount() const;
    bool JournalEntry(size_t index, std::string* entry) const;
    void ClearJournal();

private:
    Session(uint64_t serial, kwix::KWIXCloudDelegate* delegate);
    // Applies the operation to the session's room and hands it to the room bus when accepted.
    int Perform(const Operation& operation);
    void Journal(std::string entry, bool log = true);
    std::shared_ptr<Room> CurrentRoom() const;
    int SendAudio(const kwix::AudioFrame& frame, bool continuous, bool clear_send_queue);
    // A tick of the engine clock: reports network quality when its interval has passed.
    void OnClockTick(int64_t now_ms);
    void ReportNetworkQuality();

    const uint64_t serial_;
    const uint64_t fork_generation_;  // forks the process had been through at creation
    kwix::KWIXCloudDelegate* const delegate_;
    // Before the dispatcher, which keeps them told how far behind the session is.
    const std::shared_ptr<AudioCounters> audio_counters_;
    const std::shared_ptr<VideoCounters> video_counters_;
    const std::shared_ptr<Dispatcher> dispatcher_;
    std::atomic<bool> detect_voice_{false};
    // Only the clock's ticks (one at a time) touch it.
    int64_t last_report_ms_ = 0;

    mutable Mutex state_mu_;  // guards the room state below
    std::shared_ptr<Room> room_ GUARDED_BY(state_mu_);
    bool entering_ GUARDED_BY(state_mu_) = false;
    uint64_t generation_ GUARDED_BY(state_mu_) = 0;    // EnterRoom calls that got as far as entering
    int expel_error_ GUARDED_BY(state_mu_) = 0;        // the bus refused the entry while it was still under way
    bool shut_down_ GUARDED_BY(state_mu_) = false;
    bool pull_audio_ GUARDED_BY(state_mu_) = false;
    std::string user_id_ GUARDED_BY(state_mu_);
    std::string room_name_ GUARDED_BY(state_mu_);
    std::map<int, kwix::VideoEncodeParams> video_params_ GUARDED_BY(state_mu_);  // by stream type

    mutable Mutex journal_mu_;  // guards journal_ and journal_bytes_
    std::deque<std::string> journal_ GUARDED_BY(journal_mu_);
    size_t journal_bytes_ GUARDED_BY(journal_mu_) = 0;
};

// Live sessions in creation order. Lookups hand out shared ownership, so a session found
// here stays valid to use even if it is destroyed meanwhile (it then just does nothing).
class SessionRegistry {
public:
    static SessionRegistry& Instance();

    void Add(std::shared_ptr<Session> session);
    std::shared_ptr<Session> Remove(const void* cloud);
    std::shared_ptr<Session> Find(const void* cloud) const;
    std::vector<std::shared_ptr<Session>> All() const;
    // True for a session inherited from the parent process (see fork() above).
    bool IsInherited(const void* cloud) const;

private:
    SessionRegistry() = default;
    friend class ForkHandlersOf<SessionRegistry, &SessionRegistry::Instance>;
    void BeforeFork() ACQUIRE(mu_);
    void AfterForkInParent() RELEASE(mu_);
    void AfterForkInChild() RELEASE(mu_);

    mutable Mutex mu_;  // nothing is logged under it, and no other lock taken
    std::vector<std::shared_ptr<Session>> sessions_ GUARDED_BY(mu_);
    // Never freed: the threads that used them and their locks exist only in the parent process.
    std::vector<std::shared_ptr<Session>> inherited_ GUARDED_BY(mu_);
};

// The pointer the control API names a session by.
inline const void* CloudAddress(const Session* s) { return static_cast<const kwix::KWIXCloud*>(s); }

}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_CORE_SESSION_H
