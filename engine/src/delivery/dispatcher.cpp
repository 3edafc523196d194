#include "delivery/dispatcher.h"

#include <cxxabi.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "delivery/delivery_pool.h"
#include "faults/faults.h"
#include "log/log.h"
#include "sync/fork.h"
#include "sync/mutex.h"

namespace velmora {
namespace loopback {

namespace {

// A plain atomic: engine threads may still read it while the process runs its exit
// handlers, so it must not have a destructor.
std::atomic<bool> g_process_exiting{false};

// Once exit() has begun, static objects of this and other libraries are being destroyed;
// dispatchers of sessions nobody destroyed stop delivering instead of racing with that.
void NoteProcessExit() { g_process_exiting.store(true); }

}  // namespace

void ReportCallbackFailure(const char* callback, const char* what) {
    const std::string name = callback ? callback : "?";
    const std::string error = what ? what : "unknown exception";
    std::string line = "callback " + name + " failed: " + error;
    if (error.find("pure virtual function") != std::string::npos) {
        // The delegate does not define this callback: say how to quiet it for good.
        line += " (the delegate does not define " + name + ": define it, or derive the delegate from one "
                "that accepts every callback, in Python velmora.QuietDelegate)";
    }
    // An error line reaches stderr as "velmora: callback ... failed: ..." even with the
    // console log off, in one write, so that reports of several threads never interleave.
    LogWrite(LogLevel::kError, line);
}

// Marks a worker as inside a queued callback; the mark is undone however the call ends,
// the forced unwinding of a thread exit included.
class Dispatcher::RunningMark {
public:
    explicit RunningMark(Dispatcher* d) : d_(d) {}
    ~RunningMark() {
        {
            MutexLock lock(d_->mu_);
            d_->running_on_ = std::thread::id();
        }
        d_->idle_.NotifyAll();
    }
    RunningMark(const RunningMark&) = delete;
    RunningMark& operator=(const RunningMark&) = delete;

private:
    Dispatcher* d_;
};

// A CallHere in progress, by the thread that makes it; the mark is undone however the call
// ends.
class Dispatcher::DirectMark {
public:
    explicit DirectMark(Dispatcher* d) : d_(d) {}
    ~DirectMark() {
        {
            MutexLock lock(d_->mu_);
            auto& threads = d_->direct_threads_;
            auto it = std::find(threads.begin(), threads.end(), std::this_thread::get_id());
            if (it != threads.end()) threads.erase(it);
        }
        d_->idle_.NotifyAll();
    }
    DirectMark(const DirectMark&) = delete;
    DirectMark& operator=(const DirectMark&) = delete;

private:
    Dispatcher* d_;
};

// Which thread waits in Stop for which other threads. A bot that "shuts everything down" from
// a callback makes engine threads close each other's sessions at the same moment; each would
// wait for the other's thread to end, for ever. Stop asks here first and does not wait where
// waiting would close such a cycle. Leaked, like the other registries; no lock is taken and
// nothing is logged while its own lock is held.
class StopWaits {
public:
    static StopWaits& Instance() {
        static StopWaits* waits = [] {
            auto* created = new StopWaits;
            ForkHandlersOf<StopWaits, &StopWaits::Instance>::Register(ForkStage::kStopWaits);
            return created;
        }();
        return *waits;
    }

    // Records that `waiter` is about to wait for `awaited`. False, recording nothing, when
    // `awaited` already waits, directly or through other threads, for `waiter`.
    bool Begin(std::thread::id waiter, std::thread::id awaited) EXCLUDES(mu_) {
        MutexLock lock(mu_);
        if (ReachesLocked(awaited, waiter)) return false;
        edges_.emplace(waiter, awaited);
        return true;
    }

    void End(std::thread::id waiter, std::thread::id awaited) EXCLUDES(mu_) {
        MutexLock lock(mu_);
        auto range = edges_.equal_range(waiter);
        for (auto it = range.first; it != range.second; ++it) {
            if (it->second == awaited) {
                edges_.erase(it);
                return;
            }
        }
    }

private:
    friend class ForkHandlersOf<StopWaits, &StopWaits::Instance>;

    // A lock held by another thread at fork() would stay held in the child for ever; the
    // waits themselves belong to the parent's threads.
    void BeforeFork() ACQUIRE(mu_) { mu_.Lock(); }
    void AfterForkInParent() RELEASE(mu_) { mu_.Unlock(); }
    void AfterForkInChild() RELEASE(mu_) {
        edges_.clear();
        mu_.Unlock();
    }

    bool ReachesLocked(std::thread::id from, std::thread::id to) const REQUIRES(mu_) {
        std::vector<std::thread::id> pending{from};
        std::set<std::thread::id> seen{from};
        while (!pending.empty()) {
            const std::thread::id at = pending.back();
            pending.pop_back();
            if (at == to) return true;
            auto range = edges_.equal_range(at);
            for (auto it = range.first; it != range.second; ++it) {
                if (seen.insert(it->second).second) pending.push_back(it->second);
            }
        }
        return false;
    }

    Mutex mu_;
    std::multimap<std::thread::id, std::thread::id> edges_ GUARDED_BY(mu_);  // waiter -> awaited
};

Dispatcher::Dispatcher(kwix::KWIXCloudDelegate* delegate, std::shared_ptr<DeliveryTally> tally)
    : delegate_(delegate), tally_(std::move(tally)) {}

constexpr size_t Dispatcher::kChargePerCallback;
constexpr int Dispatcher::kBatchItems;
constexpr std::chrono::microseconds Dispatcher::kBatchTime;

std::shared_ptr<Dispatcher> Dispatcher::Start(kwix::KWIXCloudDelegate* delegate,
                                              std::shared_ptr<DeliveryTally> tally) {
    static std::once_flag exit_hook;
    std::call_once(exit_hook, [] { std::atexit(NoteProcessExit); });
    return std::shared_ptr<Dispatcher>(new Dispatcher(delegate, std::move(tally)));
}

std::chrono::steady_clock::time_point Dispatcher::WaitBegan(const Item& item) {
    const auto since = item.parcel.since;
    return since != std::chrono::steady_clock::time_point() && since < item.posted ? since : item.posted;
}

void Dispatcher::NoteOldestLocked() {
    if (!tally_) return;
    int64_t since = 0;
    if (!media_.empty() && media_.front().parcel.expires) {
        since = std::chrono::duration_cast<std::chrono::nanoseconds>(media_.front().posted.time_since_epoch()).count();
    }
    tally_->oldest_waiting_ns.store(since, std::memory_order_relaxed);
}

void Dispatcher::DropOldestMediaLocked(std::vector<Item>* dropped) {
    Item& oldest = media_.front();
    queued_bytes_ -= oldest.parcel.bytes + kChargePerCallback;
    dropped->push_back(std::move(oldest));
    media_.pop_front();
    ++dropped_;
    NoteOldestLocked();
}

void Dispatcher::LoseReliableLocked(Parcel& parcel, std::vector<Item>* dropped) {
    ++reliable_lost_;
    const std::string sender = parcel.sender ? *parcel.sender : std::string();
    auto it = notices_.find(sender);
    if (it != notices_.end() && it->second->cmd_id == parcel.cmd_id && it->second->missed < UINT32_MAX) {
        ++it->second->missed;
    } else {
        auto notice = std::make_shared<MissNotice>(MissNotice{parcel.sender, parcel.cmd_id, 1});
        notices_[sender] = notice;
        // A notice is small and stands for at least one command that did fit before it, so
        // notices never hold more than the bound itself.
        queued_bytes_ += kChargePerCallback;
        events_.push_back(Item(Parcel("OnMissCustomCmdMsg", Kind::kEvent, nullptr), next_seq_++, std::move(notice)));
    }
    dropped->push_back(Item(std::move(parcel)));
}

bool Dispatcher::AdmitLocked(Parcel& parcel, std::chrono::steady_clock::time_point now,
                             std::vector<Item>* dropped) {
    const size_t cost = parcel.bytes + kChargePerCallback;
    const size_t bound = faults::ReceiverQueueBytes();
    const bool media = parcel.kind == Kind::kMedia;
    if (media) {
        const size_t limit = faults::MediaQueueLimit();
        if (limit == 0) {
            ++dropped_;
            dropped->push_back(Item(std::move(parcel)));
            return false;
        }
        while (media_.size() >= limit) DropOldestMediaLocked(dropped);
    }
    while (queued_bytes_ + cost > bound && !media_.empty()) DropOldestMediaLocked(dropped);
    if (queued_bytes_ + cost > bound) {
        switch (parcel.kind) {
            case Kind::kEvent:
                break;
            case Kind::kMedia:
                ++dropped_;
                dropped->push_back(Item(std::move(parcel)));
                return false;
            case Kind::kUnreliable:
                ++unreliable_dropped_;
                dropped->push_back(Item(std::move(parcel)));
                return false;
            case Kind::kReliableCommand:
                LoseReliableLocked(parcel, dropped);
                return true;
        }
    }
    if (parcel.kind == Kind::kReliableCommand) {
        // Later losses of this sender are told after this command, not before it.
        notices_.erase(parcel.sender ? *parcel.sender : std::string());
    }
    queued_bytes_ += cost;
    const bool expires = parcel.expires;
    std::deque<Item>& queue = media ? media_ : events_;
    queue.push_back(Item(std::move(parcel), next_seq_++));
    if (expires) queue.back().posted = now;
    if (media && media_.size() == 1) NoteOldestLocked();
    return true;
}

void Dispatcher::Post(Parcel parcel) {
    if (delegate_ == nullptr) return;
    std::vector<Item> dropped;  // freed after the lock is released
    bool schedule = false;
    {
        MutexLock lock(mu_);
        if (stopping_ || gone_) return;
        if (!AdmitLocked(parcel, std::chrono::steady_clock::now(), &dropped)) return;
        // Queued once: a worker that runs this dispatcher takes what is posted meanwhile.
        schedule = !scheduled_;
        scheduled_ = true;
    }
    if (schedule) DeliveryPool::Instance().Schedule(shared_from_this());
}

void Dispatcher::PostAll(std::vector<Parcel>& parcels) {
    if (delegate_ == nullptr) {
        parcels.clear();
        return;
    }
    std::vector<Item> dropped;
    bool schedule = false;
    {
        MutexLock lock(mu_);
        if (!stopping_ && !gone_) {
            bool queued = false;
            const auto now = std::chrono::steady_clock::now();
            for (Parcel& parcel : parcels) queued = AdmitLocked(parcel, now, &dropped) || queued;
            schedule = queued && !scheduled_;
            scheduled_ = scheduled_ || queued;
        }
    }
    parcels.clear();
    if (schedule) DeliveryPool::Instance().Schedule(shared_from_this());
}

void Dispatcher::CallHere(const char* name, const Call& call, bool media) {
    if (delegate_ == nullptr) return;
    {
        MutexLock lock(mu_);
        if (stopping_) return;
        direct_threads_.push_back(std::this_thread::get_id());
    }
    DirectMark mark(this);
    Item item(Parcel(name, media ? Kind::kMedia : Kind::kEvent, call));
    Invoke(item);
}

Dispatcher::Parcel Dispatcher::AudioParcel(std::shared_ptr<const kwix::AudioFrame> frame,
                                           std::shared_ptr<const std::string> sender,
                                           std::shared_ptr<DeliveryTally> tally) {
    Parcel parcel(sender ? "OnRemoteAudioReceived" : "OnRemoteMixedAudioReceived", Kind::kMedia, nullptr,
                  frame->size());
    parcel.sender = std::move(sender);
    parcel.audio = std::move(frame);
    parcel.receipt = Receipt(std::move(tally));
    return parcel;
}

void Dispatcher::Invoke(Item& item) {
    if (item.parcel.kind == Kind::kMedia) ++delivered_;
    item.parcel.receipt.Delivered();
    try {
        if (item.parcel.audio) {
            const kwix::AudioFrame* frame = item.parcel.audio.get();
            if (item.parcel.own_stamp) {
                // This thread's own frame, so that the shared one stays as it is; assigning
                // shares the payload and allocates nothing.
                thread_local kwix::AudioFrame stamped;
                stamped = *frame;
                stamped.pts = item.parcel.pts;
                stamped.has_voice = item.parcel.has_voice;
                frame = &stamped;
            }
            if (item.parcel.sender) {
                delegate_->OnRemoteAudioReceived(item.parcel.sender->c_str(), *frame);
            } else {
                delegate_->OnRemoteMixedAudioReceived(*frame);
            }
        } else if (item.notice) {
            const MissNotice& n = *item.notice;
            delegate_->OnMissCustomCmdMsg(n.sender ? n.sender->c_str() : nullptr, n.cmd_id, kCustomCmdLostInQueue,
                                          n.missed);
        } else {
            item.parcel.call(*delegate_);
        }
    } catch (abi::__forced_unwind&) {
        // The thread is being ended (pthread_exit); it must unwind, not be caught here.
        throw;
    } catch (const std::exception& e) {
        ReportCallbackFailure(item.parcel.name, e.what());
    } catch (...) {
        ReportCallbackFailure(item.parcel.name, "unknown exception");
    }
}

bool Dispatcher::TakeNextLocked(Item* out, std::vector<Item>* dropped) {
    const int64_t max_wait_ms = faults::MediaMaxWaitMs();
    if (max_wait_ms > 0 && !media_.empty() && media_.front().parcel.expires) {
        const auto now = std::chrono::steady_clock::now();
        const auto max_wait = std::chrono::milliseconds(max_wait_ms);
        while (!media_.empty() && media_.front().parcel.expires && now - WaitBegan(media_.front()) >= max_wait) {
            DropOldestMediaLocked(dropped);
        }
    }
    std::deque<Item>* from = nullptr;
    if (!events_.empty() && (media_.empty() || events_.front().seq < media_.front().seq)) {
        from = &events_;
    } else if (!media_.empty()) {
        from = &media_;
    } else {
        return false;
    }
    *out = std::move(from->front());
    from->pop_front();
    if (from == &media_) NoteOldestLocked();
    queued_bytes_ -= out->parcel.bytes + kChargePerCallback;
    if (out->notice) {
        // Running now: its count is final, and a later loss needs a notice of its own.
        auto it = notices_.find(out->notice->sender ? *out->notice->sender : std::string());
        if (it != notices_.end() && it->second == out->notice) notices_.erase(it);
    }
    return true;
}

void Dispatcher::ClearLocked(std::vector<Item>* dropped) {
    for (Item& item : media_) dropped->push_back(std::move(item));
    for (Item& item : events_) dropped->push_back(std::move(item));
    media_.clear();
    events_.clear();
    notices_.clear();
    queued_bytes_ = 0;
    NoteOldestLocked();
}

bool Dispatcher::RunBatch(std::atomic<uint64_t>& progress) {
    const auto started = std::chrono::steady_clock::now();
    MutexLock lock(mu_);
    for (int done = 0;; ++done) {
        // Once the process exits, delivery ends as if the worker had been ended.
        if (g_process_exiting.load()) gone_ = true;
        if (stopping_ || gone_ || (events_.empty() && media_.empty())) {
            scheduled_ = false;
            return false;
        }
        if (done == kBatchItems || (done > 0 && std::chrono::steady_clock::now() - started >= kBatchTime)) {
            return true;
        }

        Item item;
        std::vector<Item> expired;  // freed once the lock is released
        if (!TakeNextLocked(&item, &expired)) {
            // Only expired frames waited: idle now, without a callback that would say so.
            scheduled_ = false;
            lock.Unlock();
            idle_.NotifyAll();
            return false;
        }
        running_on_ = std::this_thread::get_id();
        lock.Unlock();
        expired.clear();
        try {
            RunningMark mark(this);
            Invoke(item);
        } catch (abi::__forced_unwind&) {
            // This worker is being ended inside the callback: the session loses its delivery,
            // as it did when it had a thread of its own, and waiters are released.
            std::vector<Item> discarded;
            {
                MutexLock relock(mu_);
                gone_ = true;
                scheduled_ = false;
                ClearLocked(&discarded);
            }
            idle_.NotifyAll();
            throw;
        }
        progress.fetch_add(1, std::memory_order_relaxed);
        // The item (and the frames it holds) goes before the lock is taken again.
        item = Item{};
        lock.Lock();
    }
}

size_t Dispatcher::PushPulledAudio(std::shared_ptr<const kwix::AudioFrame> frame, size_t limit) {
    std::vector<std::shared_ptr<const kwix::AudioFrame>> evicted;  // freed after unlocking
    MutexLock lock(pulled_mu_);
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
    MutexLock lock(pulled_mu_);
    if (pulled_.empty()) return nullptr;
    auto frame = std::move(pulled_.front());
    pulled_.pop_front();
    return frame;
}

void Dispatcher::ClearPulledAudio() {
    std::deque<std::shared_ptr<const kwix::AudioFrame>> old;
    {
        MutexLock lock(pulled_mu_);
        old.swap(pulled_);
    }
}

int Dispatcher::WaitIdle(int timeout_ms) {
    if (delegate_ == nullptr) return 0;
    MutexLock lock(mu_);
    if (std::this_thread::get_id() == running_on_) return -1;
    if (timeout_ms < 0) timeout_ms = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!IdleLocked()) {
        if (!idle_.WaitUntil(mu_, deadline)) return IdleLocked() ? 0 : -1;
    }
    return 0;
}

bool Dispatcher::IdleLocked() const {
    return gone_ || stopping_ || (events_.empty() && media_.empty() && running_on_ == std::thread::id());
}

bool Dispatcher::AnyDirectCallLocked(const std::vector<std::thread::id>& threads) const {
    return std::any_of(direct_threads_.begin(), direct_threads_.end(), [&](const std::thread::id& id) {
        return std::find(threads.begin(), threads.end(), id) != threads.end();
    });
}

void Dispatcher::Stop() {
    std::vector<Item> discarded;
    std::thread::id runner;
    {
        MutexLock lock(mu_);
        stopping_ = true;
        ClearLocked(&discarded);
        runner = running_on_;
    }
    idle_.NotifyAll();
    discarded.clear();

    const std::thread::id me = std::this_thread::get_id();
    StopWaits& waits = StopWaits::Instance();
    // No queued callback starts after stopping_; the one running, if any, is waited for
    // unless it is the caller's own (the worker goes on once it returns).
    if (runner != std::thread::id() && runner != me) {
        if (waits.Begin(me, runner)) {
            MutexLock lock(mu_);
            while (running_on_ != std::thread::id()) idle_.Wait(mu_);
            lock.Unlock();
            waits.End(me, runner);
        } else {
            // That thread is inside a callback that waits, through others, for this thread:
            // the callback returns once that wait ends, and nothing of this dispatcher
            // starts after it.
            Logf(LogLevel::kDebug, "engine: a session closed by a callback of a session it closes; not waiting for it");
        }
    }

    // Callbacks made on other threads by CallHere, except those of threads that wait for
    // this one (and this thread's own, which are its callers).
    MutexLock lock(mu_);
    std::vector<std::thread::id> awaited;
    for (const std::thread::id& id : direct_threads_) {
        if (id == me || std::find(awaited.begin(), awaited.end(), id) != awaited.end()) continue;
        if (waits.Begin(me, id)) awaited.push_back(id);
    }
    while (AnyDirectCallLocked(awaited)) idle_.Wait(mu_);
    lock.Unlock();
    for (const std::thread::id& id : awaited) waits.End(me, id);
}

uint64_t Dispatcher::dropped() const { return dropped_.load() + (tally_ ? tally_->shed.load() : 0); }
uint64_t Dispatcher::delivered() const { return delivered_.load(); }

Dispatcher::QueueCounters Dispatcher::queue_counters() const {
    QueueCounters counters;
    {
        MutexLock lock(mu_);
        counters.queued_bytes = queued_bytes_;
    }
    counters.unreliable_dropped = unreliable_dropped_.load();
    counters.reliable_lost = reliable_lost_.load();
    return counters;
}

}  // namespace loopback
}  // namespace velmora
