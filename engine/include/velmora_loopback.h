/*
 * Control API of the loopback engine: inspection and fault injection for tests and tools.
 *
 * Only the loopback build of libvelmora.so has these functions; a program that uses them
 * does not work with another engine library. The Python module never calls them.
 *
 * Conventions:
 * - A session is named by its engine pointer (the KWIXCloud* that KWIXCloud::Create gave).
 *   Every function checks it against the live sessions first: a pointer that names no live
 *   session is answered with VLB_ABSENT (or a null/zero result) and is never dereferenced.
 * - Functions that return text copy at most `capacity` bytes into `buffer` (no terminating
 *   NUL is added) and return the text's full length, so a caller can retry with more room.
 * - A "description" is a line of `name=value` items separated by single spaces. Integers,
 *   enumerations and bools are decimal (bools 0 or 1, enumerations their integer value).
 *   Texts and payloads are `x` followed by the lowercase hex of their bytes (just `x` when
 *   empty), or `null` for a null pointer. Fields of embedded records carry the record's
 *   field name as a prefix (`room.sdk_app_id=...`).
 */
#ifndef VELMORA_LOOPBACK_H
#define VELMORA_LOOPBACK_H

#include <stddef.h>
#include <stdint.h>

#define VLB_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

#define VLB_OK 0
#define VLB_NULL (-1)   /* the engine received a null pointer */
#define VLB_ABSENT (-2) /* nothing recorded, unknown name, or no such live session */

/* Log levels accepted by QVLiveSDK::SetLogLevel. A level above VLB_LOG_ERROR logs nothing. */
#define VLB_LOG_DEBUG 0
#define VLB_LOG_INFO 1
#define VLB_LOG_WARNING 2
#define VLB_LOG_ERROR 3
#define VLB_LOG_OFF 4

/* Where an emitted callback runs. */
#define VLB_ON_ENGINE_THREAD 0  /* queued to the session's engine thread, in order */
#define VLB_ON_CALLING_THREAD 1 /* called at once on the thread calling the control API */

/* ---- Settings ---------------------------------------------------------------------------
 * `name` is the QVLiveSDK function name, e.g. "SetSocks5Proxy"; `index` the 0-based argument
 * position (SetSocks5Proxy: 0 ip, 1 port, 2 username, 3 password). */

/* Calls of `name` since the last reset, or VLB_ABSENT for an unknown name. */
VLB_API int vlb_settings_calls(const char* name);
/* The text argument of the last call, byte for byte: its length, VLB_NULL or VLB_ABSENT. */
VLB_API int64_t vlb_settings_text(const char* name, int index, char* buffer, size_t capacity);
/* An integer or bool argument of the last call into *value: VLB_OK or VLB_ABSENT. */
VLB_API int vlb_settings_int(const char* name, int index, int64_t* value);
/* Forgets every recorded call and restores the default settings: no log file (until
 * SetLogPath), level VLB_LOG_INFO, console log off, compression on, log files on, no proxy,
 * environment "production", rotation at 8 MiB keeping 5 files. */
VLB_API void vlb_settings_reset(void);

/* ---- Log --------------------------------------------------------------------------------- */

/* Path of the log file being written: its length, or VLB_ABSENT when none is open. */
VLB_API int64_t vlb_log_file(char* buffer, size_t capacity);
/* Rotate the log file when it would grow past max_bytes, keeping `keep` rotated files. */
VLB_API void vlb_log_set_rotation(uint64_t max_bytes, int keep);
/* After the log file could not be written, lines are lost (and counted) until the log tries the
 * file again, interval_ms (0 to 86400000; default 1000) after the failure; a shorter interval
 * brings a pending retry forward. VLB_OK or VLB_INVALID (nothing changed). */
VLB_API int vlb_log_set_retry_interval(int64_t interval_ms);
/* Writes one line at `level` as the engine's own code does (filtered by the log level). */
VLB_API void vlb_log_write(int level, const char* text);
/* Waits until every line written so far is in the file and every rotated file is compressed. */
VLB_API void vlb_log_flush(void);

/* ---- Records ----------------------------------------------------------------------------- */

/* Description of a record made by the engine's default constructor: `type` is one of
 * "KwixString", "RoomParams", "EnterRoomParams", "AudioFrame", "VideoFrame", "PixelFrame".
 * Returns the length or VLB_ABSENT for an unknown type. */
VLB_API int64_t vlb_describe_default(const char* type, char* buffer, size_t capacity);
/* How often data() of any frame was called in this process (to see that a caller skips it). */
VLB_API uint64_t vlb_frame_data_calls(void);

/* ---- Sessions ---------------------------------------------------------------------------- */

/* Live sessions in creation order. */
VLB_API size_t vlb_session_count(void);
VLB_API void* vlb_session_at(size_t index);
/* The most recently created live session that is in a room as `user_id`, or null. */
VLB_API void* vlb_session_find(const char* user_id);
/* The delegate pointer the session was created with (null for none). */
VLB_API void* vlb_session_delegate(void* session);
/* User id and room of a session in a room; VLB_ABSENT when it is in none. The room reads
 * "<sdk_app_id>/s:<str_room_id>" or "<sdk_app_id>/n:<room_id>". */
VLB_API int64_t vlb_session_user(void* session, char* buffer, size_t capacity);
VLB_API int64_t vlb_session_room(void* session, char* buffer, size_t capacity);

/* Journal of the KWIXCloud calls a session received, oldest first. An entry is the operation
 * name followed by a space and the description of its arguments, e.g.
 * "Subscribe user_id=x6164 type=2" or "SendCustomCmdMsg cmd_id=7 message=x616263 reliable=1 ordered=0".
 * Frame payloads (data=, extra=) read "#<size>:<digest>", the size in bytes and a 64-bit
 * digest in 16 hex digits (equal payloads, equal digests), unless full payloads are on. */
VLB_API size_t vlb_journal_count(void* session);
VLB_API int64_t vlb_journal_entry(void* session, size_t index, char* buffer, size_t capacity);
VLB_API void vlb_journal_clear(void* session);
/* Journals of every session keep frame payloads byte for byte (x<hex>) from now on (full != 0),
 * or as size and digest (0, the default; vlb_reset_faults restores it). */
VLB_API void vlb_journal_full_payloads(int full);

/* Waits until the video frames sent so far (by any session) are coded and queued, then until
 * the session's callback queue is empty and no callback is running.
 * VLB_OK, -1 on time-out, VLB_ABSENT for no live session. Must not be called while holding
 * a lock a callback needs (from Python: through a call that releases the interpreter lock). */
VLB_API int vlb_wait_idle(void* session, int timeout_ms);

/* ---- What waits for a receiver -------------------------------------------------------------
 * A session's callbacks wait in its queue until one of the engine's delivery threads runs
 * them. What waits is bounded, so that a receiver stuck in a callback, or slower than its
 * senders, holds a bounded amount of memory and hears fresh media whatever the others send:
 * - Media frames (audio, video, pixel): at most vlb_set_media_queue_limit frames; on the real
 *   clock a frame that waited vlb_set_media_max_wait_ms is skipped when its turn comes. The
 *   oldest go first.
 * - Everything queued: at most vlb_set_receiver_queue_bytes bytes, counting payloads (frames,
 *   messages) and VLB_QUEUE_CHARGE bytes per queued callback. What does not fit first pushes
 *   out queued media frames, oldest first; if it still does not fit, an unreliable custom
 *   command or an SEI message is dropped; a reliable custom command is lost and the receiver
 *   gets OnMissCustomCmdMsg(sender, cmd_id, VLB_MISS_QUEUE_FULL, number lost) in its place,
 *   one notice for a run of losses of one sender and command id, in order with the sender's
 *   other commands (the lost commands' sequence numbers stay used up). Events (members
 *   entering and leaving, channels, connection changes) are never dropped.
 * Every drop is counted: frames in vlb_dropped_frames (audio frames also in the audio
 * counters), commands and SEI messages in vlb_queue_counters. */

/* error_code of OnMissCustomCmdMsg: commands the simulated network lost (told before the next
 * command that arrives), and reliable commands lost to the receiver's byte bound. */
#define VLB_MISS_LOST_IN_TRANSIT 1
#define VLB_MISS_QUEUE_FULL 2
/* What each queued callback counts for in the byte bound besides its payload. */
#define VLB_QUEUE_CHARGE 256

/* Media frames dropped past either bound (a full queue, a frame that waited too long), and
 * media frames delivered to its delegate (audio, video and pixel frames alike). */
VLB_API uint64_t vlb_dropped_frames(void* session);
VLB_API uint64_t vlb_delivered_frames(void* session);
/* Bytes waiting in the session's queue now (charges included), unreliable custom commands and
 * SEI messages dropped, reliable custom commands lost (each pointer may be null).
 * VLB_OK or VLB_ABSENT. */
VLB_API int vlb_queue_counters(void* session, uint64_t* queued_bytes, uint64_t* unreliable_dropped,
                               uint64_t* reliable_lost);
/* Per-session bound on queued media frames (default 2048); older frames are dropped first. */
VLB_API void vlb_set_media_queue_limit(size_t frames);
/* Per-session bound on the bytes waiting in its queue (default 32 MiB, any value). */
VLB_API void vlb_set_receiver_queue_bytes(size_t bytes);
/* How long a media frame may wait in a session's queue on the real clock (default 150 ms; 0:
 * no bound; on the manual clock frames never expire). Per-user audio a room made while no
 * network setting is in force waits from its sender's send, so that what a late clock tick
 * made expires by its age, not its time in the queue. Half of it also bounds how long a
 * SendAudioFrame frame may wait for the clock's tick: a later one is dropped uncoded and counts
 * as dropped for its per-user listeners. VLB_OK, or VLB_INVALID for a negative value (nothing
 * changed). */
VLB_API int vlb_set_media_max_wait_ms(int64_t ms);

/* ---- Emitting callbacks -------------------------------------------------------------------
 * Each calls one delegate slot of `session` with exactly the arguments given (user ids and
 * messages may be null, hold invalid UTF-8 or zero bytes; enumeration values need not have a
 * name), `where` being VLB_ON_ENGINE_THREAD or VLB_ON_CALLING_THREAD. An exception thrown by
 * the delegate is contained and reported as for engine-made callbacks.
 * Returns VLB_OK, VLB_ABSENT (no live session) or -3 (unknown slot name). */

VLB_API int vlb_emit_error(void* session, int where, int error);
VLB_API int vlb_emit_connection_state(void* session, int where, int old_state, int new_state);
/* slot: "OnEnterRoom", "OnExitRoom", "OnLocalAudioChannelCreated", "OnLocalAudioChannelDestroyed" */
VLB_API int vlb_emit_event(void* session, int where, const char* slot);
/* slot: "OnLocalVideoChannelCreated", "OnLocalVideoChannelDestroyed", "OnRequestKeyFrame" */
VLB_API int vlb_emit_stream_event(void* session, int where, const char* slot, int stream_type);
VLB_API int vlb_emit_bitrate_request(void* session, int where, int stream_type, int bitrate_bps);
/* slot: "OnRemoteUserEnterRoom" (reason unused) or "OnRemoteUserExitRoom" */
VLB_API int vlb_emit_user(void* session, int where, const char* slot, const char* user_id, int reason);
VLB_API int vlb_emit_audio_available(void* session, int where, const char* user_id, int available);
VLB_API int vlb_emit_video_available(void* session, int where, const char* user_id, int available,
                                     int stream_type);
/* mixed != 0: OnRemoteMixedAudioReceived (user_id unused), else OnRemoteAudioReceived. */
VLB_API int vlb_emit_audio_frame(void* session, int where, int mixed, const char* user_id, int32_t sample_rate,
                                 int32_t channels, int32_t bits_per_sample, int codec, uint32_t pts,
                                 int has_voice, const uint8_t* data, size_t size);
VLB_API int vlb_emit_video_frame(void* session, int where, const char* user_id, int stream_type, uint32_t pts,
                                 uint32_t dts, int is_key_frame, int codec, int rotation, const uint8_t* data,
                                 size_t size);
VLB_API int vlb_emit_pixel_frame(void* session, int where, const char* user_id, int stream_type, uint32_t pts,
                                 uint32_t width, uint32_t height, int format, int rotation, const uint8_t* data,
                                 size_t size);
VLB_API int vlb_emit_sei(void* session, int where, const char* user_id, int stream_type, int message_type,
                         const char* message, size_t length);
VLB_API int vlb_emit_custom_cmd(void* session, int where, const char* user_id, int32_t cmd_id, uint32_t seq,
                                const char* message, size_t length);
VLB_API int vlb_emit_miss_custom_cmd(void* session, int where, const char* user_id, int32_t cmd_id,
                                     uint32_t error_code, uint32_t missed);
/* local_user null: a null local report. remote_users[i] (may be null) and remote_qualities[i]
 * for i < count; both arrays may be null when count is 0. */
VLB_API int vlb_emit_network_quality(void* session, int where, const char* local_user, int local_quality,
                                     const char* const* remote_users, const int* remote_qualities, size_t count);
/* slot: "OnUserVoiceVolume", "OnReceiveAsrMessage", "OnAsrServiceError" with sample arguments. */
VLB_API int vlb_emit_unexposed(void* session, int where, const char* slot);

/* ---- Faults and knobs --------------------------------------------------------------------- */

/* The next KWIXCloud::Create returns null (once). */
VLB_API void vlb_fail_next_create(void);
/* Restores every fault switch and knob of this section, the queue bounds and the network
 * section to their defaults, and the real clock. */
VLB_API void vlb_reset_faults(void);

/* ---- Network -------------------------------------------------------------------------------
 * A simulated network between each member and the service, set per user id (before or while
 * it is in a room) and per direction: the uplink carries what the user sends, the downlink
 * what it receives. A delivery from S to R (media, commands, and events about S such as its
 * entering or its channels) is delayed by S's uplink plus R's downlink latency, plus a jitter
 * drawn per delivery from 0 to the sum of both jitters, and released on the engine clock's
 * next tick at or after its time (on the manual clock: by vlb_clock_advance). One pair's
 * deliveries keep their order. Audio frames, video frames with their SEI messages and
 * unreliable custom commands are lost with the shares of both directions (and commands with
 * vlb_set_custom_cmd_loss's too); a lost command still uses up its sequence number, and the
 * next one that arrives is preceded by OnMissCustomCmdMsg. Events and reliable commands are
 * only delayed. A share of unordered commands (SendCustomCmdMsg's ordered false) arrives
 * right after the pair's next command (or 200 ms late when none follows).
 *
 * A dropped connection (vlb_network_disconnect): on the next tick the member hears
 * OnConnectionStateChanged(CONNECTED, DISCONNECTED), OnError(ERR_NETWORK_UNREACHABLE),
 * OnConnectionStateChanged(DISCONNECTED, CONNECTING), and on the first tick after the drop
 * OnConnectionStateChanged(CONNECTING, CONNECTED). Meanwhile its sends succeed and are lost,
 * it receives no media nor unreliable commands, and events and reliable commands wait for
 * the reconnection. An unresponsive member (vlb_network_unresponsive) stays connected, but
 * nothing it sends arrives. A member silent for the time-out (default 10000 ms of engine
 * clock) is gone for the others: its channels turn unavailable and they hear
 * OnRemoteUserExitRoom(info, 1); it receives nothing more until it is heard again, and then
 * they hear OnRemoteUserEnterRoom and its open channels turn available again.
 *
 * Network quality reports follow the faults unless vlb_set_network_quality set a quality:
 * loss (the worst of audio, video and commands, both directions) under 1 %, 5 %, 10 %, 20 %
 * and delay (both latencies plus half of both jitters) under 100, 200, 400, 800 ms give
 * excellent, good, poor, bad, else very bad (the worse of the two); a dropped member is
 * down, and so is an unresponsive one as the others see it.
 *
 * Every draw comes from a generator per (sender, receiver) pair seeded from the network seed
 * and both user ids: the same calls on the manual clock give the same result every run.
 *
 * With the room bus connected (vlb_bus_connect), every setting of this section but the
 * room-wide command loss and the report interval is also applied in every other connected
 * process, and a process that connects later reads the current ones (not drops, which last
 * from when each process hears of them). vlb_reset_faults stays in its process. A setting
 * that another process sends out of its range is not applied and counts as "rejected". */

#define VLB_INVALID (-5) /* an argument out of its range; nothing changed */

#define VLB_UPLINK 0
#define VLB_DOWNLINK 1
#define VLB_BOTH_WAYS 2

/* The ranges. No sum of delays can overflow, and each bound is far beyond what a test means. */
#define VLB_MAX_DELAY_MS 60000              /* latency and jitter, each direction */
#define VLB_MAX_DROP_MS 86400000            /* a drop: one day */
#define VLB_MAX_TIMEOUT_MS 86400000         /* the time-out: one day */
#define VLB_MAX_REPORT_INTERVAL_MS 3600000  /* the quality report interval: one hour */
#define VLB_MAX_BANDWIDTH_KBPS 10000000     /* a bandwidth cap: 10 Gbit/s */
#define VLB_MAX_QUEUE_MS 500                /* video waiting longer for a capped link is lost */

/* The faults of `direction` of the user's link, replacing what was set there: latency and
 * jitter from 0 to VLB_MAX_DELAY_MS, shares from 0 to 1 (not NaN). VLB_OK, VLB_NULL or
 * VLB_INVALID (both ways: neither direction changed). */
VLB_API int vlb_network_link(const char* user_id, int direction, int64_t latency_ms, int64_t jitter_ms,
                             double audio_loss, double video_loss, double command_loss, double reorder);
/* The user's connection drops now for duration_ms (1 to VLB_MAX_DROP_MS) of engine clock; a
 * drop under way is extended. VLB_OK, VLB_NULL or VLB_INVALID. */
VLB_API int vlb_network_disconnect(const char* user_id, int64_t duration_ms);
/* on != 0: the user stops answering from now; 0: it answers again. VLB_OK or VLB_NULL. */
VLB_API int vlb_network_unresponsive(const char* user_id, int on);
/* How long a member may be silent before the others see it leave (1 to VLB_MAX_TIMEOUT_MS;
 * default 10000). VLB_OK or VLB_INVALID. */
VLB_API int vlb_network_timeout(int64_t timeout_ms);
/* Seeds every draw of the network (default 1); each pair's generator starts over. */
VLB_API void vlb_network_seed(uint64_t seed);
/* Forgets every network setting of the user, its vlb_set_network_quality too. VLB_OK or
 * VLB_NULL. */
VLB_API int vlb_network_forget(const char* user_id);
/* The network quality reported for `user_id` (as its local report and in others' remote
 * reports), a NetworkQuality value (0 to 6). VLB_OK, VLB_NULL or VLB_INVALID. Users without
 * a setting report what their links give (NETWORK_QUALITY_EXCELLENT without faults). */
VLB_API int vlb_set_network_quality(const char* user_id, int quality);
/* Share (0 to 1) of every unreliable custom command lost in transit, on top of each link's
 * own; receivers then get OnMissCustomCmdMsg for the gap before the next command that
 * arrives. VLB_OK or VLB_INVALID. */
VLB_API int vlb_set_custom_cmd_loss(double share);
/* Interval of the network quality reports (1 to VLB_MAX_REPORT_INTERVAL_MS; default 2000).
 * VLB_OK or VLB_INVALID. */
VLB_API int vlb_set_network_quality_interval(int interval_ms);
/* A cap on `direction` of the user's link in kbit/s (0 to VLB_MAX_BANDWIDTH_KBPS; 0 removes
 * it), beside its faults. It carries video: each video frame (its encoded size) waits behind
 * what the link still carries, then takes its size's time, once on the sender's uplink and
 * once on each receiver's downlink; a frame that would wait beyond VLB_MAX_QUEUE_MS is lost,
 * and whatever else that sender sends that receiver waits behind it, as on a real link. A
 * sender whose video exceeds its uplink's cap over 1 s is asked to fit 85 % of it, at most once
 * a second: a sender of encoded frames by OnRequestChangeVideoEncodeBitrate(stream, bps) (each
 * stream its share), a sender of pixels by its engine encoder's own rate. When the cap goes,
 * or grows to fit the earlier rate, the rate is asked back (the stream's VideoEncodeParams
 * bitrate_bps, else what it sent before). The waits and losses count in the network quality
 * like the link's own latency and loss. VLB_OK, VLB_NULL or VLB_INVALID (both ways: neither
 * direction changed). */
VLB_API int vlb_network_bandwidth(const char* user_id, int direction, int64_t kbps);
/* The network quality the others would see reported for the user now, or VLB_NULL. */
VLB_API int vlb_network_quality_of(const char* user_id);

/* ---- Clock and audio ----------------------------------------------------------------------
 * Everything timed in the engine (mixing, re-chunking, paced sends, network quality reports)
 * runs on the engine clock, which ticks every 10 ms. The real clock is the default. */

#define VLB_NOT_MANUAL (-4) /* vlb_clock_advance on the real clock, or a negative step */

/* on != 0: the manual clock: time stands still but for vlb_clock_advance. on == 0: the real
 * clock again, going on from the manual time. VLB_OK. */
VLB_API int vlb_clock_manual(int on);
/* Manual clock: moves time on by `ms` and runs every tick passed on the calling thread
 * (callbacks they cause run on the sessions' engine threads, as always). VLB_OK, or
 * VLB_NOT_MANUAL. */
VLB_API int vlb_clock_advance(int64_t ms);
/* The engine clock in milliseconds (the time base of delivered audio frames' pts). */
VLB_API int64_t vlb_clock_now(void);
/* A session's audio frames: sends accepted and refused; frames for it delivered (callbacks
 * made, frames pulled) and dropped (full queues, continuous sends cleared before they went
 * out). Any pointer may be null. VLB_OK or VLB_ABSENT. */
VLB_API int vlb_audio_counters(void* session, uint64_t* accepted, uint64_t* refused, uint64_t* delivered,
                               uint64_t* dropped);

/* ---- Video ---------------------------------------------------------------------------------
 * Each receiver gets video in the kind it asked for (use_pixel_frame_output): see the
 * documentation's loopback page. Pixel frames are encoded to H.264 once per sending stream, and
 * encoded video is decoded once per stream for pixel receivers, on the engine's video workers.
 * A session's figures: its pixel frames the engine encoded, how many of those were key frames,
 * its frames the video workers skipped (they were behind by 8 frames on that stream); frames
 * decoded for it as a pixel receiver, and frames it did not get as one because they did not
 * decode (before a key frame, after a gap, or broken). Any pointer may be null. VLB_OK or
 * VLB_ABSENT. */
VLB_API int vlb_video_counters(void* session, uint64_t* encoded, uint64_t* key_frames, uint64_t* skipped,
                               uint64_t* decoded, uint64_t* undecodable);
#define VLB_CODEC_FAILED (-6) /* the codec refused the picture; the log says why */
/* The engine's own H.264 encoder (what a pixel sender's frames become), for tools that need
 * encoded video of their own pictures. vlb_video_encoder_new makes one; vlb_video_encoder_free
 * ends it (VLB_OK, VLB_ABSENT for a pointer that names none). */
VLB_API void* vlb_video_encoder_new(void);
VLB_API int vlb_video_encoder_free(void* encoder);
/* Encodes one I420 picture (Y, U, V planes packed: width * height * 3 / 2 bytes; even sides
 * from 16 to 4096) at bitrate_bps and frame_rate (brought into the encoder's ranges), a key
 * frame when key != 0 (and the first frame, and after a size change, always are). Returns
 * the length of the frame made (Annex B), VLB_NULL, VLB_INVALID (sides or size), VLB_ABSENT
 * or VLB_CODEC_FAILED. vlb_video_encoded copies it out (at most capacity bytes; returns its
 * full length), vlb_video_encoded_key tells whether it is a key frame (1 or 0). */
VLB_API int64_t vlb_video_encode(void* encoder, const uint8_t* i420, size_t size, int width, int height,
                                 int bitrate_bps, int frame_rate, int key);
VLB_API int64_t vlb_video_encoded(void* encoder, char* buffer, size_t capacity);
VLB_API int vlb_video_encoded_key(void* encoder);
/* ---- Rooms across processes --------------------------------------------------------------
 * A process's rooms span processes through a Redis server once its bus is connected: by
 * these calls, or by the first EnterRoom with the environment variable VELMORA_LOOPBACK_REDIS
 * set to the server's URL. Only sessions that enter a room while the bus is connected are
 * seen by other processes.
 *
 * The URL: [redis://][[user]:password@]host[:port][/db][?option=value&...]. The password
 * (with the user name where given) logs in with AUTH. Options: expiry_ms=N (how long a
 * silent process's members stay, 100 to 86400000, 5000 by default; every process of a room
 * should use the same), key=TEXT or key_file=PATH (the room-bus key). Percent-encode
 * @ : / ? & % in a password or key. rediss:// is refused: this engine has no TLS. Every text
 * that shows a URL (errors, the log) shows its password and key as ***.
 *
 * The room-bus key (16 to 1024 bytes; the same in every process of the room): with it every
 * message is sealed (authenticated and encrypted), and messages that fail are dropped and
 * counted as "forged", or as "replayed" when a message was taken before or is more than a
 * minute away from this process's clock. Without one, the bus trusts every client of the
 * Redis server: any can read every room and speak in it as any member (a warning is logged
 * at connect). The key comes from vlb_bus_connect_keyed, else the URL, else the environment
 * variable VELMORA_LOOPBACK_BUS_KEY.
 *
 * EnterRoom never waits for Redis: the user id is claimed in the background, and a user id
 * another process has in that room takes the session out again (OnError
 * ERR_ENTER_ROOM_FAILED, then OnExitRoom). When the server is lost (restarted, or stalled
 * beyond two seconds), the bus reconnects with back-off, and meanwhile every session it
 * carries hears a dropped connection (OnConnectionStateChanged CONNECTED to DISCONNECTED,
 * OnError ERR_NETWORK_UNREACHABLE, DISCONNECTED to CONNECTING), then CONNECTING to CONNECTED
 * when it is back. */

#define VLB_BUS_FAILED (-5) /* the bus could not connect; vlb_bus_error says why */

/* Connects this process's bus to `url` (above). Replaces a connected bus. VLB_OK, VLB_NULL or
 * VLB_BUS_FAILED. */
VLB_API int vlb_bus_connect(const char* url);
/* vlb_bus_connect with the room-bus key `key` (NUL-terminated; null: as vlb_bus_connect). */
VLB_API int vlb_bus_connect_keyed(const char* url, const char* key);
/* Says goodbye in every room and disconnects; the other processes' members leave this
 * process's rooms. VLB_OK, or VLB_ABSENT when no bus was connected. */
VLB_API int vlb_bus_disconnect(void);
/* Why the last connect failed: its length (0 when it did not). */
VLB_API int64_t vlb_bus_error(char* buffer, size_t capacity);
/* A counter of the connected bus: "published", "received" (from other processes),
 * "refused" (unknown wire versions, malformed messages, messages over 16 MiB, sealed messages
 * reaching a process without a key), "rejected" (readable messages the checks of a local call
 * refuse: a member of another process entering with an empty or non-UTF-8 user id, opening an
 * audio channel of 0 or 3 channels, sending a command of 100 KB, a network setting out of its
 * range; and what is over the bus's caps on ghosts, processes heard and a member's
 * subscriptions; logged, the first and every 1000th, never applied), "forged" and "replayed"
 * (with a key, above), "gaps" (messages of a sender never received), "ghosts" (other
 * processes' members mirrored here now), "lost" (not published: the server out of reach, or
 * a message over 16 MiB), "claiming" (sessions whose user id's claim is not answered yet),
 * "expelled" (sessions taken out: their user id was another process's), "reconnects" (times
 * the bus came back after losing its server). VLB_ABSENT without a bus or for an unknown
 * name. */
VLB_API int64_t vlb_bus_counter(const char* name);
/* `url` as every text shows it, its password and key masked: the masked text's length, or
 * VLB_NULL. */
VLB_API int64_t vlb_bus_mask(const char* url, char* buffer, size_t capacity);

#ifdef __cplusplus
}
#endif

#endif /* VELMORA_LOOPBACK_H */
