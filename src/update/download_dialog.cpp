#include "update/download_dialog.h"

#include <commctrl.h>

#include <cstdio>

#include "res/resource.h"
#include "update/http_win32.h"
#include "update/update.h"

namespace brinvale {

CUpdateDlg* g_pUpdateDlg = nullptr;

namespace {
constexpr int kEmptyReadsAllowed = 10;
constexpr DWORD kPieceSize = 1024;
}  // namespace

CUpdateDlg::CUpdateDlg(const std::string& url) : Dialog(IDD_UPDATE_DIALOG)
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
        AppMessageBox(L"업데이트 오류");
        PostMessageW(Handle(), WM_CLOSE, 0, 0);
        return TRUE;
    }
    // The thread keeps its own copy of the handles: the window may be gone
    // (closed by the system) before the thread has ended.
    m_pThread = std::thread(&CUpdateDlg::DownloadThread, this, Handle(), Item(IDC_UPDATE_PROGRESS));
    return TRUE;
}

void CUpdateDlg::DownloadThread(HWND window, HWND bar)
{
    m_nResult = Download(bar) ? kComplete : kIncomplete;
    PostMessageW(window, WM_CLOSE, 0, 0);
}

// Complete means: the server said 200, announced the length, and that many
// bytes arrived. An error page or a body of unknown length is never taken
// for the program.
bool CUpdateDlg::Download(HWND bar)
{
    HttpGet request(L"BRINVALE UPDATE", INTERNET_OPEN_TYPE_DIRECT);
    if (!request.Send(m_szUrl))
        return false;
    const std::optional<unsigned long> total = request.ContentLength();
    if (request.StatusCode() != 200 || !total)
        return false;

    // Progress goes by posted messages: this thread never waits for the
    // window's thread, which waits for this one when the window closes.
    PostMessageW(bar, PBM_SETRANGE32, 0, static_cast<LPARAM>(*total));
    PostMessageW(bar, PBM_SETPOS, 0, 0);

    std::FILE* file = _wfopen(FromAnsi(m_szTarget).c_str(), L"wb");
    if (!file)
        return false;
    unsigned long received = 0;
    bool writeFailed = false;
    int emptyReads = kEmptyReadsAllowed;
    char piece[kPieceSize];
    while (!m_bStop) {
        const DWORD count = request.Read(piece, kPieceSize);
        if (count > 0 && std::fwrite(piece, 1, count, file) != count)
            writeFailed = true;
        received += count;
        PostMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(received), 0);
        if (count == 0 && --emptyReads == 0)
            break;
        if (received >= *total && count == 0)
            break;
    }
    writeFailed |= std::fclose(file) != 0;
    return !writeFailed && received == *total;
}

INT_PTR CUpdateDlg::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY)
        m_bStop = true;
    return Dialog::HandleMessage(message, wParam, lParam);
}

}  // namespace brinvale
