// The engine's log: one line per event with time, level, thread id and text, written to the
// file under the directory given by QVLiveSDK::SetLogPath and, when enabled, to stderr.
// Safe to call from any thread.
#ifndef VELMORA_ENGINE_LOG_H
#define VELMORA_ENGINE_LOG_H

#include <string>

namespace velmora {
namespace loopback {

enum class LogLevel { kDebug = 0, kInfo = 1, kWarning = 2, kError = 3 };

// True when a line of this level would be written anywhere; lets callers skip formatting.
bool LogEnabled(LogLevel level);
void LogWrite(LogLevel level, const std::string& text);
void Logf(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_LOG_H
