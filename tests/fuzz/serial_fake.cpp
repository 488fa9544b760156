// The serial line of the fuzzers: every member of CSerialCommCls, with the
// device replaced by the hooks of fake_platform.h. No call waits, not even
// Close's pause, so one fuzz input can run hundreds of pump steps.
#include "relay/serial_channel.h"

#include <algorithm>

#include "fake_platform.h"

namespace brinvale {

namespace fuzz {

FakeSerialHooks& SerialHooks()
{
    static FakeSerialHooks hooks;
    return hooks;
}

}  // namespace fuzz

struct CSerialCommCls::Port {
    bool held = false;  // what an open file descriptor would be
};

std::string SerialDevicePath(const std::string& port)
{
    return port;
}

CSerialCommCls::CSerialCommCls(std::string port, std::string speed, std::string parity,
                               std::string dataBits, std::string stopBits)
    : m_port(std::make_unique<Port>()),
      m_strPort(std::move(port)),
      m_strSpeed(std::move(speed)),
      m_strParity(std::move(parity)),
      m_strDataBits(std::move(dataBits)),
      m_strStopBits(std::move(stopBits)),
      m_strDevicePath(SerialDevicePath(m_strPort))
{
}

CSerialCommCls::~CSerialCommCls()
{
    ReleaseHandles();
}

int CSerialCommCls::Open()
{
    std::lock_guard lock(m_writeLock);
    return OpenLocked();
}

int CSerialCommCls::OpenLocked()
{
    ReleaseHandlesLocked();
    m_port->held = true;
    m_bOpen = true;
    SetupPort();
    return 1;
}

void CSerialCommCls::SetupPort()
{
    // The line settings only matter to a real driver; the fake has none.
}

int CSerialCommCls::Read(int count, std::uint8_t* dest)
{
    count = std::clamp(count, 0, kMaxSerialRead);
    if (!m_bOpen || !fuzz::SerialHooks().read)
        return kSerialReadFailed;
    const int got = fuzz::SerialHooks().read(count, dest);
    return std::min(got, count);
}

int CSerialCommCls::Write(const std::uint8_t* data, int length)
{
    std::lock_guard lock(m_writeLock);
    if (!m_bOpen || length < 0)
        return 0;
    if (fuzz::SerialHooks().write)
        fuzz::SerialHooks().write(data, length);
    return 1;
}

void CSerialCommCls::Close()
{
    // No pause: the fake has no driver whose queues need time to drain.
    ReleaseHandles();
}

int CSerialCommCls::Reopen()
{
    std::lock_guard lock(m_writeLock);
    ReleaseHandlesLocked();
    const int result = fuzz::SerialHooks().reopen ? fuzz::SerialHooks().reopen() : 1;
    return result > 0 ? OpenLocked() : result;
}

void CSerialCommCls::ReleaseHandles()
{
    std::lock_guard lock(m_writeLock);
    ReleaseHandlesLocked();
}

void CSerialCommCls::ReleaseHandlesLocked()
{
    m_port->held = false;
    m_bOpen = false;
}

unsigned CSerialCommCls::ReportedBaudRate() const
{
    return m_bOpen ? BaudRateForSpeedText(m_strSpeed).value_or(0) : 0;
}

}  // namespace brinvale
