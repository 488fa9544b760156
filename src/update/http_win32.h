// One HTTP GET through WinINet, with time-outs that really apply: Wine (and
// older Windows versions) ignore time-outs set on the session handle, so they
// are set on the request handle.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <chrono>
#include <functional>
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

    // Takes a piece of the body; false when no more is wanted.
    using BodySink = std::function<bool(const char* data, DWORD size)>;
    enum class BodyEnd { Complete, Enough, Failed };

    // Hands the body to sink piece by piece until its end (Complete), until
    // sink wants no more (Enough), or until a failure, a wait for bytes
    // longer than the request's time-out, or the deadline (Failed). Only what has arrived is
    // taken at each step, so however slowly a server drips, no call runs
    // past the deadline by more than one wait. (Under Wine every wait is the
    // time-out the request was made with.)
    BodyEnd ReadBody(std::chrono::steady_clock::time_point deadline, const BodySink& sink);

private:
    HINTERNET m_hSession = nullptr;
    HINTERNET m_hConnection = nullptr;
    HINTERNET m_hRequest = nullptr;
    DWORD m_timeoutMs;

    void SetReceiveTimeout(DWORD timeoutMs);
};

}  // namespace brinvale
