// The serial device of the fuzzers: the operating system's operations behind
// CSerialCommCls, with the device replaced by the hooks of fake_platform.h.
// The channel itself is the real one. No call waits, not even the hang-up's
// pause, so one fuzz input can run hundreds of pump steps.
#include "relay/serial_device.h"

#include "fake_platform.h"
#include "relay/serial_channel.h"

namespace brinvale {

namespace fuzz {

FakeSerialHooks& SerialHooks()
{
    static FakeSerialHooks hooks;
    return hooks;
}

}  // namespace fuzz

struct SerialDevice::Handles {
    bool held = false;  // what an open file descriptor would be
    unsigned baudRate = 0;
};

std::string SerialDevicePath(const std::string& port)
{
    return port;
}

SerialDevice::SerialDevice() : m_handles(std::make_unique<Handles>()) {}

SerialDevice::~SerialDevice()
{
    Release();
}

int SerialDevice::Open(const std::string&)
{
    const int result = fuzz::SerialHooks().open ? fuzz::SerialHooks().open() : 1;
    m_handles->held = result > 0;
    return result;
}

void SerialDevice::Configure(const LineSettings& line)
{
    // The fake has no driver; the rate is all a caller can ask back.
    m_handles->baudRate = line.baudRate.value_or(0);
}

bool SerialDevice::Answers() const
{
    return m_handles->held;
}

int SerialDevice::Read(int count, std::uint8_t* dest, const WakeSignal&)
{
    if (!m_handles->held || !fuzz::SerialHooks().read)
        return kSerialReadFailed;
    return fuzz::SerialHooks().read(count, dest);
}

int SerialDevice::Write(const std::uint8_t* data, int length, int, const WakeSignal&)
{
    if (!m_handles->held)
        return 0;
    if (fuzz::SerialHooks().write)
        fuzz::SerialHooks().write(data, length);
    return 1;
}

void SerialDevice::HangUp()
{
}

void SerialDevice::Release()
{
    m_handles->held = false;
}

unsigned SerialDevice::ReportedBaudRate() const
{
    return m_handles->held ? m_handles->baudRate : 0;
}

}  // namespace brinvale
