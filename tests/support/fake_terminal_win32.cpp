// The terminal's end of the test line under Windows (Wine): the second COM
// port of a pty pair that tests/wine/wine-run.sh maps as COM5 (the gateway's
// end) and COM6 (this end).
#include "support/fake_terminal.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace brinvale::test {

namespace {

std::string PortFromEnvironment(const char* name, const char* fallback)
{
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

std::wstring Widen(const std::string& text)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (n <= 1)
        return {};
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), n);
    wide.resize(static_cast<std::size_t>(n - 1));
    return wide;
}

class Win32Terminal : public FakeTerminal {
public:
    Win32Terminal(HANDLE port, std::string gatewayPort)
        : m_hPort(port), m_gatewayPort(std::move(gatewayPort))
    {
    }

    ~Win32Terminal() override { CloseHandle(m_hPort); }
    Win32Terminal(const Win32Terminal&) = delete;
    Win32Terminal& operator=(const Win32Terminal&) = delete;

    std::string GatewayPort() const override { return m_gatewayPort; }

    void Send(const Bytes& bytes) override
    {
        DWORD written = 0;
        WriteFile(m_hPort, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    }

    Bytes Receive(std::size_t count, int timeoutMs) override
    {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        Bytes received;
        std::uint8_t chunk[4096];
        while (received.size() < count) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                break;
            // Short reads keep the deadline honest: each ends after at most
            // kPollMs, or sooner once bytes stop coming.
            COMMTIMEOUTS timeouts{};
            timeouts.ReadIntervalTimeout = kGapMs;
            timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(std::min<long long>(left, kPollMs));
            SetCommTimeouts(m_hPort, &timeouts);
            DWORD want = static_cast<DWORD>(std::min<std::size_t>(count - received.size(), sizeof chunk));
            DWORD got = 0;
            // Wine reports a read that timed out as a failure (ERROR_TIMEOUT)
            // even when it brought bytes; the count is what matters.
            if (!ReadFile(m_hPort, chunk, want, &got, nullptr) && GetLastError() != ERROR_TIMEOUT)
                break;
            received.insert(received.end(), chunk, chunk + std::min(got, want));
        }
        return received;
    }

private:
    static constexpr int kGapMs = 20;
    static constexpr int kPollMs = 50;

    HANDLE m_hPort;
    std::string m_gatewayPort;
};

}  // namespace

std::unique_ptr<FakeTerminal> FakeTerminal::Create()
{
    std::string gateway = PortFromEnvironment("BRINVALE_TEST_GATEWAY_PORT", "COM5");
    std::string terminal = PortFromEnvironment("BRINVALE_TEST_TERMINAL_PORT", "COM6");

    std::wstring path = Widen("\\\\.\\" + terminal);
    HANDLE port = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port == INVALID_HANDLE_VALUE)
        return nullptr;

    // Raw 8N1 without flow control, as a terminal's line is; this also keeps
    // the pty from translating CR or eating control bytes.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (GetCommState(port, &dcb)) {
        dcb.fBinary = 1;
        dcb.fParity = 0;
        dcb.Parity = NOPARITY;
        dcb.ByteSize = 8;
        dcb.StopBits = ONESTOPBIT;
        dcb.fOutxCtsFlow = 0;
        dcb.fOutxDsrFlow = 0;
        dcb.fDtrControl = DTR_CONTROL_DISABLE;
        dcb.fRtsControl = RTS_CONTROL_DISABLE;
        dcb.fOutX = 0;
        dcb.fInX = 0;
        dcb.fNull = 0;
        SetCommState(port, &dcb);
    }
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 20;
    timeouts.ReadTotalTimeoutConstant = 50;
    timeouts.WriteTotalTimeoutConstant = 2000;
    SetCommTimeouts(port, &timeouts);

    // A line is reused by every test of a run: bytes an earlier test left
    // behind must not reach this one.
    PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    auto line = std::make_unique<Win32Terminal>(port, gateway);
    line->Drain();
    return line;
}

std::unique_ptr<FakeTerminal> FakeTerminal::CreatePluggable()
{
    return nullptr;
}

}  // namespace brinvale::test
