// Velmora engine: process-wide settings (logging, proxy, service environment).
// Part of the engine's binary interface.
#ifndef VELMORA_PREMIER_H
#define VELMORA_PREMIER_H

#include "kwix/velmora_kwix_defines.h"

namespace velmora {
namespace live {

// Supplies HTTP clients to the engine in place of its built-in one.
class HttpClientFactory;

class VELMORA_API QVLiveSDK {
public:
    static bool SetLogPath(const char* path);
    static void SetLogLevel(int level);
    static void EnableConsoleLog();
    static void DisableConsoleLog();
    static void DisableLogCompress(bool disabled);
    static void DisableLogFile(bool disabled);
    static bool SetSocks5Proxy(const char* ip, unsigned short port, const char* username, const char* password);
    static bool SetEnvironment(const char* env);
    static void SetExternalHttpClientFactory(HttpClientFactory* factory);
};

}  // namespace live
}  // namespace velmora

#endif  // VELMORA_PREMIER_H
