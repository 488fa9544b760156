#include "update/download_dialog.h"

#include <commctrl.h>

#include "common/text.h"
#include "res/resource.h"
#include "update/http_win32.h"
#include "update/program_image.h"
#include "update/signature.h"
#include "update/update.h"

namespace brinvale {

CUpdateDlg* g_pUpdateDlg = nullptr;

namespace {
// A shop's line may pause for seconds; a server that sends nothing for this
// long has stalled.
constexpr DWORD kStallMs = 15000;
}  // namespace

CUpdateDlg::CUpdateDlg(AppShell& shell, const std::string& url, const std::string& version,
                       UpdateClock::time_point deadline)
    : Dialog(IDD_UPDATE_DIALOG), m_shell(shell), m_strVersion(version), m_deadline(deadline)
{
    m_nResult = SetUrlAndTarget(url);
}

CUpdateDlg::~CUpdateDlg()
{
    m_bStop = true;
    if (m_pThread.joinable())
        m_pThread.join();
}

int CUpdateDlg::SetUrlAndTarget(const std::string& url)
{
    if (url.empty() || g_szUpdateFile.empty())
        return kNothingToDownload;
    m_szUrl = FromAnsi(url.substr(0, 1023));
    m_szTarget = g_szUpdateFile.substr(0, 511);
    return kIncomplete;
}

int CUpdateDlg::RunDownload()
{
    RunModal(nullptr);
    m_bStop = true;
    if (m_pThread.joinable())
        m_pThread.join();
    return m_nResult;
}

BOOL CUpdateDlg::OnInitDialog()
{
    if (m_nResult != kIncomplete) {
        m_shell.ShowMessage(L"업데이트 오류");
        PostMessageW(Handle(), WM_CLOSE, 0, 0);
        return TRUE;
    }
    // The thread keeps its own copy of the handles: the window may be gone
    // (closed by the system) before the thread has ended.
    try {
        m_pThread = std::thread(&CUpdateDlg::DownloadThread, this, Handle(), Item(IDC_UPDATE_PROGRESS));
    } catch (...) {
        PostMessageW(Handle(), WM_CLOSE, 0, 0);  // no thread, no download: a failed update
    }
    return TRUE;
}

void CUpdateDlg::DownloadThread(HWND window, HWND bar) noexcept
{
    // The thread's start: an exception (a failed allocation of the buffers)
    // is a failed download, never the end of the program.
    bool complete = false;
    try {
        complete = Download(bar);
    } catch (...) {
        complete = false;
    }
    m_nResult = complete ? kComplete : kIncomplete;
    PostMessageW(window, WM_CLOSE, 0, 0);
}

// Complete means: the server said 200 and announced a length a program can
// have, that many bytes arrived in time, and the file on disk passed every
// check of an update. An error page, a body of unknown length, a stalled or
// endless transfer are never taken for the program.
bool CUpdateDlg::Download(HWND bar)
{
    // The stall limit is the request's time-out from the start: Wine takes a
    // receive time-out only when the connection is made.
    HttpGet request(L"BRINVALE UPDATE", INTERNET_OPEN_TYPE_DIRECT, kStallMs);
    if (m_bStop || !request.Send(m_szUrl))
        return false;
    const std::optional<unsigned long> total = request.ContentLength();
    if (request.StatusCode() != 200 || !total || *total < kMinProgramSize || *total > kMaxProgramSize)
        return false;

    // Progress goes by posted messages: this thread never waits for the
    // window's thread, which waits for this one when the window closes.
    PostMessageW(bar, PBM_SETRANGE32, 0, static_cast<LPARAM>(*total));
    PostMessageW(bar, PBM_SETPOS, 0, 0);

    if (!m_file.Create(FromAnsi(m_szTarget)))
        return false;
    unsigned long received = 0;
    const HttpGet::BodyEnd end = request.ReadBody(m_deadline, [&](const char* data, DWORD size) {
        if (m_bStop || size > *total - received || !m_file.Write(data, size))
            return false;
        received += size;
        PostMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(received), 0);
        return received < *total;
    });
    if (end == HttpGet::BodyEnd::Failed || received != *total)
        return false;

    const std::optional<std::vector<std::uint8_t>> bytes = m_file.ReadAll(kMaxProgramSize);
    if (!bytes || bytes->size() != *total)
        return false;
    std::optional<std::vector<std::uint8_t>> signature;
    if (UpdatesAreSigned() && !(signature = DownloadSignature()))
        return false;
    return IsInstallableUpdate(*bytes, signature, m_strVersion);
}

// The release's signature, at the program's address followed by ".sig".
std::optional<std::vector<std::uint8_t>> CUpdateDlg::DownloadSignature()
{
    HttpGet request(L"BRINVALE UPDATE", INTERNET_OPEN_TYPE_DIRECT, kHttpTimeoutMs);
    if (m_bStop || !request.Send(m_szUrl + L".sig") || request.StatusCode() != 200)
        return std::nullopt;
    std::vector<std::uint8_t> signature;
    const HttpGet::BodyEnd end = request.ReadBody(m_deadline, [&](const char* data, DWORD size) {
        signature.insert(signature.end(), data, data + size);
        return signature.size() <= kMaxSignatureFile && !m_bStop;
    });
    if (end != HttpGet::BodyEnd::Complete)
        return std::nullopt;
    return signature;
}

MessageResult CUpdateDlg::OnMessage(UINT message, WPARAM, LPARAM)
{
    if (message == WM_DESTROY)
        m_bStop = true;
    return std::nullopt;
}

}  // namespace brinvale
