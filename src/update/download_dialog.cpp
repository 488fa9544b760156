#include "update/download_dialog.h"

#include <commctrl.h>

#include <algorithm>

#include "common/text.h"
#include "res/resource.h"
#include "update/http_win32.h"
#include "update/program_image.h"
#include "update/signature.h"
#include "update/update.h"
#include "update/update_server.h"
#include "update/update_verify.h"

namespace brinvale {

namespace {
// A shop's line may pause for seconds; a server that sends nothing for this
// long has stalled.
constexpr DWORD kStallMs = 15000;
constexpr UINT_PTR kDeadlineTimer = 1;
}  // namespace

// Everything the download thread works with. The window shares it with the
// thread and may give up on the thread at the deadline, so the thread never
// reaches into the window object.
class CUpdateDlg::Job {
public:
    Job(const std::string& version, UpdateClock::time_point deadline, std::shared_ptr<UpdateFile> file)
        : m_strVersion(version), m_deadline(deadline), m_pFile(std::move(file))
    {
    }

    // kNothingToDownload without a URL or an update file, else kIncomplete.
    int SetUrlAndTarget(const std::string& url);

    // The thread: downloads, checks, leaves the result and closes the window.
    void Run(HWND window, HWND bar);

    // From the window's thread: every request ends as soon as it can; a
    // transfer cut short is incomplete.
    void Abort();

    int Result() const { return m_nResult; }
    void DiscardFile() { m_pFile->Discard(); }

private:
    bool Download(HWND bar);
    std::optional<std::vector<std::uint8_t>> DownloadSignature();

    std::wstring m_szUrl;
    std::string m_szTarget;
    std::string m_strVersion;
    UpdateClock::time_point m_deadline;
    // The stall limit is the program request's time-out from the start: Wine
    // takes a receive time-out only when the connection is made.
    HttpGet m_program{L"BRINVALE UPDATE", INTERNET_OPEN_TYPE_DIRECT, kStallMs};
    HttpGet m_signature{L"BRINVALE UPDATE", INTERNET_OPEN_TYPE_DIRECT, kHttpTimeoutMs};
    std::shared_ptr<UpdateFile> m_pFile;
    std::atomic<int> m_nResult{kIncomplete};
    std::atomic<bool> m_bStop{false};
};

int CUpdateDlg::Job::SetUrlAndTarget(const std::string& url)
{
    if (url.empty())
        return kNothingToDownload;
    m_szUrl = FromAnsi(url.substr(0, 1023));
    m_szTarget = UpdateFilePath().substr(0, 511);
    return kIncomplete;
}

void CUpdateDlg::Job::Run(HWND window, HWND bar)
{
    // An exception (a failed allocation of the download's buffers) is a
    // failed download, never the end of the program.
    bool complete = false;
    try {
        complete = Download(bar);
    } catch (...) {
        complete = false;
    }
    m_nResult = complete ? kComplete : kIncomplete;
    PostMessageW(window, WM_CLOSE, 0, 0);
}

void CUpdateDlg::Job::Abort()
{
    m_bStop = true;
    m_program.Abort();
    m_signature.Abort();
}

// Complete means: the server said 200 and announced a length a program can
// have, that many bytes arrived in time, and the file on disk passed every
// check of an update. An error page, a body of unknown length, a stalled or
// endless transfer are never taken for the program.
bool CUpdateDlg::Job::Download(HWND bar)
{
    if (m_bStop || !m_program.Send(m_szUrl))
        return false;
    const std::optional<unsigned long> total = m_program.ContentLength();
    if (m_program.StatusCode() != 200 || !total || *total < kMinProgramSize || *total > kMaxProgramSize)
        return false;

    // Progress goes by posted messages: this thread never waits for the
    // window's thread, which waits for this one when the window closes.
    PostMessageW(bar, PBM_SETRANGE32, 0, static_cast<LPARAM>(*total));
    PostMessageW(bar, PBM_SETPOS, 0, 0);

    if (!m_pFile->Create(FromAnsi(m_szTarget)))
        return false;
    unsigned long received = 0;
    const HttpGet::BodyEnd end = m_program.ReadBody(m_deadline, [&](const char* data, DWORD size) {
        if (m_bStop || size > *total - received || !m_pFile->Write(data, size))
            return false;
        received += size;
        PostMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(received), 0);
        return received < *total;
    });
    if (end == HttpGet::BodyEnd::Failed || received != *total)
        return false;

    const std::optional<std::vector<std::uint8_t>> bytes = m_pFile->ReadAll(kMaxProgramSize);
    if (!bytes || bytes->size() != *total)
        return false;
    std::optional<std::vector<std::uint8_t>> signature;
    if (UpdatesAreSigned() && !(signature = DownloadSignature()))
        return false;
    return IsInstallableUpdate(*bytes, signature, m_strVersion);
}

// The release's signature, at the program's address followed by ".sig".
std::optional<std::vector<std::uint8_t>> CUpdateDlg::Job::DownloadSignature()
{
    if (m_bStop || !m_signature.Send(m_szUrl + L".sig") || m_signature.StatusCode() != 200)
        return std::nullopt;
    std::vector<std::uint8_t> signature;
    const HttpGet::BodyEnd end = m_signature.ReadBody(m_deadline, [&](const char* data, DWORD size) {
        signature.insert(signature.end(), data, data + size);
        return signature.size() <= kMaxSignatureFile && !m_bStop;
    });
    if (end != HttpGet::BodyEnd::Complete)
        return std::nullopt;
    return signature;
}

CUpdateDlg::CUpdateDlg(AppShell& shell, const std::string& url, const std::string& version,
                       UpdateClock::time_point deadline, std::shared_ptr<UpdateFile> file)
    : Dialog(IDD_UPDATE_DIALOG),
      m_shell(shell),
      m_deadline(deadline),
      m_pJob(std::make_shared<Job>(version, deadline, std::move(file)))
{
    m_nResult = m_pJob->SetUrlAndTarget(url);
}

CUpdateDlg::~CUpdateDlg()
{
    m_pJob->Abort();
}

int CUpdateDlg::RunDownload()
{
    RunModal(nullptr);
    if (!m_pWorker)
        return m_nResult;
    // With its requests aborted the worker ends at once on Windows; one held
    // in a call all the same (a name lookup, Wine's WinINet) is left to end
    // by itself, and then gives up the file.
    m_pJob->Abort();
    if (!m_pWorker->WaitUntil(UpdateClock::now() + kUpdateAbortGrace) &&
        m_pWorker->Abandon([job = m_pJob] { job->DiscardFile(); })) {
        m_bWorkerLeft = true;
        return kIncomplete;
    }
    m_nResult = m_pJob->Result();
    return m_nResult;
}

void CUpdateDlg::DiscardFile()
{
    if (!m_bWorkerLeft)
        m_pJob->DiscardFile();
}

BOOL CUpdateDlg::OnInitDialog()
{
    if (m_nResult != kIncomplete) {
        m_shell.ShowMessage(L"업데이트 오류");
        PostMessageW(Handle(), WM_CLOSE, 0, 0);
        return TRUE;
    }
    // Whatever the server does, the window closes at the deadline.
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - UpdateClock::now()).count();
    SetTimer(Handle(), kDeadlineTimer,
             static_cast<UINT>(std::clamp<long long>(left, USER_TIMER_MINIMUM, 60 * 60 * 1000)), nullptr);
    try {
        m_pWorker = std::make_unique<BoundedWorker>(
            [job = m_pJob, window = Handle(), bar = Item(IDC_UPDATE_PROGRESS)] { job->Run(window, bar); });
    } catch (...) {
        PostMessageW(Handle(), WM_CLOSE, 0, 0);  // no worker, no download: a failed update
    }
    return TRUE;
}

MessageResult CUpdateDlg::OnMessage(UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_TIMER && wParam == kDeadlineTimer) {
        KillTimer(Handle(), kDeadlineTimer);
        m_pJob->Abort();
        EndModal(IDCANCEL);
        return 0;
    }
    if (message == WM_DESTROY)
        m_pJob->Abort();
    return std::nullopt;
}

}  // namespace brinvale
