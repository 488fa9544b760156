// The two worker threads that move the data while the relay runs.
#pragma once

#include <atomic>
#include <memory>
#include <thread>

namespace brinvale {

class RelayThreads {
public:
    RelayThreads() = default;
    ~RelayThreads() { EndPumpThreads(); }
    RelayThreads(const RelayThreads&) = delete;
    RelayThreads& operator=(const RelayThreads&) = delete;

    // Starts the CAT pump and then the VAN pump; false (and nothing running)
    // when the system gives no thread.
    bool StartPumpThreads();

    // Clears the run flags, raises the relay stop signal so that no pump stays
    // in a serial read, a socket wait or a pause, and joins both threads.
    // Never kills a thread. Safe to call when nothing runs.
    void EndPumpThreads();

    bool IsRunning() const { return m_pCatPumpThread || m_pVanPumpThread; }

    std::atomic<bool> m_bCatPumpRun{false};
    std::atomic<bool> m_bVanPumpRun{false};

private:
    void CatPumpThread();
    void VanPumpThread();

    std::unique_ptr<std::thread> m_pCatPumpThread;
    std::unique_ptr<std::thread> m_pVanPumpThread;
};

}  // namespace brinvale
