// The engine's log.
//
// Files, all in the directory given to QVLiveSDK::SetLogPath:
//   velmora.log          the file being written, appended to across runs.
//   velmora.log.<N>.gz   rotated files, gzip-compressed; velmora.log.<N> when compression is
//                        off. N grows by one per rotation (higher is newer) and continues from
//                        the highest N found in the directory when the log is opened, so a
//                        rotated file keeps its name for life and nothing is ever renamed
//                        under a reader's feet.
// Until SetLogPath succeeds no file is written and lines go to the console only (when it is
// on): the engine has no sensible default place to put files in the host's process.
//
// A line reads "2024-05-01T12:34:56.789Z INFO tid=4242 text": UTC time with milliseconds, the
// level, the kernel thread id (what Python's threading.get_native_id() gives) and the text,
// with control characters escaped so that every event is exactly one line.
//
// Rotation happens on the writing thread and is only a rename, so it costs a logging thread
// no more than a few system calls; compressing and pruning old files runs on a worker thread
// that exists only while there is such work, so an idle log owns no thread.

#include "log.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace velmora {
namespace loopback {
namespace {

constexpr const char kFileName[] = "velmora.log";
constexpr uint64_t kDefaultMaxBytes = 8ull << 20;
constexpr int kDefaultKeep = 5;
constexpr int kLevelOff = 4;

const char* LevelName(LogLevel level) {
    switch (level) {
        case LogLevel::kDebug: return "DEBUG";
        case LogLevel::kInfo: return "INFO";
        case LogLevel::kWarning: return "WARNING";
        case LogLevel::kError: return "ERROR";
    }
    return "?";
}

int ThreadId() {
    // The kernel id rather than std::thread::id: it is what debuggers, top and Python show.
    thread_local int id = static_cast<int>(::syscall(SYS_gettid));
    return id;
}

// Writes all of `data` unless the descriptor fails; returns the bytes written.
size_t WriteAll(int fd, const char* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        done += static_cast<size_t>(n);
    }
    return done;
}

std::string FormatLine(LogLevel level, const std::string& text) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    ::gmtime_r(&now.tv_sec, &utc);
    char head[96];
    int head_size = std::snprintf(head, sizeof head, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ %s tid=%d ",
                                  utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                                  utc.tm_sec, now.tv_nsec / 1000000, LevelName(level), ThreadId());
    std::string line(head, head_size > 0 ? static_cast<size_t>(head_size) : 0);
    line.reserve(line.size() + text.size() + 1);
    for (unsigned char c : text) {
        if (c == '\n') {
            line += "\\n";
        } else if (c == '\r') {
            line += "\\r";
        } else if (c < 0x20 && c != '\t') {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            line += escaped;
        } else {
            line += static_cast<char>(c);
        }
    }
    line += '\n';
    return line;
}

// Parses "velmora.log.<N>", "velmora.log.<N>.gz" and "velmora.log.<N>.gz.tmp" into N.
bool RotatedGeneration(const char* name, uint64_t* generation) {
    const size_t prefix = sizeof kFileName;  // the name and its dot
    if (std::strncmp(name, kFileName, prefix - 1) != 0 || name[prefix - 1] != '.') return false;
    const char* digits = name + prefix;
    if (*digits < '0' || *digits > '9') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long n = std::strtoull(digits, &end, 10);
    if (errno != 0) return false;
    if (*end != '\0' && std::strcmp(end, ".gz") != 0 && std::strcmp(end, ".gz.tmp") != 0) return false;
    *generation = n;
    return true;
}

// Every rotated file of the directory by generation.
std::map<uint64_t, std::vector<std::string>> RotatedFiles(const std::string& directory) {
    std::map<uint64_t, std::vector<std::string>> files;
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) return files;
    while (dirent* entry = ::readdir(dir)) {
        uint64_t generation = 0;
        if (RotatedGeneration(entry->d_name, &generation)) {
            files[generation].push_back(directory + "/" + entry->d_name);
        }
    }
    ::closedir(dir);
    return files;
}

// mkdir -p: true when `path` is a directory afterwards.
bool MakeDirectories(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        std::string prefix = path.substr(0, slash);
        if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) return false;
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Compresses `source` into `source`.gz and removes `source`. Goes through a .tmp file so that
// a process ending mid-way leaves the uncompressed file intact rather than a truncated .gz.
bool Compress(const std::string& source, std::string* error) {
    const std::string target = source + ".gz";
    const std::string partial = target + ".tmp";
    int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        *error = "cannot open " + source;
        return false;
    }
    gzFile out = ::gzopen(partial.c_str(), "wb");
    if (out == nullptr) {
        ::close(in);
        *error = "cannot create " + partial;
        return false;
    }
    bool ok = true;
    std::vector<char> chunk(64 * 1024);
    for (;;) {
        ssize_t n = ::read(in, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ok = false;
            *error = "cannot read " + source;
            break;
        }
        if (n == 0) break;
        if (::gzwrite(out, chunk.data(), static_cast<unsigned>(n)) != static_cast<int>(n)) {
            ok = false;
            *error = "cannot write " + partial;
            break;
        }
    }
    ::close(in);
    if (::gzclose(out) != Z_OK && ok) {
        ok = false;
        *error = "cannot finish " + partial;
    }
    if (ok && ::rename(partial.c_str(), target.c_str()) != 0) {
        ok = false;
        *error = "cannot rename " + partial;
    }
    if (!ok) {
        ::unlink(partial.c_str());
        return false;
    }
    ::unlink(source.c_str());
    return true;
}

// Work left by one rotation: prune the directory to `keep` rotated files, then compress
// generation `generation` if it survived.
struct Job {
    std::string directory;
    uint64_t generation;
    bool compress;
    int keep;
};

// Runs jobs on a thread that lives only while there are jobs.
class Worker {
public:
    void Add(Job job) {
        std::lock_guard<std::mutex> lock(mu_);
        jobs_.push_back(std::move(job));
        if (running_) return;
        // A previous thread has finished its last job (running_ is false) and only needs
        // reaping; it no longer touches mu_, so joining here cannot deadlock.
        if (thread_.joinable()) thread_.join();
        running_ = true;
        thread_ = std::thread([this] { Run(); });
    }

    void Wait() {
        std::unique_lock<std::mutex> lock(mu_);
        idle_.wait(lock, [this] { return !running_; });
        if (thread_.joinable()) thread_.join();
    }

private:
    void Run() {
        std::unique_lock<std::mutex> lock(mu_);
        while (!jobs_.empty()) {
            Job job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            Do(job);
            lock.lock();
        }
        running_ = false;
        idle_.notify_all();
    }

    static void Do(const Job& job) {
        auto files = RotatedFiles(job.directory);
        size_t excess = files.size() > static_cast<size_t>(job.keep) ? files.size() - job.keep : 0;
        for (auto it = files.begin(); excess > 0; ++it, --excess) {
            for (const std::string& path : it->second) ::unlink(path.c_str());
        }
        if (!job.compress) return;
        const std::string source = job.directory + "/" + kFileName + "." + std::to_string(job.generation);
        if (::access(source.c_str(), F_OK) != 0) return;  // pruned just now
        std::string error;
        if (!Compress(source, &error)) Logf(LogLevel::kWarning, "log: compression failed: %s", error.c_str());
    }

    std::mutex mu_;
    std::condition_variable idle_;
    std::deque<Job> jobs_;
    bool running_ = false;
    std::thread thread_;
};

class Log {
public:
    bool Enabled(LogLevel level) const {
        return static_cast<int>(level) >= level_.load(std::memory_order_relaxed) &&
               (console_.load(std::memory_order_relaxed) || file_open_.load(std::memory_order_relaxed));
    }

    void Write(LogLevel level, const std::string& text) {
        if (!Enabled(level)) return;
        const std::string line = FormatLine(level, text);
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (fd_ >= 0) {
                if (size_ > 0 && size_ + line.size() > max_bytes_) Rotate();
                if (fd_ >= 0) size_ += WriteAll(fd_, line.data(), line.size());
            }
        }
        // Outside the lock: a stalled stderr pipe must not hold up the file or other threads.
        // One write call per line keeps lines of different threads from interleaving.
        if (console_.load(std::memory_order_relaxed)) WriteAll(STDERR_FILENO, line.data(), line.size());
    }

    bool SetDirectory(const std::string& requested) {
        if (requested.empty() || !MakeDirectories(requested)) return false;
        // Absolute, so that a later chdir of the host does not move the log.
        char* resolved = ::realpath(requested.c_str(), nullptr);
        if (resolved == nullptr) return false;
        std::string directory(resolved);
        std::free(resolved);
        if (::access(directory.c_str(), W_OK | X_OK) != 0) return false;
        std::lock_guard<std::mutex> lock(mu_);
        if (!file_enabled_) {
            if (directory != directory_) next_generation_ = 1;
            directory_ = directory;
            return true;
        }
        int fd = OpenIn(directory);
        if (fd < 0) return false;
        if (directory != directory_) next_generation_ = 1;
        directory_ = directory;
        AdoptFile(fd);
        ContinueNumbering();
        return true;
    }

    void SetLevel(int level) {
        if (level < 0) level = 0;
        if (level > kLevelOff) level = kLevelOff;
        level_.store(level, std::memory_order_relaxed);
    }

    void SetConsole(bool enabled) { console_.store(enabled, std::memory_order_relaxed); }

    void SetCompress(bool enabled) {
        std::lock_guard<std::mutex> lock(mu_);
        compress_ = enabled;
    }

    void SetFileEnabled(bool enabled) {
        std::lock_guard<std::mutex> lock(mu_);
        file_enabled_ = enabled;
        if (!enabled) {
            CloseFile();
        } else if (fd_ < 0 && !directory_.empty()) {
            int fd = OpenIn(directory_);
            if (fd < 0) return;
            AdoptFile(fd);
            ContinueNumbering();
        }
    }

    void SetRotation(uint64_t max_bytes, int keep) {
        std::lock_guard<std::mutex> lock(mu_);
        max_bytes_ = max_bytes;
        keep_ = keep < 0 ? 0 : keep;
    }

    bool CurrentFile(std::string* path) {
        std::lock_guard<std::mutex> lock(mu_);
        if (fd_ < 0) return false;
        *path = directory_ + "/" + kFileName;
        return true;
    }

    void Flush() { worker_.Wait(); }

    void Reset() {
        {
            std::lock_guard<std::mutex> lock(mu_);
            CloseFile();
            directory_.clear();
            next_generation_ = 1;
            compress_ = true;
            file_enabled_ = true;
            max_bytes_ = kDefaultMaxBytes;
            keep_ = kDefaultKeep;
        }
        level_.store(static_cast<int>(LogLevel::kInfo), std::memory_order_relaxed);
        console_.store(false, std::memory_order_relaxed);
        // Leftover compression belongs to the previous configuration; finishing it here means
        // nothing of it touches the disk after a reset.
        worker_.Wait();
    }

private:
    static int OpenIn(const std::string& directory) {
        const std::string path = directory + "/" + kFileName;
        return ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }

    // Caller holds mu_. Replaces the open file, if any, without a moment in which none is
    // open: writers check file_open_ without the lock and would drop their line.
    void AdoptFile(int fd) {
        struct stat st {};
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
        size_ = ::fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
        file_open_.store(true, std::memory_order_relaxed);
    }

    // Caller holds mu_. Continues after files left by earlier runs or other configurations,
    // so that no rotation overwrites an existing file.
    void ContinueNumbering() {
        auto rotated = RotatedFiles(directory_);
        if (!rotated.empty()) next_generation_ = std::max(next_generation_, rotated.rbegin()->first + 1);
    }

    // Caller holds mu_.
    void CloseFile() {
        if (fd_ < 0) return;
        ::close(fd_);
        fd_ = -1;
        size_ = 0;
        file_open_.store(false, std::memory_order_relaxed);
    }

    // Caller holds mu_.
    void Rotate() {
        const std::string active = directory_ + "/" + kFileName;
        const uint64_t generation = next_generation_++;
        const std::string rotated = active + "." + std::to_string(generation);
        if (::rename(active.c_str(), rotated.c_str()) != 0) {
            // Keep writing where we are and try again after another max_bytes, rather than
            // paying a failing rename for every line.
            size_ = 0;
            return;
        }
        int fd = OpenIn(directory_);
        if (fd >= 0) {
            AdoptFile(fd);
        } else {
            CloseFile();
        }
        worker_.Add(Job{directory_, generation, compress_, keep_});
    }

    std::atomic<int> level_{static_cast<int>(LogLevel::kInfo)};
    std::atomic<bool> console_{false};
    std::atomic<bool> file_open_{false};

    std::mutex mu_;  // the members below, except worker_ (which has its own lock)
    std::string directory_;
    int fd_ = -1;
    uint64_t size_ = 0;
    uint64_t next_generation_ = 1;
    bool compress_ = true;
    bool file_enabled_ = true;
    uint64_t max_bytes_ = kDefaultMaxBytes;
    int keep_ = kDefaultKeep;

    Worker worker_;
};

Log& TheLog() {
    // Leaked on purpose: engine threads may still log while static destructors run.
    static Log* log = new Log;
    return *log;
}

}  // namespace

bool LogEnabled(LogLevel level) { return TheLog().Enabled(level); }

void LogWrite(LogLevel level, const std::string& text) { TheLog().Write(level, text); }

void Logf(LogLevel level, const char* format, ...) {
    if (!LogEnabled(level)) return;
    char small[512];
    va_list args;
    va_start(args, format);
    int size = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (size < 0) return;
    if (static_cast<size_t>(size) < sizeof small) {
        LogWrite(level, std::string(small, static_cast<size_t>(size)));
        return;
    }
    std::string text(static_cast<size_t>(size) + 1, '\0');
    va_start(args, format);
    std::vsnprintf(&text[0], text.size(), format, args);
    va_end(args);
    text.resize(static_cast<size_t>(size));
    LogWrite(level, text);
}

bool LogSetDirectory(const std::string& directory) { return TheLog().SetDirectory(directory); }
void LogSetLevel(int level) { TheLog().SetLevel(level); }
void LogSetConsole(bool enabled) { TheLog().SetConsole(enabled); }
void LogSetCompress(bool enabled) { TheLog().SetCompress(enabled); }
void LogSetFileEnabled(bool enabled) { TheLog().SetFileEnabled(enabled); }
void LogSetRotation(uint64_t max_bytes, int keep) { TheLog().SetRotation(max_bytes, keep); }
bool LogCurrentFile(std::string* path) { return TheLog().CurrentFile(path); }
void LogFlush() { TheLog().Flush(); }
void LogReset() { TheLog().Reset(); }

}  // namespace loopback
}  // namespace velmora
