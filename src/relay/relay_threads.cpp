#include "relay/relay_threads.h"

#include <atomic>
#include <exception>

#include "base/logger.h"
#include <system_error>
#include <vector>

namespace mivrelable::rtc {

namespace {

thread_local bool tRelayThread = false;
std::atomic<size_t> gMemoryServeThreads{0};

}  // namespace

void markRelayThread() { tRelayThread = true; }
bool onRelayThread() { return tRelayThread; }

size_t memoryServeThreadCount() { return gMemoryServeThreads.load(); }
MemoryServeThreadMark::MemoryServeThreadMark() { gMemoryServeThreads.fetch_add(1); }
MemoryServeThreadMark::~MemoryServeThreadMark() { gMemoryServeThreads.fetch_sub(1); }

struct DataChannelSet::State {
    struct Entry {
        std::thread thread;
        bool done = false;
    };
    std::mutex mutex;
    std::condition_variable ended;
    std::list<Entry> threads;
    int active = 0;

    // REQUIRES: mutex held. Moves the ended threads out so they are joined
    // without the lock.
    std::vector<std::thread> takeFinishedLocked() {
        std::vector<std::thread> finished;
        for (auto it = threads.begin(); it != threads.end();) {
            if (it->done) {
                finished.push_back(std::move(it->thread));
                it = threads.erase(it);
            } else {
                ++it;
            }
        }
        return finished;
    }
};

namespace {

void joinAll(std::vector<std::thread>& threads) {
    for (std::thread& t : threads) {
        if (t.joinable()) t.join();
    }
}

}  // namespace

DataChannelSet::DataChannelSet(int limit) : state_(std::make_shared<State>()), limit_(limit) {}

DataChannelSet::~DataChannelSet() { finish(0); }

bool DataChannelSet::start(std::function<void()> body) {
    std::vector<std::thread> finished;
    bool started = false;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        finished = state_->takeFinishedLocked();
        if (state_->active < limit_) {
            state_->threads.emplace_back();
            auto entry = std::prev(state_->threads.end());
            std::shared_ptr<State> state = state_;
            try {
                // The entry is filled in under the lock that the thread's end
                // takes too, so the thread always finds it.
                entry->thread = std::thread([state, entry, body = std::move(body)] {
                    markRelayThread();
                    try {
                        body();
                    } catch (const std::exception& e) {
                        logMessage(1, "[RTC] data channel ended by an exception: %s", e.what());
                    } catch (...) {
                        logMessage(1, "[RTC] data channel ended by an unknown exception");
                    }
                    std::lock_guard<std::mutex> lock(state->mutex);
                    entry->done = true;
                    --state->active;
                    state->ended.notify_all();
                });
                ++state_->active;
                started = true;
            } catch (const std::system_error&) {
                state_->threads.erase(entry);
            }
        }
    }
    joinAll(finished);
    return started;
}

int DataChannelSet::active() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->active;
}

void DataChannelSet::reapFinished() {
    std::vector<std::thread> finished;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        finished = state_->takeFinishedLocked();
    }
    joinAll(finished);
}

int DataChannelSet::finish(int waitMs) {
    std::vector<std::thread> finished;
    int left = 0;
    {
        std::unique_lock<std::mutex> lock(state_->mutex);
        state_->ended.wait_for(lock, std::chrono::milliseconds(waitMs < 0 ? 0 : waitMs),
                               [&] { return state_->active == 0; });
        finished = state_->takeFinishedLocked();
        for (auto& entry : state_->threads) {
            // Still running after the deadline: it keeps its entry and its
            // share of the bookkeeping and ends on its own.
            if (entry.thread.joinable()) entry.thread.detach();
            ++left;
        }
    }
    joinAll(finished);
    return left;
}

}  // namespace mivrelable::rtc
