// EngineThread: the one long-lived thread on which an instance's model work
// runs (prompt decoding and the token loop).
//
// The inference library computes on a team of worker threads that belongs to
// the thread that calls it: a thread that decodes for the first time starts a
// new team, cold, and that team stays parked for as long as its thread
// lives. Decoding on the connection thread and generating on a new thread per
// request therefore started two teams per request, the first decode of each
// paid for the start-up, and the parked team competed with the working one
// for the processors. Running every decode of an instance on this one thread
// keeps one warm team per instance, alone, from request to request.
//
// One job at a time: its user (the holder of the instance's claim) posts a
// job and waits for it. The thread starts with the first job and ends with
// stop() or the object's end; a later job starts it again.
//
// Thread-safety: run, post, wait and stop REQUIRE external synchronization
// (one user at a time, which the instance's claim ensures); isCurrent is safe
// from any thread. The job runs on this object's thread.
#pragma once

#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

class EngineThread {
public:
    EngineThread() = default;
    // Waits for a posted job, then ends the thread. REQUIRES: not called
    // from a job (a thread cannot join itself).
    ~EngineThread();
    EngineThread(const EngineThread&) = delete;
    EngineThread& operator=(const EngineThread&) = delete;

    // Runs `job` on the thread and waits for it; the job's exception passes
    // to the caller. Called from a job (on the thread itself), runs `job` in
    // place. Throws std::system_error when the thread cannot be started.
    void run(const std::function<void()>& job);

    // Hands `job` to the thread and returns at once; wait() collects it.
    // Throws std::system_error when the thread cannot be started (the job is
    // then not run). REQUIRES: no job is posted and not yet waited for, and
    // the caller is not the thread itself.
    void post(std::function<void()> job);

    // Waits for the posted job to end; its exception passes to the caller.
    // Returns at once when no job is posted.
    void wait();

    // Waits for a posted job, then ends the thread (and the library's team
    // with it). The next job starts a new thread. Does nothing on the thread
    // itself. Never throws.
    void stop() noexcept;

    // Whether the caller runs on this object's thread.
    bool isCurrent() const;

private:
    void loop();
    void startLocked();

    mutable std::mutex mutex_;
    std::condition_variable wake_;  // a job was posted or the thread must end
    std::condition_variable done_;  // the job ended
    std::thread thread_;
    std::thread::id threadId_;
    std::function<void()> job_;
    std::exception_ptr failure_;
    bool pending_ = false;   // job_ waits for the thread
    bool posted_ = false;    // a job was posted and not yet waited for
    bool finished_ = false;  // the posted job ended
    bool stopping_ = false;
};
