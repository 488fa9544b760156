// A latch that one thread raises to end the blocking waits of another.
// It stays raised until reset, so a waiter that arrives after the raise still
// sees it. Windows: a manual-reset event. POSIX: an eventfd.
#pragma once

namespace brinvale {

class WakeSignal {
public:
    WakeSignal();
    ~WakeSignal();
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;

    void Raise();
    void Reset();
    bool IsRaised() const;

    // Waits up to timeoutMs for the raise; true when raised.
    bool Wait(int timeoutMs) const;

#ifdef _WIN32
    void* Handle() const { return m_hEvent; }
#else
    int Fd() const { return m_fd; }
#endif

private:
#ifdef _WIN32
    void* m_hEvent = nullptr;
#else
    int m_fd = -1;
#endif
};

}  // namespace brinvale
