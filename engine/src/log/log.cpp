// The engine's log.
//
// Files, all in the directory given to QVLiveSDK::SetLogPath:
//   velmora.log          the file being written, appended to across runs.
//   velmora.log.<N>.gz   rotated files, gzip-compressed; velmora.log.<N> when compression is
//                        off. N grows by one per rotation (higher is newer) and continues from
//                        the highest N found in the directory, so a rotated file keeps its
//                        name for life and nothing is ever renamed under a reader's feet.
// Until SetLogPath succeeds no file is written and lines go to the console only (when it is
// on): the engine has no sensible default place to put files in the host's process.
//
// A line reads "2024-05-01T12:34:56.789Z INFO tid=4242 text": UTC time with milliseconds, the
// level, the kernel thread id (what Python's threading.get_native_id() gives) and the text,
// with control characters escaped so that every event is exactly one line.
//
// Several processes may log into one directory (a bot and its forked workers, two bots
// started with the same path). Each line is one append to the file (O_APPEND), made while
// holding a shared flock() on the directory after checking that the name velmora.log still
// names the file this process has open; a rotation renames the file under the exclusive lock.
// So a process that finds the file rotated by another reopens the name before writing, no line
// lands in a file that is being compressed, and each rotated file is compressed only by the
// process that renamed it (it checks the inode before reading).
//
// The directory is held open and every file is reached relative to it, so the log keeps
// working when the host changes its working directory. Whatever is found under the log's
// names is opened without following symbolic links and used only when it is a regular file:
// a FIFO or a link planted there is refused, never blocked on or written through. When the
// directory is removed while the log is open, it is made again at the next line; when the file
// cannot be written at all, stderr says so once and the log counts the lines lost, retries at
// most once per retry interval (a second unless set), and records the count in the file when it
// can write again.
//
// Rotation happens on the writing thread and is only a rename, so it costs a logging thread
// no more than a few system calls; compressing and pruning old files runs on a worker thread
// that exists only while there is such work, so an idle log owns no thread.
//
// fork(): the handlers below take the log's locks around the fork, so the child starts with
// them free and its log consistent; the child logs on through a directory description of its
// own (flock belongs to the description) and leaves the parent's pending compression to the
// parent.

#include "log/log.h"
#include "sync/fork.h"
#include "sync/mutex.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
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
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace velmora {
namespace loopback {
namespace {

constexpr const char kFileName[] = "velmora.log";
// The longest name the log ever makes in its directory: the highest generation being
// compressed. The directory's path must leave room for it, or rotation would fail much later.
constexpr const char kLongestName[] = "velmora.log.18446744073709551615.gz.tmp";
constexpr uint64_t kDefaultMaxBytes = 8ull << 20;
constexpr int kDefaultKeep = 5;
constexpr int kLevelOff = 4;
constexpr int64_t kDefaultRetryNanoseconds = 1000000000;

const char* LevelName(LogLevel level) {
    switch (level) {
        case LogLevel::kDebug: return "DEBUG";
        case LogLevel::kInfo: return "INFO";
        case LogLevel::kWarning: return "WARNING";
        case LogLevel::kError: return "ERROR";
    }
    return "?";
}

// Cleared in a forked child, whose one thread has a new kernel id.
thread_local int t_thread_id = 0;

int ThreadId() {
    // The kernel id rather than std::thread::id: it is what debuggers, top and Python show.
    if (t_thread_id == 0) t_thread_id = static_cast<int>(::syscall(SYS_gettid));
    return t_thread_id;
}

int64_t MonotonicNanoseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

std::string ErrorText(int error) { return std::strerror(error); }

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

std::string RotatedName(uint64_t generation) { return std::string(kFileName) + "." + std::to_string(generation); }

// Every rotated file of the directory by generation.
std::map<uint64_t, std::vector<std::string>> RotatedFiles(int dir_fd) {
    std::map<uint64_t, std::vector<std::string>> files;
    int fd = ::openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return files;
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        ::close(fd);
        return files;
    }
    while (dirent* entry = ::readdir(dir)) {
        uint64_t generation = 0;
        if (RotatedGeneration(entry->d_name, &generation)) files[generation].push_back(entry->d_name);
    }
    ::closedir(dir);
    return files;
}

// rename() that never replaces an existing file, where the file system allows it.
int RenameNoReplace(int dir_fd, const char* from, const char* to) {
    if (::renameat2(dir_fd, from, dir_fd, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return -1;
    return ::renameat(dir_fd, from, dir_fd, to);
}

// The directory SetLogPath asked for, resolved before anything is created: an absolute path
// without symbolic links, "." or "..", of which the first `existing` components exist.
struct DirectoryPlan {
    std::vector<std::string> parts;
    size_t existing = 0;

    std::string Prefix(size_t count) const {
        if (count == 0) return "/";
        std::string path;
        for (size_t i = 0; i < count; ++i) path += "/" + parts[i];
        return path;
    }
    std::string Path() const { return Prefix(parts.size()); }
};

std::vector<std::string> Components(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// Resolves `requested` component by component, so that ".." after a folder yet to be made
// cancels it rather than making it, and checks everything that can be checked without
// creating anything. False with the reason otherwise.
bool PlanDirectory(const std::string& requested, DirectoryPlan* plan, std::string* why) {
    if (requested.empty()) {
        *why = "the path is empty";
        return false;
    }
    std::vector<std::string>& parts = plan->parts;
    if (requested[0] != '/') {
        char* cwd = ::getcwd(nullptr, 0);
        if (cwd == nullptr) {
            *why = "the working directory is unknown (" + ErrorText(errno) + ")";
            return false;
        }
        parts = Components(cwd);
        std::free(cwd);
        plan->existing = parts.size();
    }
    for (const std::string& name : Components(requested)) {
        if (name == ".") continue;
        if (name == "..") {
            if (!parts.empty()) parts.pop_back();
            plan->existing = std::min(plan->existing, parts.size());
            continue;
        }
        if (name.size() > NAME_MAX) {
            *why = "a folder name is longer than " + std::to_string(NAME_MAX) + " bytes";
            return false;
        }
        if (plan->existing < parts.size()) {  // below a folder yet to be made
            parts.push_back(name);
            continue;
        }
        const std::string candidate = (parts.empty() ? "" : plan->Path()) + "/" + name;
        struct stat st {};
        if (::lstat(candidate.c_str(), &st) != 0) {
            if (errno == ENOENT) {
                parts.push_back(name);
                continue;
            }
            *why = candidate + ": " + ErrorText(errno);
            return false;
        }
        const bool link = S_ISLNK(st.st_mode);
        if (link) {
            char* target = ::realpath(candidate.c_str(), nullptr);
            if (target == nullptr) {
                *why = candidate + ": " + ErrorText(errno);
                return false;
            }
            parts = Components(target);
            std::free(target);
            if (::stat(plan->Path().c_str(), &st) != 0) {
                *why = candidate + ": " + ErrorText(errno);
                return false;
            }
        }
        if (!S_ISDIR(st.st_mode)) {
            *why = candidate + " is not a folder";
            return false;
        }
        if (!link) parts.push_back(name);
        plan->existing = parts.size();
    }
    const std::string path = plan->Path();
    if (path.size() + 1 + std::strlen(kLongestName) >= PATH_MAX) {
        *why = "the folder's absolute path is " + std::to_string(path.size()) + " bytes; rotated log files need it below " +
               std::to_string(PATH_MAX - 1 - std::strlen(kLongestName));
        return false;
    }
    // The deepest existing folder is where the first new folder, or the log file, is made.
    const std::string base = plan->Prefix(plan->existing);
    if (::faccessat(AT_FDCWD, base.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        *why = base + ": " + ErrorText(errno);
        return false;
    }
    return true;
}

void RemoveCreated(const std::vector<std::string>& created) {
    for (auto it = created.rbegin(); it != created.rend(); ++it) ::rmdir(it->c_str());
}

// mkdir for the missing folders of `plan`; on failure removes what it made.
bool CreateMissing(const DirectoryPlan& plan, std::vector<std::string>* created, std::string* why) {
    for (size_t i = plan.existing; i < plan.parts.size(); ++i) {
        const std::string path = plan.Prefix(i + 1);
        if (::mkdir(path.c_str(), 0755) == 0) {
            created->push_back(path);
            continue;
        }
        const int error = errno;
        struct stat st {};
        if (error == EEXIST && ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;  // made meanwhile
        *why = path + ": " + ErrorText(error);
        RemoveCreated(*created);
        created->clear();
        return false;
    }
    return true;
}

int OpenDirectory(const std::string& path, std::string* why) {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) *why = path + ": " + ErrorText(errno);
    return fd;
}

// Opens the log file for appending, creating it. Refuses anything but a regular file without
// blocking: a FIFO without a reader fails to open (ENXIO), one with a reader fails the check.
// On failure `*error` is the errno (ENOENT: the directory itself is gone).
int OpenLogFile(int dir_fd, struct stat* st, std::string* why, int* error) {
    int fd = ::openat(dir_fd, kFileName, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY,
                      0644);
    if (fd < 0) {
        *error = errno;
        if (*error == ELOOP) {
            *why = std::string(kFileName) + " is a symbolic link";
        } else if (*error == ENXIO) {
            *why = std::string(kFileName) + " is a FIFO or a device";
        } else {
            *why = std::string(kFileName) + ": " + ErrorText(*error);
        }
        return -1;
    }
    if (::fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
        ::close(fd);
        *error = EINVAL;
        *why = std::string(kFileName) + " is not a regular file";
        return -1;
    }
    return fd;
}

// Work left by one rotation: prune the directory to `keep` rotated files, then compress
// generation `generation` if it survived and is still the file this process renamed.
struct Job {
    int dir_fd;  // owned
    uint64_t generation;
    dev_t device;
    ino_t inode;
    bool compress;
    int keep;
};

// Compresses the job's file into <name>.gz and removes it. Goes through a .tmp file so that a
// process ending mid-way leaves the uncompressed file intact rather than a truncated .gz. A
// file pruned meanwhile, or that is not the one rotated (another process's), is left alone.
bool Compress(const Job& job, std::string* error) {
    const std::string source = RotatedName(job.generation);
    const std::string target = source + ".gz";
    const std::string partial = target + ".tmp";
    int in = ::openat(job.dir_fd, source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (in < 0) {
        if (errno == ENOENT) return true;
        *error = "cannot open " + source + ": " + ErrorText(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != job.device || st.st_ino != job.inode) {
        ::close(in);
        return true;
    }
    // O_EXCL: should a generation ever be compressed twice, the second stays out of the way.
    int out_fd = ::openat(job.dir_fd, partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (out_fd < 0) {
        *error = "cannot create " + partial + ": " + ErrorText(errno);
        ::close(in);
        return false;
    }
    gzFile out = ::gzdopen(out_fd, "wb");
    if (out == nullptr) {
        ::close(out_fd);
        ::close(in);
        ::unlinkat(job.dir_fd, partial.c_str(), 0);
        *error = "cannot start compressing " + source;
        return false;
    }
    bool ok = true;
    std::vector<char> chunk(64 * 1024);
    for (;;) {
        ssize_t n = ::read(in, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ok = false;
            *error = "cannot read " + source + ": " + ErrorText(errno);
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
    if (!ok) {
        ::unlinkat(job.dir_fd, partial.c_str(), 0);
        return false;
    }
    if (RenameNoReplace(job.dir_fd, partial.c_str(), target.c_str()) != 0) {
        if (errno == ENOENT) return true;  // pruned by another process meanwhile
        *error = "cannot rename " + partial + ": " + ErrorText(errno);
        ::unlinkat(job.dir_fd, partial.c_str(), 0);
        return false;
    }
    ::unlinkat(job.dir_fd, source.c_str(), 0);
    return true;
}

class Log;

// Runs jobs on a thread that lives only while there are jobs.
class Worker {
public:
    void Add(Job job) {
        MutexLock lock(mu_);
        jobs_.push_back(job);
        if (running_) return;
        // A previous thread has finished its last job (running_ is false) and only needs
        // reaping; it no longer touches mu_, so joining here cannot deadlock.
        if (thread_ && thread_->joinable()) thread_->join();
        running_ = true;
        thread_.reset(new std::thread([this] { Run(); }));
    }

    void Wait() {
        MutexLock lock(mu_);
        while (running_) idle_->Wait(mu_);
        if (thread_ && thread_->joinable()) thread_->join();
    }

    void BeforeFork() ACQUIRE(mu_) { mu_.Lock(); }
    void AfterForkInParent() RELEASE(mu_) { mu_.Unlock(); }
    void AfterForkInChild() RELEASE(mu_) {
        // The thread and its jobs are the parent's. Joining or detaching an id that names no
        // thread here would fail, and the condition variable may count waiters that exist only
        // in the parent: both are left behind (a few bytes), and fresh ones take their place.
        (void)thread_.release();
        (void)idle_.release();
        idle_.reset(new CondVar);
        for (const Job& job : jobs_) ::close(job.dir_fd);
        jobs_.clear();
        running_ = false;
        mu_.Unlock();
    }

private:
    friend class Log;  // which takes mu_ with its own before a fork

    void Run() EXCLUDES(mu_) {
        MutexLock lock(mu_);
        while (!jobs_.empty()) {
            Job job = jobs_.front();
            jobs_.pop_front();
            lock.Unlock();
            Do(job);
            ::close(job.dir_fd);
            lock.Lock();
        }
        running_ = false;
        idle_->NotifyAll();
    }

    static void Do(const Job& job) {
        auto files = RotatedFiles(job.dir_fd);
        size_t excess = files.size() > static_cast<size_t>(job.keep) ? files.size() - job.keep : 0;
        for (auto it = files.begin(); excess > 0; ++it, --excess) {
            for (const std::string& name : it->second) ::unlinkat(job.dir_fd, name.c_str(), 0);
        }
        if (!job.compress || job.keep == 0) return;
        std::string error;
        if (!Compress(job, &error)) Logf(LogLevel::kWarning, "log: compression failed: %s", error.c_str());
    }

    Mutex mu_;
    std::unique_ptr<CondVar> idle_ GUARDED_BY(mu_){new CondVar};
    std::deque<Job> jobs_ GUARDED_BY(mu_);
    bool running_ GUARDED_BY(mu_) = false;
    std::unique_ptr<std::thread> thread_ GUARDED_BY(mu_);
};

// flock() on the log directory: shared while a line is appended, exclusive while the file is
// renamed. Within a process mu_ serialises instead: the lock belongs to the open description,
// which the threads share.
class DirectoryLock {
public:
    explicit DirectoryLock(int fd) : fd_(fd) { Take(LOCK_SH); }
    ~DirectoryLock() { Release(); }
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;

    // Converting is not atomic: another process may take the lock in between, so callers
    // look at the file again after each change.
    void Take(int mode) {
        if (fd_ < 0) return;
        while (::flock(fd_, mode) != 0 && errno == EINTR) {
        }
    }
    void Release() {
        if (fd_ >= 0) ::flock(fd_, LOCK_UN);
    }
    void Retarget(int fd) {
        Release();
        fd_ = fd;
        Take(LOCK_SH);
    }

private:
    int fd_;
};

class Log {
public:
    bool Enabled(LogLevel level) const {
        // Errors are what a user must act on (a refused EnterRoom, a failed callback): they
        // reach stderr even without a log file or the console log.
        return static_cast<int>(level) >= level_.load(std::memory_order_relaxed) &&
               (level == LogLevel::kError || console_.load(std::memory_order_relaxed) ||
                file_open_.load(std::memory_order_relaxed));
    }

    void Write(LogLevel level, const std::string& text) {
        if (!Enabled(level)) return;
        const std::string line = FormatLine(level, text);
        std::string notice;
        {
            MutexLock lock(mu_);
            if (file_open_.load(std::memory_order_relaxed)) AppendLine(line, &notice);
        }
        // Outside the lock: a stalled stderr pipe must not hold up the file or other threads.
        // One write call per line keeps lines of different threads from interleaving.
        if (!notice.empty()) WriteAll(STDERR_FILENO, notice.data(), notice.size());
        if (console_.load(std::memory_order_relaxed)) {
            WriteAll(STDERR_FILENO, line.data(), line.size());
        } else if (level == LogLevel::kError) {
            const std::string report = "velmora: " + text + "\n";
            WriteAll(STDERR_FILENO, report.data(), report.size());
        }
    }

    bool SetDirectory(const std::string& requested) {
        std::string why;
        if (Attach(requested, &why)) return true;
        Logf(LogLevel::kWarning, "log: SetLogPath(\"%s\") refused: %s", requested.c_str(), why.c_str());
        return false;
    }

    void SetLevel(int level) {
        if (level < 0) level = 0;
        if (level > kLevelOff) level = kLevelOff;
        level_.store(level, std::memory_order_relaxed);
    }

    void SetConsole(bool enabled) { console_.store(enabled, std::memory_order_relaxed); }

    void SetCompress(bool enabled) {
        MutexLock lock(mu_);
        compress_ = enabled;
    }

    // The file itself is opened by the next line, which reports on stderr if it cannot be.
    void SetFileEnabled(bool enabled) {
        MutexLock lock(mu_);
        file_enabled_ = enabled;
        if (!enabled) CloseFile();
        file_open_.store(enabled && dir_fd_ >= 0, std::memory_order_relaxed);
    }

    void SetRotation(uint64_t max_bytes, int keep) {
        MutexLock lock(mu_);
        max_bytes_ = max_bytes;
        keep_ = keep < 0 ? 0 : keep;
    }

    // A shorter interval also brings a retry already pending forward.
    void SetRetryInterval(int64_t nanoseconds) {
        MutexLock lock(mu_);
        retry_nanoseconds_ = nanoseconds;
        if (failing_) retry_at_ = std::min(retry_at_, MonotonicNanoseconds() + nanoseconds);
    }

    bool CurrentFile(std::string* path) {
        MutexLock lock(mu_);
        if (!file_open_.load(std::memory_order_relaxed)) return false;
        *path = directory_ + "/" + kFileName;
        return true;
    }

    void Flush() { worker_.Wait(); }

    void Reset() {
        {
            MutexLock lock(mu_);
            Detach();
            directory_.clear();
            next_generation_ = 1;
            compress_ = true;
            file_enabled_ = true;
            max_bytes_ = kDefaultMaxBytes;
            keep_ = kDefaultKeep;
            retry_nanoseconds_ = kDefaultRetryNanoseconds;
        }
        level_.store(static_cast<int>(LogLevel::kInfo), std::memory_order_relaxed);
        console_.store(false, std::memory_order_relaxed);
        // Leftover compression belongs to the previous configuration; finishing it here means
        // nothing of it touches the disk after a reset.
        worker_.Wait();
    }

    // fork(): both locks are held across it, in their order (mu_ first, as Rotate takes them).
    void BeforeFork() ACQUIRE(mu_, worker_.mu_) {
        mu_.Lock();
        worker_.BeforeFork();
    }
    void AfterForkInParent() RELEASE(mu_, worker_.mu_) {
        worker_.AfterForkInParent();
        mu_.Unlock();
    }
    void AfterForkInChild() RELEASE(mu_, worker_.mu_) {
        worker_.AfterForkInChild();
        t_thread_id = 0;
        if (dir_fd_ >= 0) {
            // A description of its own, so that the child's directory locks and the parent's
            // exclude each other instead of being one and the same lock.
            int fd = ::openat(dir_fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            ::close(dir_fd_);
            dir_fd_ = fd;  // -1 makes the next line find the directory again by its path
        }
        mu_.Unlock();
    }

private:
    bool Attach(const std::string& requested, std::string* why) {
        DirectoryPlan plan;
        if (!PlanDirectory(requested, &plan, why)) return false;
        std::vector<std::string> created;
        if (!CreateMissing(plan, &created, why)) return false;
        const std::string directory = plan.Path();
        const int dir_fd = OpenDirectory(directory, why);
        if (dir_fd < 0) {
            RemoveCreated(created);
            return false;
        }
        MutexLock lock(mu_);
        int fd = -1;
        struct stat st {};
        if (file_enabled_) {
            int error = 0;
            fd = OpenLogFile(dir_fd, &st, why, &error);
            if (fd < 0) {
                ::close(dir_fd);
                RemoveCreated(created);
                return false;
            }
        }
        // The old file stays open until here: writers check file_open_ without the lock and
        // would drop their line in a moment with none.
        if (directory != directory_) next_generation_ = 1;
        Detach();
        directory_ = directory;
        dir_fd_ = dir_fd;
        if (fd >= 0) Adopt(fd, st);
        file_open_.store(file_enabled_, std::memory_order_relaxed);
        return true;
    }

    // Caller holds mu_ and file_open_ is set. `notice` receives a line for stderr when the file
    // stops being writable.
    void AppendLine(const std::string& line, std::string* notice) REQUIRES(mu_) {
        if (failing_ && MonotonicNanoseconds() < retry_at_) {
            ++lost_;
            return;
        }
        DirectoryLock lock(dir_fd_);
        for (int attempt = 0; attempt < 6; ++attempt) {
            struct stat st {};
            const bool current = fd_ >= 0 && ::fstatat(dir_fd_, kFileName, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                                 st.st_dev == device_ && st.st_ino == inode_;
            if (!current) {
                // Rotated by another process, removed, or replaced: follow the name.
                std::string why;
                if (!Reopen(&lock, &why)) {
                    Fail(why, notice);
                    return;
                }
                continue;
            }
            if (!RotationDue(static_cast<uint64_t>(st.st_size), line.size())) break;
            lock.Take(LOCK_EX);
            Rotate(line.size());
            lock.Take(LOCK_SH);
        }
        if (fd_ < 0) {
            Fail("it could not be opened", notice);
            return;
        }
        if (lost_ > 0) {
            const std::string report = FormatLine(LogLevel::kWarning, "log: " + std::to_string(lost_) +
                                                                          " line(s) lost while this file could not be written");
            WriteAll(fd_, report.data(), report.size());
        }
        if (WriteAll(fd_, line.data(), line.size()) != line.size()) {
            Fail(ErrorText(errno), notice);
            return;
        }
        failing_ = false;
        lost_ = 0;
    }

    bool RotationDue(uint64_t size, size_t incoming) const REQUIRES(mu_) {
        return size > 0 && size + incoming > max_bytes_ && size >= rotate_after_;
    }

    // Caller holds mu_ and the directory lock (shared).
    bool Reopen(DirectoryLock* lock, std::string* why) REQUIRES(mu_) {
        CloseFile();
        int error = ENOENT;
        struct stat st {};
        int fd = dir_fd_ >= 0 ? OpenLogFile(dir_fd_, &st, why, &error) : -1;
        if (fd < 0 && error == ENOENT) {
            // The directory was removed under the log: make it again where it was.
            if (!Reattach(lock, why)) return false;
            fd = OpenLogFile(dir_fd_, &st, why, &error);
        }
        if (fd < 0) return false;
        Adopt(fd, st);
        return true;
    }

    // Caller holds mu_ and the directory lock (shared), which moves to the new directory.
    bool Reattach(DirectoryLock* lock, std::string* why) REQUIRES(mu_) {
        DirectoryPlan plan;
        if (!PlanDirectory(directory_, &plan, why)) return false;
        std::vector<std::string> created;
        if (!CreateMissing(plan, &created, why)) return false;
        const int dir_fd = OpenDirectory(plan.Path(), why);
        if (dir_fd < 0) {
            RemoveCreated(created);
            return false;
        }
        lock->Release();
        if (dir_fd_ >= 0) ::close(dir_fd_);
        dir_fd_ = dir_fd;
        lock->Retarget(dir_fd_);
        return true;
    }

    // Caller holds mu_ and the directory lock (exclusive). Rotates unless another process did
    // so since the caller looked; the caller's next look then reopens the name.
    void Rotate(size_t incoming) REQUIRES(mu_) {
        struct stat st {};
        if (::fstatat(dir_fd_, kFileName, &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_dev != device_ ||
            st.st_ino != inode_ || !RotationDue(static_cast<uint64_t>(st.st_size), incoming)) {
            return;
        }
        auto rotated = RotatedFiles(dir_fd_);
        if (!rotated.empty()) next_generation_ = std::max(next_generation_, rotated.rbegin()->first + 1);
        uint64_t generation = next_generation_++;
        int renamed = RenameNoReplace(dir_fd_, kFileName, RotatedName(generation).c_str());
        // A name taken meanwhile (by something other than a log of ours): the next one.
        for (int retry = 0; renamed != 0 && errno == EEXIST && retry < 8; ++retry) {
            generation = next_generation_++;
            renamed = RenameNoReplace(dir_fd_, kFileName, RotatedName(generation).c_str());
        }
        if (renamed != 0) {
            // Keep writing where we are and try again after another max_bytes, rather than
            // paying a failing rename for every line.
            rotate_after_ = static_cast<uint64_t>(st.st_size) + max_bytes_;
            const std::string warning = FormatLine(LogLevel::kWarning, "log: cannot rotate: " + ErrorText(errno));
            WriteAll(fd_, warning.data(), warning.size());
            return;
        }
        CloseFile();
        const int job_fd = ::fcntl(dir_fd_, F_DUPFD_CLOEXEC, 0);
        if (job_fd >= 0) worker_.Add(Job{job_fd, generation, st.st_dev, st.st_ino, compress_, keep_});
    }

    void Fail(const std::string& why, std::string* notice) REQUIRES(mu_) {
        ++lost_;
        retry_at_ = MonotonicNanoseconds() + retry_nanoseconds_;
        if (failing_) return;
        failing_ = true;
        *notice = FormatLine(LogLevel::kWarning, "log: cannot write " + directory_ + "/" + kFileName + " (" + why +
                                                     "); lines are lost until it can be written again");
    }

    void Adopt(int fd, const struct stat& st) REQUIRES(mu_) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
        device_ = st.st_dev;
        inode_ = st.st_ino;
        rotate_after_ = 0;
    }

    void CloseFile() REQUIRES(mu_) {
        if (fd_ < 0) return;
        ::close(fd_);
        fd_ = -1;
    }

    void Detach() REQUIRES(mu_) {
        CloseFile();
        if (dir_fd_ >= 0) ::close(dir_fd_);
        dir_fd_ = -1;
        failing_ = false;
        lost_ = 0;
        file_open_.store(false, std::memory_order_relaxed);
    }

    std::atomic<int> level_{static_cast<int>(LogLevel::kInfo)};
    std::atomic<bool> console_{false};
    std::atomic<bool> file_open_{false};  // a directory is set and the file enabled

    // Lock order: mu_ before the worker's lock. Every other engine lock may be held while
    // logging: nothing here takes one, and the log comes last before a fork (sync/fork.h).
    Mutex mu_;
    std::string directory_ GUARDED_BY(mu_);
    int dir_fd_ GUARDED_BY(mu_) = -1;
    int fd_ GUARDED_BY(mu_) = -1;
    dev_t device_ GUARDED_BY(mu_) = 0;
    ino_t inode_ GUARDED_BY(mu_) = 0;
    uint64_t rotate_after_ GUARDED_BY(mu_) = 0;  // no rotation below this size, after one failed
    uint64_t next_generation_ GUARDED_BY(mu_) = 1;
    bool compress_ GUARDED_BY(mu_) = true;
    bool file_enabled_ GUARDED_BY(mu_) = true;
    uint64_t max_bytes_ GUARDED_BY(mu_) = kDefaultMaxBytes;
    int keep_ GUARDED_BY(mu_) = kDefaultKeep;
    bool failing_ GUARDED_BY(mu_) = false;
    uint64_t lost_ GUARDED_BY(mu_) = 0;
    int64_t retry_at_ GUARDED_BY(mu_) = 0;
    int64_t retry_nanoseconds_ GUARDED_BY(mu_) = kDefaultRetryNanoseconds;

    Worker worker_;
};

Log& TheLog() {
    // Leaked on purpose: engine threads may still log while static destructors run.
    static Log* log = [] {
        Log* created = new Log;
        ForkHandlersOf<Log, &TheLog>::Register(ForkStage::kLog);
        return created;
    }();
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
void LogSetRetryInterval(int64_t milliseconds) { TheLog().SetRetryInterval(milliseconds * 1000000); }
bool LogCurrentFile(std::string* path) { return TheLog().CurrentFile(path); }
void LogFlush() { TheLog().Flush(); }
void LogReset() { TheLog().Reset(); }

}  // namespace loopback
}  // namespace velmora
