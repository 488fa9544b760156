// One HTTP GET through WinINet, with time-outs that really apply: Wine (and
// older Windows versions) ignore time-outs set on the session handle, so they
// are set on the request handle.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <optional>
#include <string>

namespace brinvale {

constexpr DWORD kHttpTimeoutMs = 5000;

class HttpGet {
public:
    // timeoutMs bounds the connect, the send and every wait for bytes.
    HttpGet(const wchar_t* agent, DWORD accessType, DWORD timeoutMs = kHttpTimeoutMs);
    ~HttpGet();
    HttpGet(const HttpGet&) = delete;
    HttpGet& operator=(const HttpGet&) = delete;

    // Connects and sends the request; false when the server cannot be
    // reached or does not answer in time.
    bool Send(const std::wstring& url);

    int StatusCode() const;
    std::optional<unsigned long> ContentLength() const;

    // The longest wait for the next bytes from now on.
    void SetReceiveTimeout(DWORD timeoutMs);

    // Waits for bytes (up to the receive time-out), then reads what has come,
    // at most size: the count, 0 at the end of the body, nullopt on failure
    // or when nothing came in time. Taking only what is there keeps every
    // call as short as the time-out, however slowly a server drips.
    std::optional<DWORD> Read(void* buffer, DWORD size);

private:
    HINTERNET m_hSession = nullptr;
    HINTERNET m_hConnection = nullptr;
    HINTERNET m_hRequest = nullptr;
    DWORD m_timeoutMs;
};

}  // namespace brinvale
