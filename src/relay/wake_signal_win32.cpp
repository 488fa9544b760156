// WakeSignal as a manual-reset event: once set it stays set, so every waiter,
// including one that starts waiting later, sees it until Reset.
#include "relay/wake_signal.h"

#include <windows.h>

namespace brinvale {

WakeSignal::WakeSignal()
    : m_hEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
}

WakeSignal::~WakeSignal()
{
    if (m_hEvent)
        CloseHandle(m_hEvent);
}

void WakeSignal::Raise()
{
    if (m_hEvent)
        SetEvent(m_hEvent);
}

void WakeSignal::Reset()
{
    if (m_hEvent)
        ResetEvent(m_hEvent);
}

bool WakeSignal::IsRaised() const
{
    return Wait(0);
}

bool WakeSignal::Wait(int timeoutMs) const
{
    if (!m_hEvent) {
        // Without an event nothing can raise it; still honour the pause.
        if (timeoutMs > 0)
            Sleep(static_cast<DWORD>(timeoutMs));
        return false;
    }
    DWORD wait = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    return WaitForSingleObject(m_hEvent, wait) == WAIT_OBJECT_0;
}

}  // namespace brinvale
