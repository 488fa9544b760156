// The Windows serial device: a COM port opened for overlapped I/O.
//
// Reads and writes each have their own overlapped record and event, so the
// CAT pump can wait in a read while the VAN pump writes. Every wait that could
// last also watches the stop signal, so stopping the relay never waits for the
// terminal, and no wait on the driver, not even for a cancel, is unbounded.
#include "relay/serial_device.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "common/text.h"
#include "relay/serial_channel.h"
#include "relay/wake_signal.h"

namespace brinvale {

namespace {

constexpr DWORD kQueueSize = 50000;
constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr WORD kXonLimit = 2048;
constexpr WORD kXoffLimit = 1024;
constexpr DWORD kClosePauseMs = 100;
// A driver ends a cancelled operation at once (Wine in under a millisecond);
// one that has not within this time ignores the cancel.
constexpr DWORD kCancelWaitMs = 1000;

std::atomic<CancelIoCall> g_cancelIoForTests{nullptr};

void ClearErrors(HANDLE port)
{
    DWORD errors = 0;
    COMSTAT status{};
    ClearCommError(port, &errors, &status);
}

// One overlapped operation: its record, its event and its buffer. Once the
// driver has taken them they are the driver's until it ends the operation.
struct Operation {
    OVERLAPPED record{};
    std::vector<std::uint8_t> buffer;
    bool inFlight = false;
    DWORD giveUpMs = 0;  // of a write left running

    Operation() = default;
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;
    ~Operation()
    {
        if (record.hEvent)
            CloseHandle(record.hEvent);
    }

    // Zeroes the record for the next operation but keeps its event.
    void Rearm()
    {
        HANDLE event = record.hEvent;
        record = OVERLAPPED{};
        record.hEvent = event;
    }
};

// A record with its own event (manual reset, not signalled, unnamed), or
// null when no event can be made.
std::unique_ptr<Operation> MakeOperation()
{
    auto op = std::make_unique<Operation>();
    op->record.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return op->record.hEvent ? std::move(op) : nullptr;
}

void AskToCancel(HANDLE port, OVERLAPPED& record)
{
    if (CancelIoCall call = g_cancelIoForTests.load())
        call(port, &record);
    else
        CancelIoEx(port, &record);
}

// Ends an operation still in flight. The record and buffer may only be
// freed once the driver has let go of them; a driver that ignores the cancel
// keeps them for good (they are left to it, never freed under it) and the
// caller goes on without them: Disconnect and exit never wait on it.
void CancelAndReap(HANDLE port, std::unique_ptr<Operation>& op)
{
    if (!op || !op->inFlight)
        return;
    AskToCancel(port, op->record);
    if (WaitForSingleObject(op->record.hEvent, kCancelWaitMs) == WAIT_OBJECT_0) {
        DWORD transferred = 0;
        GetOverlappedResult(port, &op->record, &transferred, FALSE);
        op->inFlight = false;
        return;
    }
    [[maybe_unused]] Operation* keptByDriver = op.release();
}

// The operation ready for use, made anew if an earlier one was left to the
// driver; null when no event can be made.
Operation* Ready(std::unique_ptr<Operation>& op)
{
    if (!op)
        op = MakeOperation();
    return op.get();
}

// Waits for event or the stop signal; true when event came first within
// timeoutMs.
bool WaitUnlessStopped(HANDLE event, const WakeSignal& stop, DWORD timeoutMs)
{
    HANDLE handles[2] = {event, static_cast<HANDLE>(stop.Handle())};
    const DWORD count = handles[1] ? 2 : 1;
    return WaitForMultipleObjects(count, handles, FALSE, timeoutMs) == WAIT_OBJECT_0;
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

void SetCancelIoCallForTests(CancelIoCall call)
{
    g_cancelIoForTests = call;
}

struct SerialDevice::Handles {
    HANDLE port = INVALID_HANDLE_VALUE;
    std::unique_ptr<Operation> read;
    std::unique_ptr<Operation> write;
};

std::string SerialDevicePath(const std::string& port)
{
    // Without the \\.\ prefix only COM1 to COM9 open; COM10 and up are device
    // names that exist only in the device namespace.
    return "\\\\.\\" + port;
}

SerialDevice::SerialDevice() : m_handles(std::make_unique<Handles>()) {}

SerialDevice::~SerialDevice()
{
    Release();
}

int SerialDevice::Open(const std::string& path)
{
    Release();
    const std::wstring wide = Widen(path);
    // No sharing: a port that another program holds fails here, which is how
    // the user learns that the terminal is taken.
    HANDLE port = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE)
        return kSerialOpenFailed;
    m_handles->port = port;

    // Without its events the port is given back at once: a half-open channel
    // would keep the terminal's port busy until the program ends.
    m_handles->read = MakeOperation();
    if (!m_handles->read) {
        Release();
        return kSerialReadEventFailed;
    }
    m_handles->write = MakeOperation();
    if (!m_handles->write) {
        Release();
        return kSerialWriteEventFailed;
    }
    return 1;
}

void SerialDevice::Configure(const LineSettings& line)
{
    HANDLE port = m_handles->port;
    if (port == INVALID_HANDLE_VALUE)
        return;

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
    }

    SetCommMask(port, EV_RXCHAR);
    EscapeCommFunction(port, SETDTR);
}

bool SerialDevice::Answers() const
{
    // Wine opens a port whose device file is gone; only a port that reports
    // its state is really there.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    return m_handles->port != INVALID_HANDLE_VALUE && GetCommState(m_handles->port, &dcb);
}

int SerialDevice::Read(int count, std::uint8_t* dest, const WakeSignal& stop)
{
    HANDLE port = m_handles->port;
    Operation* op = port == INVALID_HANDLE_VALUE ? nullptr : Ready(m_handles->read);
    if (!op)
        return kSerialReadFailed;
    SetCommMask(port, EV_RXCHAR);

    // The driver fills a buffer of the record's own, so a read it is slow to
    // let go of never writes into a caller's memory.
    op->buffer.assign(static_cast<std::size_t>(count), 0);
    op->Rearm();
    DWORD transferred = 0;
    if (!ReadFile(port, op->buffer.data(), static_cast<DWORD>(count), &transferred, &op->record)) {
        if (GetLastError() != ERROR_IO_PENDING) {
            ClearErrors(port);
            return kSerialReadFailed;
        }
        op->inFlight = true;
        if (!WaitUnlessStopped(op->record.hEvent, stop, ReadWaitLimitMs(count))) {
            CancelAndReap(port, m_handles->read);
            return kSerialReadFailed;
        }
        op->inFlight = false;
    }

    transferred = 0;
    if (!GetOverlappedResult(port, &op->record, &transferred, FALSE)) {
        // Wine ends a read whose time-outs expired as a failure with
        // ERROR_TIMEOUT; Windows ends it as a success. Both mean "this is all
        // that came", possibly nothing.
        if (GetLastError() != ERROR_TIMEOUT) {
            ClearErrors(port);
            return kSerialReadFailed;
        }
    }
    const int got = static_cast<int>(std::min<DWORD>(transferred, static_cast<DWORD>(count)));
    std::memcpy(dest, op->buffer.data(), static_cast<std::size_t>(got));
    return got;
}

int SerialDevice::Write(const std::uint8_t* data, int length, int giveUpMs, const WakeSignal& stop)
{
    HANDLE port = m_handles->port;
    if (port == INVALID_HANDLE_VALUE)
        return 0;
    ClearErrors(port);

    // One record carries one write at a time: let a write that outlived its
    // wait finish first, so the terminal gets every byte in order.
    if (Operation* pending = m_handles->write.get(); pending && pending->inFlight) {
        if (WaitUnlessStopped(pending->record.hEvent, stop, pending->giveUpMs)) {
            DWORD transferred = 0;
            GetOverlappedResult(port, &pending->record, &transferred, FALSE);
            pending->inFlight = false;
        } else {
            CancelAndReap(port, m_handles->write);
        }
    }
    Operation* op = Ready(m_handles->write);
    if (!op)
        return 0;

    // The driver reads the bytes until the write completes, which may be
    // after this call returns; they live in the record's own buffer.
    op->buffer.assign(data, data + length);
    op->Rearm();

    int result = 0;
    DWORD transferred = 0;
    if (WriteFile(port, op->buffer.data(), static_cast<DWORD>(length), &transferred, &op->record)) {
        result = 1;
    } else if (GetLastError() == ERROR_IO_PENDING) {
        if (WaitForSingleObject(op->record.hEvent, kWriteWaitMs) == WAIT_OBJECT_0) {
            GetOverlappedResult(port, &op->record, &transferred, FALSE);
            result = 1;
        } else {
            op->inFlight = true;
            op->giveUpMs = static_cast<DWORD>(std::max(giveUpMs - static_cast<int>(kWriteWaitMs), 0));
        }
    }

    ClearErrors(port);
    return result;
}

void SerialDevice::HangUp()
{
    HANDLE port = m_handles->port;
    if (port == INVALID_HANDLE_VALUE)
        return;
    SetCommMask(port, 0);
    EscapeCommFunction(port, CLRDTR);
    PurgeComm(port, kPurgeAll);
    // Give the terminal time to see DTR drop before the port is let go.
    Sleep(kClosePauseMs);
}

void SerialDevice::Release()
{
    if (m_handles->port != INVALID_HANDLE_VALUE) {
        CancelAndReap(m_handles->port, m_handles->read);
        CancelAndReap(m_handles->port, m_handles->write);
        CloseHandle(m_handles->port);
        m_handles->port = INVALID_HANDLE_VALUE;
    }
    m_handles->read.reset();
    m_handles->write.reset();
}

unsigned SerialDevice::ReportedBaudRate() const
{
    if (m_handles->port == INVALID_HANDLE_VALUE)
        return 0;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(m_handles->port, &dcb))
        return 0;
    return dcb.BaudRate;
}

}  // namespace brinvale
