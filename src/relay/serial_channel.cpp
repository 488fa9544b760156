#include "relay/serial_channel.h"

#include <algorithm>
#include <utility>

#include "common/speed_tables.h"
#include "relay/wake_signal.h"

namespace brinvale {

std::optional<unsigned> BaudRateForSpeedText(std::string_view speed)
{
    for (const LineSpeed& row : kLineSpeeds) {
        if (row.text == speed)
            return row.baudRate;
    }
    return std::nullopt;
}

LineSettings ParseLineSettings(std::string_view speed, std::string_view parity,
                               std::string_view dataBits, std::string_view stopBits)
{
    LineSettings settings;
    settings.baudRate = BaudRateForSpeedText(speed);

    if (parity == "None")
        settings.parity = Parity::None;
    else if (parity == "Even")
        settings.parity = Parity::Even;
    else if (parity == "Odd")
        settings.parity = Parity::Odd;

    if (dataBits == "7 Bit")
        settings.dataBits = 7;
    else if (dataBits == "8 Bit")
        settings.dataBits = 8;

    if (stopBits == "1 Bit")
        settings.stopBits = StopBits::One;
    else if (stopBits == "1.5 Bit")
        settings.stopBits = StopBits::OneAndHalf;
    else if (stopBits == "2 Bit")
        settings.stopBits = StopBits::Two;
    return settings;
}

CSerialCommCls::CSerialCommCls(std::string port, std::string speed, std::string parity,
                               std::string dataBits, std::string stopBits, const WakeSignal& stop)
    : m_stop(stop),
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
    std::lock_guard lock(m_writeLock);
    ReleaseHandlesLocked();
}

int CSerialCommCls::Open()
{
    std::lock_guard lock(m_writeLock);
    return OpenLocked();
}

int CSerialCommCls::OpenLocked()
{
    ReleaseHandlesLocked();
    const int result = m_device.Open(m_strDevicePath);
    if (result <= 0)
        return result;
    m_bOpen = true;
    SetupPort();
    return 1;
}

void CSerialCommCls::SetupPort()
{
    if (!m_bOpen)
        return;
    m_device.Configure(ParseLineSettings(m_strSpeed, m_strParity, m_strDataBits, m_strStopBits));
    m_nBaudRate = m_device.ReportedBaudRate();
}

int CSerialCommCls::Reopen()
{
    std::lock_guard lock(m_writeLock);
    // The old handle goes first: a port allows one handle at a time, and a
    // replugged USB adapter comes back under its name only once the stale
    // handle is closed.
    ReleaseHandlesLocked();
    const int result = OpenLocked();
    if (result > 0 && !m_device.Answers()) {
        ReleaseHandlesLocked();
        return kSerialOpenFailed;
    }
    return result;
}

int CSerialCommCls::Read(int count, std::uint8_t* dest)
{
    if (!m_bOpen || !dest)
        return kSerialReadFailed;
    count = std::clamp(count, 0, kMaxSerialRead);
    if (count == 0)
        return 0;
    if (m_stop.IsRaised())
        return kSerialReadFailed;
    const int got = m_device.Read(count, dest, m_stop);
    if (m_stop.IsRaised())
        return kSerialReadFailed;
    // A driver may end a read that its device went away under as if its
    // time-outs had run out (Wine does, and Linux gives what came before the
    // end of file): a device that no longer answers cut the bytes off.
    if (got > 0 && !m_device.Answers())
        return kSerialReadFailed;
    return std::min(got, count);
}

// With flow control off a healthy line drains at its own speed (ten bits a
// byte); two seconds past that the device no longer drains at all.
int CSerialCommCls::WriteGiveUpMs(int length) const
{
    const long long rate = std::max(m_nBaudRate, 300u);
    return static_cast<int>(static_cast<long long>(length) * 10 * 1000 / rate) + 2000;
}

int CSerialCommCls::Write(const std::uint8_t* data, int length)
{
    std::lock_guard lock(m_writeLock);
    if (!m_bOpen || length < 0 || (!data && length > 0))
        return 0;
    return m_device.Write(data, length, WriteGiveUpMs(length), m_stop);
}

void CSerialCommCls::Close()
{
    std::lock_guard lock(m_writeLock);
    if (m_bOpen) {
        m_bOpen = false;
        m_device.HangUp();
    }
    ReleaseHandlesLocked();
}

void CSerialCommCls::ReleaseHandlesLocked()
{
    m_bOpen = false;
    m_device.Release();
}

unsigned CSerialCommCls::ReportedBaudRate() const
{
    return m_bOpen ? m_device.ReportedBaudRate() : 0;
}

}  // namespace brinvale
