// The engine thread: jobs of one user run one at a time on one long-lived
// thread, their failures come back to the caller, a job may run another in
// place, and stop() ends the thread only after the job in hand.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "engine/engine_thread.h"

namespace {

// The kernel's id of the calling thread: unlike std::thread::id it is not
// handed to a new thread as soon as the old one ended.
pid_t kernelThread() { return ::gettid(); }

TEST(EngineThreadTest, JobsRunOnOneThreadAndPassTheirFailureBack) {
    EngineThread worker;
    pid_t first = 0;
    worker.run([&] { first = kernelThread(); });
    EXPECT_NE(first, kernelThread());
    EXPECT_FALSE(worker.isCurrent());

    pid_t posted = 0;
    bool current = false;
    worker.post([&] {
        posted = kernelThread();
        current = worker.isCurrent();
    });
    worker.wait();
    EXPECT_EQ(posted, first) << "the same thread for every job";
    EXPECT_TRUE(current);

    EXPECT_THROW(worker.run([] { throw std::runtime_error("decode failed"); }), std::runtime_error);
    worker.post([] { throw std::logic_error("later"); });
    EXPECT_THROW(worker.wait(), std::logic_error) << "a posted job's failure comes with wait()";
    worker.wait();  // nothing posted: returns at once

    // A job that runs another (a decode inside a generation) runs it in place.
    pid_t inner = 0;
    worker.run([&] { worker.run([&] { inner = kernelThread(); }); });
    EXPECT_EQ(inner, first);
}

TEST(EngineThreadTest, StopWaitsForTheJobAndTheNextJobStartsANewThread) {
    EngineThread worker;
    std::atomic<bool> release{false};
    std::atomic<bool> finished{false};
    pid_t first = 0;
    worker.post([&] {
        first = kernelThread();
        while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        finished.store(true);
    });
    std::thread stopper([&] { worker.stop(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    release.store(true);
    stopper.join();
    EXPECT_TRUE(finished.load()) << "stop() let the job end";
    worker.wait();  // the job's result is still there to collect

    pid_t second = 0;
    worker.run([&] { second = kernelThread(); });
    EXPECT_NE(second, 0);
    EXPECT_NE(second, first) << "a new thread after stop()";
    worker.stop();
    worker.stop();  // a stopped thread: nothing to do
}

}  // namespace
