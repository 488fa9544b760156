// The operating system's side of the serial line: the few operations the
// portable channel (CSerialCommCls, serial_channel.cpp) builds on. One
// implementation per platform, in serial_win32.cpp and serial_posix.cpp (the
// fuzzers link a scripted one). Nothing here knows the relay: no relay
// state, no status texts, no log, no lock; the channel keeps all of that.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace brinvale {

class WakeSignal;
struct LineSettings;

class SerialDevice {
public:
    SerialDevice();
    ~SerialDevice();  // Release()
    SerialDevice(const SerialDevice&) = delete;
    SerialDevice& operator=(const SerialDevice&) = delete;

    // Takes the device at path for this program alone (a port another
    // program holds is refused): 1, or kSerialOpenFailed,
    // kSerialReadEventFailed, kSerialWriteEventFailed. A failure holds
    // nothing.
    int Open(const std::string& path);

    // Queues, the read time-outs that cut bursts, the line settings (a field
    // left empty keeps what the driver had), no flow control; DTR and RTS up.
    // A setting the driver refuses leaves the port as it was.
    void Configure(const LineSettings& line);

    // True when the device behind the open name reports its line state: a
    // name can open with nothing behind it.
    bool Answers() const;

    // Up to count bytes (1 to kMaxSerialRead) with the burst time-outs: their
    // number, 0 when the time-outs expired with nothing, kSerialReadFailed on
    // failure. Raising stop ends the wait early; what such a read returns is
    // not looked at.
    int Read(int count, std::uint8_t* dest, const WakeSignal& stop);

    // Writes length bytes: 1 when they were written within kWriteWaitMs,
    // else 0. A write that is still under way after giveUpMs (the device no
    // longer drains) or when stop is raised is given up rather than left
    // holding its caller; bytes of a later write never overtake it.
    int Write(const std::uint8_t* data, int length, int giveUpMs, const WakeSignal& stop);

    // DTR down and both queues purged, then a pause long enough for the
    // terminal to see the line drop.
    void HangUp();

    // Lets go of the device. A read or write still in flight is cancelled
    // first, waiting for the driver only a bounded time.
    void Release();

    // The rate the driver reports for the open port; 0 when closed.
    unsigned ReportedBaudRate() const;

private:
    struct Handles;
    std::unique_ptr<Handles> m_handles;
};

#ifdef _WIN32
// Fault injection for tests: the call that asks the driver to cancel an
// operation in flight, CancelIoEx unless replaced (null restores it). A
// stand-in that does nothing plays a driver that ignores the cancel.
using CancelIoCall = bool (*)(void* port, void* overlapped);
void SetCancelIoCallForTests(CancelIoCall call);
#endif

}  // namespace brinvale
