#include "receiver/console/HashQueue.h"

#include <algorithm>

#ifdef __linux__
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace gravelin::console {

namespace {
// Niceness of the hashing threads (Linux sets it per thread): a check waits for the CPU
// while reports are being taken in.
constexpr int kHashingNiceness = 10;
}  // namespace

HashQueue::HashQueue(unsigned threads, std::size_t waiting)
    : capacity_(std::max(1u, threads) + waiting) {
    for (unsigned i = 0; i < std::max(1u, threads); ++i) threads_.emplace_back([this] { run(); });
}

HashQueue::~HashQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    ready_.notify_all();
    for (auto& thread : threads_) thread.join();
}

std::optional<std::future<bool>> HashQueue::submit(std::function<bool()> check) {
    std::packaged_task<bool()> task(std::move(check));
    std::future<bool> result = task.get_future();
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || running_ + queue_.size() >= capacity_) return std::nullopt;
        queue_.push_back(std::move(task));
    }
    ready_.notify_one();
    return result;
}

std::size_t HashQueue::pending() const {
    std::lock_guard lock(mutex_);
    return running_ + queue_.size();
}

void HashQueue::run() {
#ifdef __linux__
    // A high niceness, not SCHED_IDLE: an idle-class thread gets no CPU at all while anything
    // else on the machine is busy (a build, a backup), and a sign-in then never ends. Best
    // effort: without the right to, the thread keeps its priority.
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kHashingNiceness);
#endif
    std::unique_lock lock(mutex_);
    for (;;) {
        ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;  // stopping, nothing left
        std::packaged_task<bool()> task = std::move(queue_.front());
        queue_.pop_front();
        ++running_;
        lock.unlock();
        task();  // an exception lands in the future
        lock.lock();
        --running_;
    }
}

}  // namespace gravelin::console
