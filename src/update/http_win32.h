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
    HttpGet(const wchar_t* agent, DWORD accessType);
    ~HttpGet();
    HttpGet(const HttpGet&) = delete;
    HttpGet& operator=(const HttpGet&) = delete;

    // Connects and sends the request; false when the server cannot be
    // reached or does not answer in time.
    bool Send(const std::wstring& url);

    int StatusCode() const;
    std::optional<unsigned long> ContentLength() const;

    // Bytes read into buffer; 0 at the end of the body or on failure.
    DWORD Read(void* buffer, DWORD size);

private:
    HINTERNET m_hSession = nullptr;
    HINTERNET m_hConnection = nullptr;
    HINTERNET m_hRequest = nullptr;
};

}  // namespace brinvale
