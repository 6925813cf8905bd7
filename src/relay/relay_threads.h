// Bookkeeping of the threads the relay client starts: which threads belong to
// it (a stop or start asked for on one of them must not wait for the relay,
// which may be waiting for that very thread), the data-channel threads of one
// run (counted, bounded and joined), and the memory-mode HTTP threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace mivrelable::rtc {

// Marks the calling thread as one of the relay client's own threads.
void markRelayThread();
// Whether the calling thread is one of them (a relayed request's handler runs
// on one in memory mode).
bool onRelayThread();

// Memory-mode HTTP threads alive now (they end when their channel closes).
size_t memoryServeThreadCount();
// Counts one memory-mode HTTP thread for the life of the object.
class MemoryServeThreadMark {
public:
    MemoryServeThreadMark();
    ~MemoryServeThreadMark();
    MemoryServeThreadMark(const MemoryServeThreadMark&) = delete;
    MemoryServeThreadMark& operator=(const MemoryServeThreadMark&) = delete;
};

// The data-channel threads of one run, at most `limit` at once. Safe for
// concurrent use by multiple threads; a thread in the set may outlive the
// set object (its bookkeeping is shared).
class DataChannelSet {
public:
    explicit DataChannelSet(int limit);
    ~DataChannelSet();  // waits like finish(0)
    DataChannelSet(const DataChannelSet&) = delete;
    DataChannelSet& operator=(const DataChannelSet&) = delete;

    // Joins the threads that have ended, then starts `body` on a new thread
    // unless `limit` threads are still running. False when refused or when
    // the system could not start a thread.
    bool start(std::function<void()> body);

    // Threads started and not yet ended.
    int active() const;

    // Joins every thread that has ended.
    void reapFinished();

    // Waits up to `waitMs` for every thread to end and joins them. Threads
    // still running then are detached (they hold what they use) and
    // counted in the result; 0 means all were joined.
    int finish(int waitMs);

private:
    struct State;
    std::shared_ptr<State> state_;
    int limit_;
};

}  // namespace mivrelable::rtc
