// The serial line to the card terminal.
//
// One COM port (or, on Linux, a tty device) with fixed line settings and read
// time-outs that cut the terminal's input into bursts: a read of N bytes
// returns when N bytes are in, 100 ms after a byte with no further one, or at
// the latest N + 500 ms after it began. The channel itself is portable; the
// operating system's operations behind it are a SerialDevice (serial_device.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "relay/serial_device.h"

namespace brinvale {

class WakeSignal;

constexpr int kSerialOpenFailed = -1;
constexpr int kSerialReadEventFailed = -2;
constexpr int kSerialWriteEventFailed = -3;
constexpr int kSerialReadFailed = -1;
constexpr int kMaxSerialRead = 3073;

constexpr int kReadIntervalMs = 100;
constexpr int kReadTotalMultiplierMs = 1;
constexpr int kReadTotalConstantMs = 500;
constexpr int kWriteWaitMs = 1000;

enum class Parity { None = 0, Odd = 1, Even = 2 };
enum class StopBits { One = 0, OneAndHalf = 1, Two = 2 };

// What the five setting texts ask of the driver; an empty field keeps what the
// driver reported.
struct LineSettings {
    std::optional<unsigned> baudRate;
    std::optional<Parity> parity;
    std::optional<int> dataBits;
    std::optional<StopBits> stopBits;
};

std::optional<unsigned> BaudRateForSpeedText(std::string_view speed);
LineSettings ParseLineSettings(std::string_view speed, std::string_view parity,
                               std::string_view dataBits, std::string_view stopBits);

class CSerialCommCls {
public:
    // stop ends every wait of the channel (a read, a write that does not
    // drain) when raised; it must outlive the channel.
    CSerialCommCls(std::string port, std::string speed, std::string parity,
                   std::string dataBits, std::string stopBits, const WakeSignal& stop);
    ~CSerialCommCls();
    CSerialCommCls(const CSerialCommCls&) = delete;
    CSerialCommCls& operator=(const CSerialCommCls&) = delete;

    // 1, or kSerialOpenFailed / kSerialReadEventFailed / kSerialWriteEventFailed.
    // A failed open releases whatever it had opened.
    int Open();

    // Up to count bytes (at most kMaxSerialRead): the number read, 0 when the
    // time-outs expired with nothing, kSerialReadFailed on failure or when
    // the driver lets the read run seconds past its time-outs. A read that
    // the stop signal or the device going away cuts short also gives
    // kSerialReadFailed, and the bytes it had gathered are dropped: cut off
    // at an arbitrary point they are no burst, and the link they would go to
    // is about to be dropped.
    int Read(int count, std::uint8_t* dest);

    // 1 when the bytes were written at once or within kWriteWaitMs, else 0.
    // Writers from both pumps are serialised; a write still under way is
    // finished before the next one starts, so no byte is dropped or reordered
    // (unless it outlives its line-speed time by two seconds: then the device
    // no longer drains, and the write is given up rather than holding every
    // writer).
    int Write(const std::uint8_t* data, int length);

    // Drops DTR, purges both queues, pauses 100 ms and releases the port.
    void Close();

    // Lets go of a port whose device went away and opens it again with the
    // same settings; Open's results. Writers wait while it runs, so neither
    // pump ever writes to a handle that is being replaced.
    int Reopen();

    // The rate the driver reports for the open port (0 when closed); shows
    // what a speed text really selected.
    unsigned ReportedBaudRate() const;

    bool IsOpen() const { return m_bOpen; }
    const std::string& PortName() const { return m_strPort; }
    const std::string& SpeedText() const { return m_strSpeed; }
    const std::string& DevicePath() const { return m_strDevicePath; }

private:
    int OpenLocked();
    void SetupPort();
    void ReleaseHandlesLocked();
    int WriteGiveUpMs(int length) const;

    SerialDevice m_device;
    const WakeSignal& m_stop;
    std::string m_strPort;
    std::string m_strSpeed;
    std::string m_strParity;
    std::string m_strDataBits;
    std::string m_strStopBits;
    std::string m_strDevicePath;
    std::atomic<bool> m_bOpen{false};
    unsigned m_nBaudRate = 0;  // as the driver took it at open
    // Held by every write and by Reopen, which swaps the handles under it.
    std::mutex m_writeLock;
};

// The device path for a port name: "\\.\COM3" on Windows, the name itself
// (a device path such as /dev/ttyUSB0) elsewhere. Defined by the platform.
std::string SerialDevicePath(const std::string& port);

}  // namespace brinvale
