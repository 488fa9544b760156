#include "relay/wake_signal.h"

#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace brinvale {

// An eventfd stays readable from the first Raise until Reset drains it, so a
// poll that starts after the raise returns at once.
WakeSignal::WakeSignal() : m_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

WakeSignal::~WakeSignal()
{
    if (m_fd >= 0)
        close(m_fd);
}

void WakeSignal::Raise()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t written = write(m_fd, &one, sizeof one);
}

void WakeSignal::Reset()
{
    std::uint64_t value = 0;
    [[maybe_unused]] ssize_t got = read(m_fd, &value, sizeof value);
}

bool WakeSignal::IsRaised() const
{
    return Wait(0);
}

bool WakeSignal::Wait(int timeoutMs) const
{
    pollfd p{m_fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLIN);
}

}  // namespace brinvale
