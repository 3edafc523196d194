#include "dispatcher.h"

#include <cxxabi.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "faults.h"
#include "log.h"

namespace velmora {
namespace loopback {

namespace {

// A plain atomic: engine threads may still read it while the process runs its exit
// handlers, so it must not have a destructor.
std::atomic<bool> g_process_exiting{false};

// Once exit() has begun, static objects of this and other libraries are being destroyed;
// engine threads of sessions nobody destroyed stop delivering instead of racing with that.
void NoteProcessExit() { g_process_exiting.store(true); }

void WriteAll(int fd, const std::string& text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
}

}  // namespace

void ReportCallbackFailure(const char* callback, const char* what) {
    std::string line = std::string("velmora: callback ") + (callback ? callback : "?") + " failed: " +
                       (what ? what : "unknown exception");
    LogWrite(LogLevel::kError, line);
    line += '\n';
    // One write for the whole report, so that reports of several threads never interleave.
    WriteAll(2, line);
}

// Marks the engine thread as inside a delegate call; the mark is undone however the call
// ends, the forced unwinding of a thread exit included.
class Dispatcher::RunningMark {
public:
    explicit RunningMark(Dispatcher* d) : d_(d) {}
    ~RunningMark() {
        {
            std::lock_guard<std::mutex> lock(d_->mu_);
            d_->running_ = false;
        }
        d_->idle_.notify_all();
    }
    RunningMark(const RunningMark&) = delete;
    RunningMark& operator=(const RunningMark&) = delete;

private:
    Dispatcher* d_;
};

// Counts a CallHere in progress and remembers, per thread, which dispatchers the thread is
// inside, so that Stop called from such a callback does not wait for itself.
class Dispatcher::DirectMark {
public:
    explicit DirectMark(Dispatcher* d) : d_(d), prev_(top_) { top_ = this; }
    ~DirectMark() {
        top_ = prev_;
        {
            std::lock_guard<std::mutex> lock(d_->mu_);
            --d_->direct_calls_;
        }
        d_->idle_.notify_all();
    }
    DirectMark(const DirectMark&) = delete;
    DirectMark& operator=(const DirectMark&) = delete;

    static int CountOnThisThread(const Dispatcher* d) {
        int n = 0;
        for (const DirectMark* m = top_; m != nullptr; m = m->prev_) {
            if (m->d_ == d) ++n;
        }
        return n;
    }

private:
    Dispatcher* d_;
    DirectMark* prev_;
    // A plain pointer: trivially destructible, so safe on any thread at any time.
    static thread_local DirectMark* top_;
};

thread_local Dispatcher::DirectMark* Dispatcher::DirectMark::top_ = nullptr;

Dispatcher::Dispatcher(kwix::KWIXCloudDelegate* delegate)
    : delegate_(delegate) {}

std::shared_ptr<Dispatcher> Dispatcher::Start(kwix::KWIXCloudDelegate* delegate) {
    static std::once_flag exit_hook;
    std::call_once(exit_hook, [] { std::atexit(NoteProcessExit); });

    std::shared_ptr<Dispatcher> d(new Dispatcher(delegate));
    if (delegate != nullptr) {
        // The thread shares ownership, so a thread left running by Stop on itself still has
        // its dispatcher after the session is gone.
        std::lock_guard<std::mutex> lock(d->mu_);
        d->thread_ = std::thread([self = d] { self->Loop(); });
        d->thread_id_ = d->thread_.get_id();
    }
    return d;
}

Dispatcher::~Dispatcher() {
    if (thread_.joinable()) {
        // Only reached when Stop was never called; never join the thread running this.
        if (std::this_thread::get_id() == thread_.get_id()) {
            thread_.detach();
        } else {
            {
                std::lock_guard<std::mutex> lock(mu_);
                stopping_ = true;
            }
            wake_.notify_all();
            thread_.join();
        }
    }
}

void Dispatcher::PostEvent(const char* name, Call call) { Post(Item{name, false, std::move(call)}); }

void Dispatcher::PostMedia(const char* name, Call call) { Post(Item{name, true, std::move(call)}); }

Dispatcher::Item Dispatcher::TakeOldestMedia(std::deque<Item>& queue) {
    for (auto it = queue.begin(); it != queue.end(); ++it) {
        if (it->media) {
            Item oldest = std::move(*it);
            queue.erase(it);
            return oldest;
        }
    }
    return Item{};
}

void Dispatcher::Post(Item item) {
    if (delegate_ == nullptr) return;
    // Dropped frames are freed after the lock is released.
    std::vector<Item> evicted;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (stopping_ || thread_gone_) return;
        if (item.media) {
            const size_t limit = faults::MediaQueueLimit();
            if (limit == 0) {
                ++dropped_;
                return;
            }
            while (queued_media_ >= limit) {
                evicted.push_back(TakeOldestMedia(queue_));
                --queued_media_;
                ++dropped_;
            }
            ++queued_media_;
        }
        queue_.push_back(std::move(item));
    }
    wake_.notify_one();
}

void Dispatcher::CallHere(const char* name, const Call& call, bool media) {
    if (delegate_ == nullptr) return;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (stopping_) return;
        ++direct_calls_;
    }
    DirectMark mark(this);
    Invoke(Item{name, media, call});
}

void Dispatcher::Invoke(const Item& item) {
    if (item.media) ++delivered_;
    try {
        item.call(*delegate_);
    } catch (abi::__forced_unwind&) {
        // The thread is being ended (pthread_exit); it must unwind, not be caught here.
        throw;
    } catch (const std::exception& e) {
        ReportCallbackFailure(item.name, e.what());
    } catch (...) {
        ReportCallbackFailure(item.name, "unknown exception");
    }
}

void Dispatcher::Loop() {
    struct GoneMark {
        Dispatcher* d;
        ~GoneMark() {
            {
                std::lock_guard<std::mutex> lock(d->mu_);
                d->thread_gone_ = true;
            }
            d->idle_.notify_all();
        }
    } gone{this};

    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
        if (stopping_ || g_process_exiting.load()) return;
        if (queue_.empty()) {
            wake_.wait(lock);
            continue;
        }

        Item item = std::move(queue_.front());
        queue_.pop_front();
        if (item.media) --queued_media_;
        running_ = true;
        lock.unlock();
        {
            RunningMark mark(this);
            Invoke(item);
        }
        // The item (and the frames it holds) goes before the lock is taken again.
        item = Item{};
        lock.lock();
    }
}

size_t Dispatcher::PushPulledAudio(std::shared_ptr<const kwix::AudioFrame> frame, size_t limit) {
    std::vector<std::shared_ptr<const kwix::AudioFrame>> evicted;  // freed after unlocking
    std::lock_guard<std::mutex> lock(pulled_mu_);
    limit = std::min(limit, faults::MediaQueueLimit());
    if (limit == 0) {
        ++dropped_;
        return 1;
    }
    while (pulled_.size() >= limit) {
        evicted.push_back(std::move(pulled_.front()));
        pulled_.pop_front();
        ++dropped_;
    }
    pulled_.push_back(std::move(frame));
    return evicted.size();
}

std::shared_ptr<const kwix::AudioFrame> Dispatcher::PopPulledAudio() {
    std::lock_guard<std::mutex> lock(pulled_mu_);
    if (pulled_.empty()) return nullptr;
    auto frame = std::move(pulled_.front());
    pulled_.pop_front();
    return frame;
}

void Dispatcher::ClearPulledAudio() {
    std::deque<std::shared_ptr<const kwix::AudioFrame>> old;
    {
        std::lock_guard<std::mutex> lock(pulled_mu_);
        old.swap(pulled_);
    }
}

int Dispatcher::WaitIdle(int timeout_ms) {
    if (delegate_ == nullptr) return 0;
    std::unique_lock<std::mutex> lock(mu_);
    if (std::this_thread::get_id() == thread_id_) return -1;
    const auto idle = [this] { return thread_gone_ || stopping_ || (queue_.empty() && !running_); };
    if (timeout_ms < 0) timeout_ms = 0;
    return idle_.wait_for(lock, std::chrono::milliseconds(timeout_ms), idle) ? 0 : -1;
}

void Dispatcher::Stop() {
    std::deque<Item> discarded;
    {
        std::lock_guard<std::mutex> lock(mu_);
        stopping_ = true;
        discarded.swap(queue_);
        queued_media_ = 0;
    }
    wake_.notify_all();
    idle_.notify_all();
    discarded.clear();

    if (thread_.joinable()) {
        if (OnOwnThread()) {
            // Inside our own callback: the thread ends by itself once that callback returns,
            // keeping this dispatcher alive through its own reference.
            thread_.detach();
        } else {
            thread_.join();
        }
    }

    const int mine = DirectMark::CountOnThisThread(this);
    std::unique_lock<std::mutex> lock(mu_);
    idle_.wait(lock, [&] { return direct_calls_ <= mine; });
}

bool Dispatcher::OnOwnThread() const {
    std::lock_guard<std::mutex> lock(mu_);
    return delegate_ != nullptr && std::this_thread::get_id() == thread_id_;
}

uint64_t Dispatcher::dropped() const { return dropped_.load(); }
uint64_t Dispatcher::delivered() const { return delivered_.load(); }

}  // namespace loopback
}  // namespace velmora
