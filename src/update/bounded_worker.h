// A thread that the one who starts it waits for only until a deadline.
//
// The update's network calls run on one: a server may hold a call for as
// long as it likes (a header byte every few seconds restarts every receive
// time-out), and the window thread must go on when the update's time is up.
// The work is then asked to end (its requests aborted); a thread that still
// runs a little later is left to end by itself, never killed. So the work
// must hold everything it uses itself (shared pointers in the function):
// nothing it touches may belong to the one who gave up on it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace brinvale {

class BoundedWorker {
public:
    using Clock = std::chrono::steady_clock;

    // Starts work on a thread of its own.
    explicit BoundedWorker(std::function<void()> work);
    // Joins a thread that has ended; leaves one that still runs to end by
    // itself.
    ~BoundedWorker();
    BoundedWorker(const BoundedWorker&) = delete;
    BoundedWorker& operator=(const BoundedWorker&) = delete;

    // Waits until the work has ended or until `until`; true when it has
    // ended (then all it did is seen by the caller).
    bool WaitUntil(Clock::time_point until);

    // For a work that has not ended: it goes on alone, and cleanup runs on
    // its thread once it ends. False (and no cleanup) when it has ended.
    bool Abandon(std::function<void()> cleanup);

private:
    struct State {
        std::mutex lock;
        std::condition_variable ended;
        bool bEnded = false;
        std::function<void()> cleanup;
    };
    std::shared_ptr<State> m_pState;
    std::thread m_thread;
};

}  // namespace brinvale
