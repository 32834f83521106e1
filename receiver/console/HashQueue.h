// The console's password checks run here, on threads of their own, never on the receiver's
// workers: an Argon2id check takes a large share of a second and 256 MiB, and the sign-in
// form needs no account, so anyone can ask for one. The queue is small and bounded: when
// every thread is busy and `waiting` checks already wait, a new check is refused at once and
// the console answers 503 with Retry-After instead of holding a worker. The threads run at
// the console's niceness (10), so that report intake goes first: during a flood, checks wait
// rather than reports; yet a check still ends while the machine is busy with other work.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace gravelin::console {

class HashQueue {
public:
    HashQueue(unsigned threads, std::size_t waiting);
    ~HashQueue();
    HashQueue(const HashQueue&) = delete;
    HashQueue& operator=(const HashQueue&) = delete;

    // Queues the check; nothing when the queue is full. The future carries its result or
    // what it threw.
    std::optional<std::future<bool>> submit(std::function<bool()> check);

    // Checks running or waiting now.
    std::size_t pending() const;

private:
    void run();

    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::packaged_task<bool()>> queue_;
    std::size_t running_ = 0;
    std::size_t capacity_;  // threads + waiting
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace gravelin::console
