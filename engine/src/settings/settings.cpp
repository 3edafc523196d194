// Process-wide settings: the QVLiveSDK functions.
//
// Every QVLiveSDK call is entered in the call log argument by argument before it is acted on,
// so tests can see through the control API exactly what crossed the binary interface, even
// when the call is refused. The call log is the only memory of the proxy, the environment and
// the HTTP client factory: the loopback engine opens no network connection, so nothing in it
// acts on them beyond checking and logging them.
//
// SetEnvironment accepts "production" (the default), "staging" and "test", spelled exactly so.
// SetSocks5Proxy's password is never logged (the log shows whether one was given); the call
// log keeps it for the control API's read-back.

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "log/log.h"
#include "settings/settings.h"
#include "velmora_premier.h"
#include "sync/mutex.h"

namespace velmora {
namespace loopback {
namespace {

const char* const kFunctions[] = {
    "SetLogPath",       "SetLogLevel",    "EnableConsoleLog", "DisableConsoleLog",
    "DisableLogCompress", "DisableLogFile", "SetSocks5Proxy",   "SetEnvironment",
    "SetExternalHttpClientFactory",
};
constexpr int kFunctionCount = sizeof kFunctions / sizeof kFunctions[0];

using Argument = SettingsArgument;

// The calls of one function: how many, and the arguments of the last one.
struct LoggedCalls {
    int count = 0;
    std::vector<Argument> arguments;
};

int FunctionIndex(const char* name) {
    if (name == nullptr) return -1;
    for (int i = 0; i < kFunctionCount; ++i) {
        if (std::strcmp(name, kFunctions[i]) == 0) return i;
    }
    return -1;
}

class CallLog {
public:
    void Add(const char* function, std::vector<Argument> arguments) {
        int index = FunctionIndex(function);
        MutexLock lock(mu_);
        calls_[index].count++;
        calls_[index].arguments = std::move(arguments);
    }

    // -1 for an unknown name.
    int Count(const char* function) {
        int index = FunctionIndex(function);
        if (index < 0) return -1;
        MutexLock lock(mu_);
        return calls_[index].count;
    }

    // False when nothing was recorded for this argument.
    bool Get(const char* function, int position, Argument* argument) {
        int index = FunctionIndex(function);
        if (index < 0 || position < 0) return false;
        MutexLock lock(mu_);
        const LoggedCalls& call = calls_[index];
        if (call.count == 0 || static_cast<size_t>(position) >= call.arguments.size()) return false;
        *argument = call.arguments[position];
        return true;
    }

    void Clear() {
        MutexLock lock(mu_);
        for (LoggedCalls& call : calls_) call = LoggedCalls();
    }

private:
    Mutex mu_;
    LoggedCalls calls_[kFunctionCount] GUARDED_BY(mu_);
};

// Leaked like the log, for callers that run during static destruction.
CallLog& TheCallLog() {
    static CallLog* log = new CallLog;
    return *log;
}

// A host name by RFC 1123: dot-separated labels of letters, digits and inner hyphens, at most
// 63 bytes each and 253 in all (a trailing dot allowed). A name whose last label is all
// digits is refused because it can only be a mistyped IPv4 address such as "256.1.1.1".
bool IsHostName(const std::string& name) {
    std::string host = name;
    if (!host.empty() && host.back() == '.') host.pop_back();
    if (host.empty() || host.size() > 253) return false;
    size_t start = 0;
    bool last_all_digits = false;
    while (start <= host.size()) {
        size_t end = host.find('.', start);
        if (end == std::string::npos) end = host.size();
        size_t length = end - start;
        if (length == 0 || length > 63) return false;
        if (host[start] == '-' || host[end - 1] == '-') return false;
        last_all_digits = true;
        for (size_t i = start; i < end; ++i) {
            char c = host[i];
            bool digit = c >= '0' && c <= '9';
            bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
            if (!digit && !letter && c != '-') return false;
            if (!digit) last_all_digits = false;
        }
        start = end + 1;
    }
    return !last_all_digits;
}

bool IsProxyHost(const char* ip) {
    if (ip == nullptr || *ip == '\0') return false;
    unsigned char address[sizeof(in6_addr)];
    if (inet_pton(AF_INET, ip, address) == 1 || inet_pton(AF_INET6, ip, address) == 1) return true;
    return IsHostName(ip);
}

bool Given(const char* text) { return text != nullptr && *text != '\0'; }

// A quoted text for the log; "null" for a null pointer.
std::string Quoted(const char* text) { return text ? "\"" + std::string(text) + "\"" : "null"; }

const char* Bool(bool value) { return value ? "true" : "false"; }

}  // namespace
}  // namespace loopback

namespace live {

using loopback::SettingsArgument;
using loopback::LogLevel;
using loopback::Logf;
using loopback::TheCallLog;

bool QVLiveSDK::SetLogPath(const char* path) {
    TheCallLog().Add("SetLogPath", {SettingsArgument::Text(path)});
    bool ok = path != nullptr && loopback::LogSetDirectory(path);
    Logf(LogLevel::kDebug, "QVLiveSDK::SetLogPath path=%s -> %s", loopback::Quoted(path).c_str(),
         loopback::Bool(ok));
    return ok;
}

void QVLiveSDK::SetLogLevel(int level) {
    TheCallLog().Add("SetLogLevel", {SettingsArgument::Integer(level)});
    // Logged under whichever of the old and new level lets the line through.
    const bool logged_before = loopback::LogEnabled(LogLevel::kDebug);
    if (logged_before) Logf(LogLevel::kDebug, "QVLiveSDK::SetLogLevel level=%d", level);
    loopback::LogSetLevel(level);
    if (!logged_before) Logf(LogLevel::kDebug, "QVLiveSDK::SetLogLevel level=%d", level);
}

void QVLiveSDK::EnableConsoleLog() {
    TheCallLog().Add("EnableConsoleLog", {});
    loopback::LogSetConsole(true);
    Logf(LogLevel::kDebug, "QVLiveSDK::EnableConsoleLog");
}

void QVLiveSDK::DisableConsoleLog() {
    TheCallLog().Add("DisableConsoleLog", {});
    Logf(LogLevel::kDebug, "QVLiveSDK::DisableConsoleLog");
    loopback::LogSetConsole(false);
}

void QVLiveSDK::DisableLogCompress(bool disabled) {
    TheCallLog().Add("DisableLogCompress", {SettingsArgument::Integer(disabled ? 1 : 0)});
    loopback::LogSetCompress(!disabled);
    Logf(LogLevel::kDebug, "QVLiveSDK::DisableLogCompress disabled=%s", loopback::Bool(disabled));
}

void QVLiveSDK::DisableLogFile(bool disabled) {
    TheCallLog().Add("DisableLogFile", {SettingsArgument::Integer(disabled ? 1 : 0)});
    // Logged while the file is still open (when disabling) or once it is open again.
    if (disabled) Logf(LogLevel::kDebug, "QVLiveSDK::DisableLogFile disabled=true");
    loopback::LogSetFileEnabled(!disabled);
    if (!disabled) Logf(LogLevel::kDebug, "QVLiveSDK::DisableLogFile disabled=false");
}

bool QVLiveSDK::SetSocks5Proxy(const char* ip, unsigned short port, const char* username, const char* password) {
    TheCallLog().Add("SetSocks5Proxy", {SettingsArgument::Text(ip), SettingsArgument::Integer(port), SettingsArgument::Text(username),
                                       SettingsArgument::Text(password)});
    const bool has_username = loopback::Given(username);
    const bool has_password = loopback::Given(password);
    // RFC 1929 carries each credential in at most 255 bytes.
    const bool credentials_ok = has_username == has_password &&
                                (!has_username || (std::strlen(username) <= 255 && std::strlen(password) <= 255));
    const bool ok = loopback::IsProxyHost(ip) && port != 0 && credentials_ok;
    Logf(LogLevel::kDebug, "QVLiveSDK::SetSocks5Proxy ip=%s port=%u username=%s password=%s -> %s",
         loopback::Quoted(ip).c_str(), static_cast<unsigned>(port), loopback::Quoted(username).c_str(),
         password == nullptr ? "<none>" : (*password == '\0' ? "<empty>" : "<set>"), loopback::Bool(ok));
    if (ok) {
        Logf(LogLevel::kInfo, "proxy: SOCKS5 %s port %u%s", ip, static_cast<unsigned>(port),
             has_username ? " with credentials" : "");
    }
    return ok;
}

bool QVLiveSDK::SetEnvironment(const char* env) {
    TheCallLog().Add("SetEnvironment", {SettingsArgument::Text(env)});
    const bool ok = env != nullptr && (std::strcmp(env, "production") == 0 || std::strcmp(env, "staging") == 0 ||
                                       std::strcmp(env, "test") == 0);
    Logf(LogLevel::kDebug, "QVLiveSDK::SetEnvironment env=%s -> %s", loopback::Quoted(env).c_str(),
         loopback::Bool(ok));
    if (ok) Logf(LogLevel::kInfo, "environment: %s", env);
    return ok;
}

void QVLiveSDK::SetExternalHttpClientFactory(HttpClientFactory* factory) {
    TheCallLog().Add("SetExternalHttpClientFactory",
                    {SettingsArgument::Integer(static_cast<int64_t>(reinterpret_cast<uintptr_t>(factory)))});
    Logf(LogLevel::kDebug, "QVLiveSDK::SetExternalHttpClientFactory factory=%p", static_cast<void*>(factory));
}

}  // namespace live
}  // namespace velmora

namespace velmora {
namespace loopback {

int SettingsCallCount(const char* function) { return TheCallLog().Count(function); }

bool SettingsArgumentOf(const char* function, int index, SettingsArgument* argument) {
    return TheCallLog().Get(function, index, argument);
}

void ResetSettings() {
    TheCallLog().Clear();
    LogReset();
}

}  // namespace loopback
}  // namespace velmora
