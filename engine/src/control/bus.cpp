// Control API: connecting this process's rooms to other processes (engine/src/bus).
#include <string>

#include "bus/hooks.h"
#include "control/control.h"
#include "velmora_loopback.h"

using velmora::loopback::CopyOut;

extern "C" {

int vlb_bus_connect(const char* url) { return vlb_bus_connect_keyed(url, nullptr); }

int vlb_bus_connect_keyed(const char* url, const char* key) {
    if (url == nullptr) return VLB_NULL;
    std::string error;
    return velmora::loopback::bus::Connect(url, key, &error) ? VLB_OK : VLB_BUS_FAILED;
}

int vlb_bus_disconnect(void) { return velmora::loopback::bus::Disconnect() ? VLB_OK : VLB_ABSENT; }

int64_t vlb_bus_error(char* buffer, size_t capacity) {
    return CopyOut(velmora::loopback::bus::LastError(), buffer, capacity);
}

int64_t vlb_bus_counter(const char* name) {
    uint64_t value = 0;
    if (name == nullptr || !velmora::loopback::bus::Counter(name, &value)) return VLB_ABSENT;
    return static_cast<int64_t>(value);
}

int64_t vlb_bus_mask(const char* url, char* buffer, size_t capacity) {
    if (url == nullptr) return VLB_NULL;
    return CopyOut(velmora::loopback::bus::Mask(url), buffer, capacity);
}

}  // extern "C"
