// The engine's log: one line per event with time, level, thread id and text, written to the
// file under the directory given by QVLiveSDK::SetLogPath and, when enabled, to stderr. Lines
// of error level reach stderr also when the console log is off, as "velmora: <text>": they
// are reports the user has to see (SetLogLevel(4) silences them too).
// Safe to call from any thread, including while the process exits, from several processes
// sharing one directory, and in the child of a fork().
#ifndef VELMORA_ENGINE_LOG_LOG_H
#define VELMORA_ENGINE_LOG_LOG_H

#include <cstdint>
#include <string>

namespace velmora {
namespace loopback {

enum class LogLevel { kDebug = 0, kInfo = 1, kWarning = 2, kError = 3 };

// True when a line of this level would be written anywhere; lets callers skip formatting.
bool LogEnabled(LogLevel level);
void LogWrite(LogLevel level, const std::string& text);
void Logf(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Configuration, used by the settings (QVLiveSDK) and the control API.

// Creates `directory` (with its parents) and logs into it from now on. False, leaving the
// previous log as it was and creating nothing, when the directory cannot be created or
// written, when its absolute path leaves no room for the longest rotated file name, or when
// something other than a regular file (a FIFO, a symbolic link, a directory) is in the place
// of the log file. The reason is written to the log that stays in use.
bool LogSetDirectory(const std::string& directory);
// Levels below `level` are dropped; negative means debug, 4 or more logs nothing.
void LogSetLevel(int level);
void LogSetConsole(bool enabled);
void LogSetCompress(bool enabled);
void LogSetFileEnabled(bool enabled);
void LogSetRotation(uint64_t max_bytes, int keep);
// How long the log waits, after its file could not be written, before it tries the file again:
// 0 to kMaxLogRetryMs (a day), a second by default.
constexpr int64_t kMaxLogRetryMs = 86400000;
void LogSetRetryInterval(int64_t milliseconds);
// Path of the open log file; false when none is open.
bool LogCurrentFile(std::string* path);
// Returns once every rotated file is compressed and pruned (lines are written at once).
void LogFlush();
// Closes the file, forgets the directory and restores every default.
void LogReset();

}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_LOG_LOG_H
