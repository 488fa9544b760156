// One HTTP GET through WinINet, with time-outs that really apply: Wine (and
// older Windows versions) ignore time-outs set on the session handle, so they
// are set on the request handle. A request can be cancelled from another
// thread (Abort).
#pragma once

#include <windows.h>
#include <wininet.h>

#include <chrono>
#include <functional>
#include <mutex>
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

    // Connects (one attempt per address of the host) and sends the request;
    // false when the server cannot be reached or does not answer in time. A
    // redirect is not followed: it is the answer, with its status.
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

    // From any thread: closes the request's handles, WinINet's way of ending
    // a call that another thread is blocked in, and fails every call after
    // it. (Windows ends the blocked call at once; Wine 8 only when the call
    // would have ended anyway.)
    void Abort();

private:
    // The handle to call with; null once the request has been aborted.
    HINTERNET Current(HINTERNET const& handle) const;
    // Keeps a handle just opened in slot; one opened after an abort is closed
    // at once. False when there is none to keep.
    bool Keep(HINTERNET& slot, HINTERNET handle);
    void SetReceiveTimeout(DWORD timeoutMs);

    // Guards the handles and m_bAborted; never held during a network call.
    mutable std::mutex m_lock;
    HINTERNET m_hSession = nullptr;
    HINTERNET m_hConnection = nullptr;
    HINTERNET m_hRequest = nullptr;
    bool m_bAborted = false;
    DWORD m_timeoutMs;
};

}  // namespace brinvale
