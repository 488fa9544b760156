#include "update/http_win32.h"

#include <algorithm>
#include <cwchar>

namespace brinvale {

namespace {

// Every wait bounded by the time-out, and one connection attempt per address
// of the host: WinINet's default of five would make a connect that runs into
// its time-out five times as long. (A null handle would set these for the
// whole process.)
void SetLimits(HINTERNET handle, DWORD timeout)
{
    if (!handle)
        return;
    for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT})
        InternetSetOptionW(handle, option, &timeout, sizeof timeout);
    DWORD attempts = 1;
    InternetSetOptionW(handle, INTERNET_OPTION_CONNECT_RETRIES, &attempts, sizeof attempts);
}

void Close(HINTERNET& handle)
{
    if (handle)
        InternetCloseHandle(handle);
    handle = nullptr;
}

}  // namespace

HttpGet::HttpGet(const wchar_t* agent, DWORD accessType, DWORD timeoutMs)
    : m_hSession(InternetOpenW(agent, accessType, nullptr, nullptr, 0)), m_timeoutMs(timeoutMs)
{
    SetLimits(m_hSession, m_timeoutMs);
}

HttpGet::~HttpGet()
{
    Abort();
}

void HttpGet::Abort()
{
    std::lock_guard lock(m_lock);
    m_bAborted = true;
    Close(m_hRequest);
    Close(m_hConnection);
    Close(m_hSession);
}

HINTERNET HttpGet::Current(HINTERNET const& handle) const
{
    std::lock_guard lock(m_lock);
    return m_bAborted ? nullptr : handle;
}

bool HttpGet::Keep(HINTERNET& slot, HINTERNET handle)
{
    std::lock_guard lock(m_lock);
    if (m_bAborted)
        Close(handle);
    slot = handle;
    return handle != nullptr;
}

bool HttpGet::Send(const std::wstring& url)
{
    HINTERNET session = Current(m_hSession);
    if (!session)
        return false;
    wchar_t host[256] = {};
    wchar_t path[2048] = {};
    URL_COMPONENTSW parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = 2048;
    if (!InternetCrackUrlW(url.c_str(), 0, 0, &parts))
        return false;
    // The query string comes with the path when no extra-info buffer is given.
    // Redirects are not followed: the update server is fixed at build time
    // and names every file by its whole address itself, so a redirect could
    // only come from something in between, and each hop would be one more
    // connection and wait.
    const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI |
                        INTERNET_FLAG_NO_AUTO_REDIRECT |
                        (parts.nScheme == INTERNET_SCHEME_HTTPS ? INTERNET_FLAG_SECURE : 0);
    if (!Keep(m_hConnection,
              InternetConnectW(session, host, parts.nPort, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0)))
        return false;
    if (!Keep(m_hRequest, HttpOpenRequestW(Current(m_hConnection), L"GET", path[0] ? path : L"/", nullptr, nullptr,
                                           nullptr, flags, 0)))
        return false;
    HINTERNET request = Current(m_hRequest);
    SetLimits(request, m_timeoutMs);
    return request && HttpSendRequestW(request, nullptr, 0, nullptr, 0) != FALSE;
}

int HttpGet::StatusCode() const
{
    DWORD status = 0;
    DWORD size = sizeof status;
    HINTERNET request = Current(m_hRequest);
    if (!request || !HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr))
        return 0;
    return static_cast<int>(status);
}

std::optional<unsigned long> HttpGet::ContentLength() const
{
    wchar_t text[32] = {};
    DWORD size = sizeof text;
    HINTERNET request = Current(m_hRequest);
    if (!request || !HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr))
        return std::nullopt;
    wchar_t* end = nullptr;
    const unsigned long length = std::wcstoul(text, &end, 10);
    if (end == text)
        return std::nullopt;
    return length;
}

void HttpGet::SetReceiveTimeout(DWORD timeoutMs)
{
    if (HINTERNET request = Current(m_hRequest))
        InternetSetOptionW(request, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeoutMs, sizeof timeoutMs);
}

HttpGet::BodyEnd HttpGet::ReadBody(std::chrono::steady_clock::time_point deadline, const BodySink& sink)
{
    using std::chrono::milliseconds;
    char piece[1024];
    for (;;) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            return BodyEnd::Failed;
        SetReceiveTimeout(static_cast<DWORD>(std::min<long long>(left, m_timeoutMs)));
        HINTERNET request = Current(m_hRequest);
        DWORD available = 0;
        if (!request || !InternetQueryDataAvailable(request, &available, 0, 0))
            return BodyEnd::Failed;
        if (available == 0)
            return BodyEnd::Complete;
        DWORD got = 0;
        if (!InternetReadFile(request, piece, std::min<DWORD>(available, sizeof piece), &got) || got == 0)
            return BodyEnd::Failed;
        if (!sink(piece, got))
            return BodyEnd::Enough;
    }
}

}  // namespace brinvale
