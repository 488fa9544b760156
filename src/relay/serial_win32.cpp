// The Windows half of CSerialCommCls: a COM port opened for overlapped I/O.
//
// Reads and writes each have their own overlapped record and event, so the
// CAT pump can wait in a read while the VAN pump writes. Every wait that could
// last also watches the relay stop signal, so stopping the relay never waits
// for the terminal.
#include "relay/serial_channel.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "relay/relay_state.h"

namespace brinvale {

namespace {

constexpr DWORD kQueueSize = 50000;
constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr WORD kXonLimit = 2048;
constexpr WORD kXoffLimit = 1024;
constexpr DWORD kClosePauseMs = 100;

std::wstring Widen(const std::string& text)
{
    if (text.empty())
        return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0)
        return {};
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

void ClearErrors(HANDLE port)
{
    DWORD errors = 0;
    COMSTAT status{};
    ClearCommError(port, &errors, &status);
}

// Zeroes an overlapped record but keeps its event.
void Rearm(OVERLAPPED& record)
{
    HANDLE event = record.hEvent;
    record = OVERLAPPED{};
    record.hEvent = event;
}

// Ends an operation still in flight on record and waits until the driver has
// let go of the record and its buffer.
void CancelAndReap(HANDLE port, OVERLAPPED& record)
{
    CancelIoEx(port, &record);
    DWORD transferred = 0;
    GetOverlappedResult(port, &record, &transferred, TRUE);
}

// Waits for event or the relay stop signal; true when event came first
// within timeoutMs.
bool WaitUnlessStopped(HANDLE event, DWORD timeoutMs = INFINITE)
{
    HANDLE stop = static_cast<HANDLE>(RelayStopSignal().Handle());
    HANDLE handles[2] = {event, stop};
    DWORD count = stop ? 2 : 1;
    return WaitForMultipleObjects(count, handles, FALSE, timeoutMs) == WAIT_OBJECT_0;
}

// With flow control off a healthy port drains at line speed; a write that
// takes far longer than that sits in a driver that lost its device.
DWORD DrainLimitMs(std::size_t bytes, DWORD baudRate)
{
    const DWORD rate = std::max<DWORD>(baudRate, 300);
    return static_cast<DWORD>(bytes * 10 * 1000 / rate) + 2000;
}

// The time-outs end every read within count + 500 ms; a read still open well
// after that has a driver that no longer answers (a device half gone).
DWORD ReadWaitLimitMs(int count)
{
    return static_cast<DWORD>(count * kReadTotalMultiplierMs + kReadTotalConstantMs + 2000);
}

BYTE ParityCode(Parity parity)
{
    switch (parity) {
    case Parity::Odd: return ODDPARITY;
    case Parity::Even: return EVENPARITY;
    case Parity::None: break;
    }
    return NOPARITY;
}

BYTE StopBitsCode(StopBits stopBits)
{
    switch (stopBits) {
    case StopBits::OneAndHalf: return ONE5STOPBITS;
    case StopBits::Two: return TWOSTOPBITS;
    case StopBits::One: break;
    }
    return ONESTOPBIT;
}

}  // namespace

struct CSerialCommCls::Port {
    HANDLE hPort = INVALID_HANDLE_VALUE;
    OVERLAPPED readRecord{};
    OVERLAPPED writeRecord{};
    // A write that outlived kWriteWaitMs; the driver still reads writeBuffer.
    bool writePending = false;
    std::vector<std::uint8_t> writeBuffer;
    DWORD baudRate = 0;  // as set at open
};

std::string SerialDevicePath(const std::string& port)
{
    // Without the \\.\ prefix only COM1 to COM9 open; COM10 and up are device
    // names that exist only in the device namespace.
    return "\\\\.\\" + port;
}

CSerialCommCls::CSerialCommCls(std::string port, std::string speed, std::string parity,
                               std::string dataBits, std::string stopBits)
    : m_port(std::make_unique<Port>()),
      m_strPort(std::move(port)),
      m_strSpeed(std::move(speed)),
      m_strParity(std::move(parity)),
      m_strDataBits(std::move(dataBits)),
      m_strStopBits(std::move(stopBits))
{
    m_strDevicePath = SerialDevicePath(m_strPort);
}

CSerialCommCls::~CSerialCommCls()
{
    ReleaseHandles();
}

int CSerialCommCls::Open()
{
    std::lock_guard<std::mutex> lock(m_writeLock);
    return OpenLocked();
}

int CSerialCommCls::Reopen()
{
    std::lock_guard<std::mutex> lock(m_writeLock);
    // The old handle goes first: a port allows one handle at a time, and a
    // replugged USB adapter comes back under the same name only once the
    // stale handle is closed.
    ReleaseHandlesLocked();
    const int result = OpenLocked();
    // A name can open without a device behind it (Wine does that for a port
    // whose device file is gone); only a port that reports its state is back.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (result > 0 && !GetCommState(m_port->hPort, &dcb)) {
        ReleaseHandlesLocked();
        return kSerialOpenFailed;
    }
    return result;
}

int CSerialCommCls::OpenLocked()
{
    ReleaseHandlesLocked();

    std::wstring path = Widen(m_strDevicePath);
    // No sharing: a port that another program holds fails here, which is how
    // the user learns that the terminal is taken.
    HANDLE port = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE)
        return kSerialOpenFailed;
    m_port->hPort = port;
    m_bOpen = true;

    SetupPort();

    m_port->readRecord = OVERLAPPED{};
    m_port->writeRecord = OVERLAPPED{};
    m_port->readRecord.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!m_port->readRecord.hEvent) {
        // Give the port back: a half-open channel would keep the terminal's
        // port busy until the program ends.
        ReleaseHandlesLocked();
        return kSerialReadEventFailed;
    }
    m_port->writeRecord.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!m_port->writeRecord.hEvent) {
        ReleaseHandlesLocked();
        return kSerialWriteEventFailed;
    }

    EscapeCommFunction(port, SETDTR);
    return 1;
}

void CSerialCommCls::SetupPort()
{
    if (!m_bOpen)
        return;
    HANDLE port = m_port->hPort;

    ClearErrors(port);
    SetupComm(port, kQueueSize, kQueueSize);
    PurgeComm(port, kPurgeAll);

    // These time-outs are what cut the terminal's input into bursts: a read
    // ends 100 ms after the last byte, or count + 500 ms after it began.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = kReadIntervalMs;
    timeouts.ReadTotalTimeoutMultiplier = kReadTotalMultiplierMs;
    timeouts.ReadTotalTimeoutConstant = kReadTotalConstantMs;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    SetCommTimeouts(port, &timeouts);

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    // Only change what the driver reported: a failed read would leave a zeroed
    // block, and applying that would be worse than keeping the port as it is.
    if (GetCommState(port, &dcb)) {
        LineSettings line = ParseLineSettings(m_strSpeed, m_strParity, m_strDataBits, m_strStopBits);
        dcb.fBinary = 1;
        dcb.fParity = 1;
        if (line.baudRate)
            dcb.BaudRate = *line.baudRate;
        if (line.parity)
            dcb.Parity = ParityCode(*line.parity);
        if (line.dataBits)
            dcb.ByteSize = static_cast<BYTE>(*line.dataBits);
        if (line.stopBits)
            dcb.StopBits = StopBitsCode(*line.stopBits);
        dcb.fOutxCtsFlow = 0;
        dcb.fOutxDsrFlow = 0;
        // DTR is driven by hand (raised after open, dropped at close) so that
        // the terminal sees the gateway come and go; RTS simply stays up.
        dcb.fDtrControl = DTR_CONTROL_DISABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        dcb.fOutX = 0;
        dcb.fInX = 0;
        // A parity or framing error must not fail the reads that follow (the
        // driver's default may say otherwise): a failed read is how a port
        // that went away shows itself.
        dcb.fAbortOnError = 0;
        dcb.XonLim = kXonLimit;
        dcb.XoffLim = kXoffLimit;
        // Some drivers refuse some settings; the port then keeps what it had,
        // which is still usable for the terminal.
        SetCommState(port, &dcb);
        m_port->baudRate = dcb.BaudRate;
    }

    SetCommMask(port, EV_RXCHAR);
}

int CSerialCommCls::Read(int count, std::uint8_t* dest)
{
    if (!m_bOpen || m_port->hPort == INVALID_HANDLE_VALUE || !dest)
        return kSerialReadFailed;
    count = std::clamp(count, 0, kMaxSerialRead);
    if (count == 0)
        return 0;
    if (RelayStopSignal().IsRaised())
        return kSerialReadFailed;

    HANDLE port = m_port->hPort;
    OVERLAPPED& record = m_port->readRecord;
    SetCommMask(port, EV_RXCHAR);

    std::array<std::uint8_t, kMaxSerialRead> buffer{};
    Rearm(record);
    DWORD transferred = 0;
    if (!ReadFile(port, buffer.data(), static_cast<DWORD>(count), &transferred, &record)) {
        if (GetLastError() != ERROR_IO_PENDING) {
            ClearErrors(port);
            return kSerialReadFailed;
        }
        if (!WaitUnlessStopped(record.hEvent, ReadWaitLimitMs(count))) {
            // The buffer is on this stack: the read must be over before we
            // leave.
            CancelAndReap(port, record);
            return kSerialReadFailed;
        }
    }

    transferred = 0;
    if (!GetOverlappedResult(port, &record, &transferred, FALSE)) {
        // Wine ends a read whose time-outs expired as a failure with
        // ERROR_TIMEOUT; Windows ends it as a success. Both mean "this is all
        // that came", possibly nothing.
        if (GetLastError() != ERROR_TIMEOUT) {
            ClearErrors(port);
            return kSerialReadFailed;
        }
    }
    int got = static_cast<int>(std::min<DWORD>(transferred, static_cast<DWORD>(count)));
    std::memcpy(dest, buffer.data(), static_cast<std::size_t>(got));
    return got;
}

int CSerialCommCls::Write(const std::uint8_t* data, int length)
{
    std::lock_guard<std::mutex> lock(m_writeLock);
    if (!m_bOpen || m_port->hPort == INVALID_HANDLE_VALUE || (!data && length > 0) || length < 0)
        return 0;
    HANDLE port = m_port->hPort;
    OVERLAPPED& record = m_port->writeRecord;

    ClearErrors(port);

    // One record carries one write at a time: let a write that outlived its
    // wait finish first, so the terminal gets every byte in order.
    if (m_port->writePending) {
        if (!WaitUnlessStopped(record.hEvent, DrainLimitMs(m_port->writeBuffer.size(), m_port->baudRate))) {
            CancelAndReap(port, record);
        } else {
            DWORD transferred = 0;
            GetOverlappedResult(port, &record, &transferred, FALSE);
        }
        m_port->writePending = false;
    }

    // The driver reads the bytes until the write completes, which may be
    // after this call returns; keep them in storage of our own.
    m_port->writeBuffer.assign(data, data + length);
    Rearm(record);
    ResetEvent(record.hEvent);

    int result = 0;
    DWORD transferred = 0;
    if (WriteFile(port, m_port->writeBuffer.data(), static_cast<DWORD>(length), &transferred, &record)) {
        result = 1;
    } else if (GetLastError() == ERROR_IO_PENDING) {
        if (WaitForSingleObject(record.hEvent, kWriteWaitMs) == WAIT_OBJECT_0) {
            GetOverlappedResult(port, &record, &transferred, FALSE);
            result = 1;
        } else {
            m_port->writePending = true;
        }
    }

    ClearErrors(port);
    return result;
}

void CSerialCommCls::Close()
{
    if (m_bOpen) {
        m_bOpen = false;
        HANDLE port = m_port->hPort;
        SetCommMask(port, 0);
        EscapeCommFunction(port, CLRDTR);
        PurgeComm(port, kPurgeAll);
    }
    // Give the terminal time to see DTR drop before the port is let go.
    Sleep(kClosePauseMs);
    ReleaseHandles();
}

void CSerialCommCls::ReleaseHandles()
{
    std::lock_guard<std::mutex> lock(m_writeLock);
    ReleaseHandlesLocked();
}

void CSerialCommCls::ReleaseHandlesLocked()
{
    m_bOpen = false;
    if (m_port->hPort != INVALID_HANDLE_VALUE) {
        if (m_port->writePending) {
            CancelAndReap(m_port->hPort, m_port->writeRecord);
            m_port->writePending = false;
        }
        CloseHandle(m_port->hPort);
        m_port->hPort = INVALID_HANDLE_VALUE;
    }
    for (OVERLAPPED* record : {&m_port->readRecord, &m_port->writeRecord}) {
        if (record->hEvent) {
            CloseHandle(record->hEvent);
            record->hEvent = nullptr;
        }
    }
    m_port->writeBuffer.clear();
}

unsigned CSerialCommCls::ReportedBaudRate() const
{
    if (!m_bOpen || m_port->hPort == INVALID_HANDLE_VALUE)
        return 0;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(m_port->hPort, &dcb))
        return 0;
    return dcb.BaudRate;
}

}  // namespace brinvale
