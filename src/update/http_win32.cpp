#include "update/http_win32.h"

#include <algorithm>
#include <cwchar>

namespace brinvale {

namespace {

void SetTimeouts(HINTERNET handle, DWORD timeout)
{
    for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT})
        InternetSetOptionW(handle, option, &timeout, sizeof timeout);
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
    if (m_hSession)
        SetTimeouts(m_hSession, m_timeoutMs);
}

HttpGet::~HttpGet()
{
    Close(m_hRequest);
    Close(m_hConnection);
    Close(m_hSession);
}

bool HttpGet::Send(const std::wstring& url)
{
    if (!m_hSession)
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
    const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI |
                        (parts.nScheme == INTERNET_SCHEME_HTTPS ? INTERNET_FLAG_SECURE : 0);
    m_hConnection = InternetConnectW(m_hSession, host, parts.nPort, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
    if (!m_hConnection)
        return false;
    m_hRequest = HttpOpenRequestW(m_hConnection, L"GET", path[0] ? path : L"/", nullptr, nullptr, nullptr, flags, 0);
    if (!m_hRequest)
        return false;
    SetTimeouts(m_hRequest, m_timeoutMs);
    return HttpSendRequestW(m_hRequest, nullptr, 0, nullptr, 0) != FALSE;
}

int HttpGet::StatusCode() const
{
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!m_hRequest ||
        !HttpQueryInfoW(m_hRequest, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr))
        return 0;
    return static_cast<int>(status);
}

std::optional<unsigned long> HttpGet::ContentLength() const
{
    wchar_t text[32] = {};
    DWORD size = sizeof text;
    if (!m_hRequest || !HttpQueryInfoW(m_hRequest, HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr))
        return std::nullopt;
    wchar_t* end = nullptr;
    const unsigned long length = std::wcstoul(text, &end, 10);
    if (end == text)
        return std::nullopt;
    return length;
}

void HttpGet::SetReceiveTimeout(DWORD timeoutMs)
{
    InternetSetOptionW(m_hRequest, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeoutMs, sizeof timeoutMs);
}

HttpGet::BodyEnd HttpGet::ReadBody(std::chrono::steady_clock::time_point deadline, const BodySink& sink)
{
    using std::chrono::milliseconds;
    if (!m_hRequest)
        return BodyEnd::Failed;
    char piece[1024];
    for (;;) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            return BodyEnd::Failed;
        SetReceiveTimeout(static_cast<DWORD>(std::min<long long>(left, m_timeoutMs)));
        DWORD available = 0;
        if (!InternetQueryDataAvailable(m_hRequest, &available, 0, 0))
            return BodyEnd::Failed;
        if (available == 0)
            return BodyEnd::Complete;
        DWORD got = 0;
        if (!InternetReadFile(m_hRequest, piece, std::min<DWORD>(available, sizeof piece), &got) || got == 0)
            return BodyEnd::Failed;
        if (!sink(piece, got))
            return BodyEnd::Enough;
    }
}

}  // namespace brinvale
