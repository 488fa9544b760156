#include "relay/serial_channel.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <utility>

#include "common/speed_tables.h"
#include "log/traffic_log.h"
#include "relay/relay_state.h"
#include "relay/wake_signal.h"

namespace brinvale {

namespace {

std::atomic<CSerialCommCls*> g_pSerial{nullptr};

// The channel object is owned here; the pumps only borrow it while they run.
void ReplaceSerial(CSerialCommCls* next)
{
    delete g_pSerial.exchange(next);
}

// Port and speed texts in log lines are cut to 31 bytes, as the fields that
// carry them in the log are.
std::string Cut31(const std::string& text)
{
    return text.substr(0, 31);
}

}  // namespace

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

CSerialCommCls* CurrentSerial()
{
    return g_pSerial.load();
}

namespace {

void ReportOpened(const std::string& port, const std::string& speed)
{
    SetTransferState("", kOkColour);
    if (g_bLogEnabled) {
        char line[160];
        std::snprintf(line, sizeof line, "Serial Open OK (Port : %s, Baudrate : %s)",
                      Cut31(port).c_str(), Cut31(speed).c_str());
        WriteTrafficLogInfo(line);
    }
}

}  // namespace

bool OpenSerialChannel(const std::string& port, const std::string& speed)
{
    // The object being replaced closes whatever it still holds (an open that
    // failed half way, or a channel never closed), so no port stays held.
    ReplaceSerial(nullptr);
    g_bSerialLost = false;
    g_nFailedReads = 0;
    auto* serial = new CSerialCommCls(port, speed, "None", "8 Bit", "1 Bit", RelayStopSignal());
    g_pSerial = serial;

    const int result = serial->Open();
    if (result > 0) {
        g_bSerialOpen = true;
        ReportOpened(port, speed);
    } else {
        g_bSerialOpen = false;
        SetTransferState("Serial Open FAIL", kErrorColour);
        if (g_bLogEnabled) {
            char line[160];
            std::snprintf(line, sizeof line,
                          "Serial Open FAIL (Port : %s, Baudrate : %s) [ErrorCode : %d]",
                          Cut31(port).c_str(), Cut31(speed).c_str(), result);
            WriteTrafficLogInfo(line);
        }
    }
    return g_bSerialOpen;
}

void MarkSerialLost()
{
    if (g_bSerialLost.exchange(true))
        return;
    SetTransferState("Serial Port LOST", kErrorColour);
    ShowProgressText("Serial Port LOST");
    CSerialCommCls* serial = g_pSerial.load();
    if (g_bLogEnabled && serial) {
        char line[96];
        std::snprintf(line, sizeof line, "Serial Port LOST (Port : %s)", Cut31(serial->PortName()).c_str());
        WriteTrafficLogInfo(line);
    }
}

bool ReopenLostSerial()
{
    CSerialCommCls* serial = g_pSerial.load();
    if (!serial || serial->Reopen() <= 0)
        return false;
    g_bSerialLost = false;
    ReportOpened(serial->PortName(), serial->SpeedText());
    return true;
}

void CloseSerialChannel()
{
    g_bSerialOpen = false;
    g_bSerialLost = false;
    if (CSerialCommCls* serial = g_pSerial.load()) {
        serial->Close();
        ReplaceSerial(nullptr);
    }
    if (g_bLogEnabled)
        WriteTrafficLogInfo("Serial CLOSE");
}

void SendControlToCat(std::uint8_t c)
{
    CSerialCommCls* serial = g_pSerial.load();
    if (!serial)
        return;
    const std::uint8_t reply[5] = {c, c, c, c, c};
    serial->Write(reply, sizeof reply);
    if (g_bLogEnabled)
        WriteTrafficLog(reply, kLogPcToCat, sizeof reply);
}

}  // namespace brinvale
