// Control API: the engine clock and per-session audio counters.
#include <cstdint>
#include <memory>
#include <string>

#include "control/control.h"
#include "core/clock.h"
#include "velmora_loopback.h"

using velmora::loopback::Clock;
using velmora::loopback::LiveSession;

extern "C" {

int vlb_clock_manual(int on) {
    Clock::Instance().SetManual(on != 0);
    return VLB_OK;
}

int vlb_clock_advance(int64_t ms) { return Clock::Instance().Advance(ms) ? VLB_OK : VLB_NOT_MANUAL; }

int64_t vlb_clock_now(void) { return Clock::Instance().NowMs(); }

int vlb_audio_counters(void* session, uint64_t* accepted, uint64_t* refused, uint64_t* delivered,
                       uint64_t* dropped) {
    std::shared_ptr<velmora::loopback::Session> s = LiveSession(session);
    if (!s) return VLB_ABSENT;
    const velmora::loopback::AudioCounters& c = s->audio_counters();
    if (accepted != nullptr) *accepted = c.accepted.load();
    if (refused != nullptr) *refused = c.refused.load();
    if (delivered != nullptr) *delivered = c.delivered.load();
    if (dropped != nullptr) *dropped = c.dropped.load();
    return VLB_OK;
}

}  // extern "C"
