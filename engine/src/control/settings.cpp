// Control API: the settings call log, the log, and records made by default constructors.
#include <string>

#include "control/control.h"
#include "log/log.h"
#include "records/describe.h"
#include "records/frames.h"
#include "settings/settings.h"
#include "velmora_loopback.h"

using velmora::loopback::CopyOut;
using velmora::loopback::SettingsArgument;

extern "C" {

/* ---- Settings ---- */

int vlb_settings_calls(const char* name) {
    const int count = velmora::loopback::SettingsCallCount(name);
    return count < 0 ? VLB_ABSENT : count;
}

int64_t vlb_settings_text(const char* name, int index, char* buffer, size_t capacity) {
    SettingsArgument argument;
    if (!velmora::loopback::SettingsArgumentOf(name, index, &argument) || argument.kind == SettingsArgument::kInteger) {
        return VLB_ABSENT;
    }
    if (argument.kind == SettingsArgument::kNullText) return VLB_NULL;
    return CopyOut(argument.text, buffer, capacity);
}

int vlb_settings_int(const char* name, int index, int64_t* value) {
    SettingsArgument argument;
    if (!velmora::loopback::SettingsArgumentOf(name, index, &argument) || argument.kind != SettingsArgument::kInteger) {
        return VLB_ABSENT;
    }
    if (value != nullptr) *value = argument.integer;
    return VLB_OK;
}

void vlb_settings_reset(void) { velmora::loopback::ResetSettings(); }

/* ---- Log ---- */

int64_t vlb_log_file(char* buffer, size_t capacity) {
    std::string path;
    if (!velmora::loopback::LogCurrentFile(&path)) return VLB_ABSENT;
    return CopyOut(path, buffer, capacity);
}

void vlb_log_set_rotation(uint64_t max_bytes, int keep) { velmora::loopback::LogSetRotation(max_bytes, keep); }

int vlb_log_set_retry_interval(int64_t interval_ms) {
    if (interval_ms < 0 || interval_ms > velmora::loopback::kMaxLogRetryMs) return VLB_INVALID;
    velmora::loopback::LogSetRetryInterval(interval_ms);
    return VLB_OK;
}

void vlb_log_write(int level, const char* text) {
    // Only the four real levels: "off" is a filter, not a level a line can have.
    if (level < VLB_LOG_DEBUG || level > VLB_LOG_ERROR) return;
    velmora::loopback::LogWrite(static_cast<velmora::loopback::LogLevel>(level), text ? text : "(null)");
}

void vlb_log_flush(void) { velmora::loopback::LogFlush(); }

/* ---- Records ---- */

int64_t vlb_describe_default(const char* type, char* buffer, size_t capacity) {
    std::string description;
    if (!velmora::loopback::DescribeDefault(type ? type : "", &description)) return VLB_ABSENT;
    return CopyOut(description, buffer, capacity);
}

uint64_t vlb_frame_data_calls(void) { return velmora::loopback::FrameDataCalls(); }

}  // extern "C"
