#include "update/bounded_worker.h"

#include <utility>

namespace brinvale {

BoundedWorker::BoundedWorker(std::function<void()> work) : m_pState(std::make_shared<State>())
{
    try {
        m_thread = std::thread([state = m_pState, work = std::move(work)]() noexcept {
            // The thread's start: an exception (a failed allocation) ends the
            // work, which its results show, never the program.
            try {
                work();
            } catch (...) {
            }
            std::function<void()> cleanup;
            {
                std::lock_guard lock(state->lock);
                state->bEnded = true;
                cleanup = std::move(state->cleanup);
            }
            state->ended.notify_all();
            try {
                if (cleanup)
                    cleanup();
            } catch (...) {
            }
        });
    } catch (...) {
        // No thread to be had: the work never runs, which its results show.
        m_pState->bEnded = true;
    }
}

BoundedWorker::~BoundedWorker()
{
    if (!m_thread.joinable())
        return;
    if (WaitUntil(Clock::now()))
        m_thread.join();
    else
        m_thread.detach();
}

bool BoundedWorker::WaitUntil(Clock::time_point until)
{
    std::unique_lock lock(m_pState->lock);
    return m_pState->ended.wait_until(lock, until, [this] { return m_pState->bEnded; });
}

bool BoundedWorker::Abandon(std::function<void()> cleanup)
{
    std::lock_guard lock(m_pState->lock);
    if (m_pState->bEnded)
        return false;
    m_pState->cleanup = std::move(cleanup);
    return true;
}

}  // namespace brinvale
