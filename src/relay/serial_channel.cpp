#include "relay/serial_channel.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <utility>

#include "log/traffic_log.h"
#include "relay/relay_state.h"

namespace brinvale {

namespace {

struct SpeedRow {
    std::string_view text;
    unsigned baudRate;
};

// "28800" and "33600" select 38,400 on purpose: terminals configured with
// those texts talk at 38,400. The "PCI_" rows are nominal rates of
// multiplexer cards whose drivers scale them.
constexpr std::array<SpeedRow, 21> kSpeedTable{{
    {"300", 300},         {"600", 600},         {"1200", 1200},        {"2400", 2400},
    {"4800", 4800},       {"9600", 9600},       {"14400", 14400},      {"19200", 19200},
    {"28800", 38400},     {"33600", 38400},     {"38400", 38400},      {"56000", 56000},
    {"57600", 57600},     {"115200", 115200},   {"128000", 128000},    {"256000", 256000},
    {"PCI_9600", 1075},   {"PCI_19200", 2212},  {"PCI_38400", 4300},   {"PCI_57600", 6450},
    {"PCI_500K", 56000},
}};

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
    for (const SpeedRow& row : kSpeedTable) {
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
    auto* serial = new CSerialCommCls(port, speed, "None", "8 Bit", "1 Bit");
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
