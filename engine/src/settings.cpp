// Process-wide settings (QVLiveSDK) and the Settings and Log sections of the control API.
//
// Every QVLiveSDK call is recorded argument by argument before it is acted on, so tests can
// see exactly what crossed the binary interface even when the call is refused.
//
// SetEnvironment accepts "production" (the default), "staging" and "test", spelled exactly so.
// SetSocks5Proxy's password is kept in memory only: it is never logged, the log shows whether
// one was given.

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "log.h"
#include "velmora_loopback.h"
#include "velmora_premier.h"

namespace velmora {
namespace loopback {
namespace {

const char* const kFunctions[] = {
    "SetLogPath",       "SetLogLevel",    "EnableConsoleLog", "DisableConsoleLog",
    "DisableLogCompress", "DisableLogFile", "SetSocks5Proxy",   "SetEnvironment",
    "SetExternalHttpClientFactory",
};
constexpr int kFunctionCount = sizeof kFunctions / sizeof kFunctions[0];

struct Argument {
    enum Kind { kNullText, kText, kInteger } kind;
    std::string text;
    int64_t integer;

    static Argument Text(const char* value) {
        return value ? Argument{kText, value, 0} : Argument{kNullText, std::string(), 0};
    }
    static Argument Integer(int64_t value) { return Argument{kInteger, std::string(), value}; }
};

struct Call {
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

class Record {
public:
    void Add(const char* function, std::vector<Argument> arguments) {
        int index = FunctionIndex(function);
        std::lock_guard<std::mutex> lock(mu_);
        calls_[index].count++;
        calls_[index].arguments = std::move(arguments);
    }

    // -1 for an unknown name.
    int Count(const char* function) {
        int index = FunctionIndex(function);
        if (index < 0) return -1;
        std::lock_guard<std::mutex> lock(mu_);
        return calls_[index].count;
    }

    // False when nothing was recorded for this argument.
    bool Get(const char* function, int position, Argument* argument) {
        int index = FunctionIndex(function);
        if (index < 0 || position < 0) return false;
        std::lock_guard<std::mutex> lock(mu_);
        const Call& call = calls_[index];
        if (call.count == 0 || static_cast<size_t>(position) >= call.arguments.size()) return false;
        *argument = call.arguments[position];
        return true;
    }

    void Clear() {
        std::lock_guard<std::mutex> lock(mu_);
        for (Call& call : calls_) call = Call();
    }

private:
    std::mutex mu_;
    Call calls_[kFunctionCount];
};

struct Proxy {
    std::string host;
    unsigned short port = 0;
    std::string username;
    std::string password;
};

class Settings {
public:
    void SetProxy(Proxy proxy) {
        std::lock_guard<std::mutex> lock(mu_);
        proxy_ = std::move(proxy);
        has_proxy_ = true;
    }
    void SetEnvironment(const std::string& environment) {
        std::lock_guard<std::mutex> lock(mu_);
        environment_ = environment;
    }
    void SetFactory(live::HttpClientFactory* factory) {
        std::lock_guard<std::mutex> lock(mu_);
        factory_ = factory;
    }
    void Reset() {
        std::lock_guard<std::mutex> lock(mu_);
        proxy_ = Proxy();
        has_proxy_ = false;
        environment_ = "production";
        factory_ = nullptr;
    }

private:
    std::mutex mu_;
    bool has_proxy_ = false;
    Proxy proxy_;
    std::string environment_ = "production";
    live::HttpClientFactory* factory_ = nullptr;
};

// Leaked like the log, for callers that run during static destruction.
Record& TheRecord() {
    static Record* record = new Record;
    return *record;
}

Settings& TheSettings() {
    static Settings* settings = new Settings;
    return *settings;
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

using loopback::Argument;
using loopback::LogLevel;
using loopback::Logf;
using loopback::TheRecord;

bool QVLiveSDK::SetLogPath(const char* path) {
    TheRecord().Add("SetLogPath", {Argument::Text(path)});
    bool ok = path != nullptr && loopback::LogSetDirectory(path);
    Logf(LogLevel::kDebug, "QVLiveSDK::SetLogPath path=%s -> %s", loopback::Quoted(path).c_str(),
         loopback::Bool(ok));
    return ok;
}

void QVLiveSDK::SetLogLevel(int level) {
    TheRecord().Add("SetLogLevel", {Argument::Integer(level)});
    // Logged under whichever of the old and new level lets the line through.
    const bool logged_before = loopback::LogEnabled(LogLevel::kDebug);
    if (logged_before) Logf(LogLevel::kDebug, "QVLiveSDK::SetLogLevel level=%d", level);
    loopback::LogSetLevel(level);
    if (!logged_before) Logf(LogLevel::kDebug, "QVLiveSDK::SetLogLevel level=%d", level);
}

void QVLiveSDK::EnableConsoleLog() {
    TheRecord().Add("EnableConsoleLog", {});
    loopback::LogSetConsole(true);
    Logf(LogLevel::kDebug, "QVLiveSDK::EnableConsoleLog");
}

void QVLiveSDK::DisableConsoleLog() {
    TheRecord().Add("DisableConsoleLog", {});
    Logf(LogLevel::kDebug, "QVLiveSDK::DisableConsoleLog");
    loopback::LogSetConsole(false);
}

void QVLiveSDK::DisableLogCompress(bool disabled) {
    TheRecord().Add("DisableLogCompress", {Argument::Integer(disabled ? 1 : 0)});
    loopback::LogSetCompress(!disabled);
    Logf(LogLevel::kDebug, "QVLiveSDK::DisableLogCompress disabled=%s", loopback::Bool(disabled));
}

void QVLiveSDK::DisableLogFile(bool disabled) {
    TheRecord().Add("DisableLogFile", {Argument::Integer(disabled ? 1 : 0)});
    // Logged while the file is still open (when disabling) or once it is open again.
    if (disabled) Logf(LogLevel::kDebug, "QVLiveSDK::DisableLogFile disabled=true");
    loopback::LogSetFileEnabled(!disabled);
    if (!disabled) Logf(LogLevel::kDebug, "QVLiveSDK::DisableLogFile disabled=false");
}

bool QVLiveSDK::SetSocks5Proxy(const char* ip, unsigned short port, const char* username, const char* password) {
    TheRecord().Add("SetSocks5Proxy", {Argument::Text(ip), Argument::Integer(port), Argument::Text(username),
                                       Argument::Text(password)});
    const bool has_username = loopback::Given(username);
    const bool has_password = loopback::Given(password);
    // RFC 1929 carries each credential in at most 255 bytes.
    const bool credentials_ok = has_username == has_password &&
                                (!has_username || (std::strlen(username) <= 255 && std::strlen(password) <= 255));
    const bool ok = loopback::IsProxyHost(ip) && port != 0 && credentials_ok;
    if (ok) {
        loopback::TheSettings().SetProxy(loopback::Proxy{ip, port, has_username ? username : "",
                                                         has_password ? password : ""});
    }
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
    TheRecord().Add("SetEnvironment", {Argument::Text(env)});
    const bool ok = env != nullptr && (std::strcmp(env, "production") == 0 || std::strcmp(env, "staging") == 0 ||
                                       std::strcmp(env, "test") == 0);
    if (ok) loopback::TheSettings().SetEnvironment(env);
    Logf(LogLevel::kDebug, "QVLiveSDK::SetEnvironment env=%s -> %s", loopback::Quoted(env).c_str(),
         loopback::Bool(ok));
    if (ok) Logf(LogLevel::kInfo, "environment: %s", env);
    return ok;
}

void QVLiveSDK::SetExternalHttpClientFactory(HttpClientFactory* factory) {
    TheRecord().Add("SetExternalHttpClientFactory",
                    {Argument::Integer(static_cast<int64_t>(reinterpret_cast<uintptr_t>(factory)))});
    loopback::TheSettings().SetFactory(factory);
    Logf(LogLevel::kDebug, "QVLiveSDK::SetExternalHttpClientFactory factory=%p", static_cast<void*>(factory));
}

}  // namespace live
}  // namespace velmora

using velmora::loopback::Argument;
using velmora::loopback::TheRecord;

extern "C" {

int vlb_settings_calls(const char* name) {
    int count = TheRecord().Count(name);
    return count < 0 ? VLB_ABSENT : count;
}

int64_t vlb_settings_text(const char* name, int index, char* buffer, size_t capacity) {
    Argument argument;
    if (!TheRecord().Get(name, index, &argument) || argument.kind == Argument::kInteger) return VLB_ABSENT;
    if (argument.kind == Argument::kNullText) return VLB_NULL;
    if (buffer != nullptr) std::memcpy(buffer, argument.text.data(), std::min(capacity, argument.text.size()));
    return static_cast<int64_t>(argument.text.size());
}

int vlb_settings_int(const char* name, int index, int64_t* value) {
    Argument argument;
    if (!TheRecord().Get(name, index, &argument) || argument.kind != Argument::kInteger) return VLB_ABSENT;
    if (value != nullptr) *value = argument.integer;
    return VLB_OK;
}

void vlb_settings_reset(void) {
    TheRecord().Clear();
    velmora::loopback::TheSettings().Reset();
    velmora::loopback::LogReset();
}

int64_t vlb_log_file(char* buffer, size_t capacity) {
    std::string path;
    if (!velmora::loopback::LogCurrentFile(&path)) return VLB_ABSENT;
    if (buffer != nullptr) std::memcpy(buffer, path.data(), std::min(capacity, path.size()));
    return static_cast<int64_t>(path.size());
}

void vlb_log_set_rotation(uint64_t max_bytes, int keep) { velmora::loopback::LogSetRotation(max_bytes, keep); }

void vlb_log_write(int level, const char* text) {
    // Only the four real levels: "off" is a filter, not a level a line can have.
    if (level < VLB_LOG_DEBUG || level > VLB_LOG_ERROR) return;
    velmora::loopback::LogWrite(static_cast<velmora::loopback::LogLevel>(level), text ? text : "(null)");
}

void vlb_log_flush(void) { velmora::loopback::LogFlush(); }

}  // extern "C"
