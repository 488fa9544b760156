// The download window: one line, a progress bar, and a worker thread that
// fetches the new program file into the update file and checks it.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "common/app_shell.h"
#include "dialog/dialog.h"
#include "update/update_file_win32.h"

namespace brinvale {

using UpdateClock = std::chrono::steady_clock;

class CUpdateDlg : public Dialog {
public:
    static constexpr int kNothingToDownload = -1;
    static constexpr int kIncomplete = 0;
    static constexpr int kComplete = 1;

    // url and version as the server offered them; nothing of the download
    // may go on past deadline.
    CUpdateDlg(AppShell& shell, const std::string& url, const std::string& version, UpdateClock::time_point deadline);
    ~CUpdateDlg() override;

    // Runs the window until the download has ended (or the window was
    // closed), then waits for the worker: the object never goes while its
    // thread runs. Gives kComplete only for a whole download that passed
    // every check of an update (CheckUpdateFile).
    int RunDownload();

    // Gives up the update file: closed and deleted.
    void DiscardFile() { m_file.Discard(); }

protected:
    BOOL OnInitDialog() override;
    MessageResult OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    HBRUSH OnCtlColor(HDC, HWND, UINT) override { return nullptr; }  // the platform's colours

private:
    int SetUrlAndTarget(const std::string& url);
    void DownloadThread(HWND window, HWND bar) noexcept;
    bool Download(HWND bar);
    std::optional<std::vector<std::uint8_t>> DownloadSignature();

    AppShell& m_shell;
    std::wstring m_szUrl;
    std::string m_szTarget;
    std::string m_strVersion;
    UpdateClock::time_point m_deadline;
    UpdateFile m_file;
    std::thread m_pThread;
    std::atomic<int> m_nResult{kIncomplete};
    std::atomic<bool> m_bStop{false};
};

extern CUpdateDlg* g_pUpdateDlg;

}  // namespace brinvale
