// The download window: one line, a progress bar, and a worker thread that
// fetches the new program file into the update file.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "ui/dialog.h"

namespace brinvale {

class CUpdateDlg : public Dialog {
public:
    static constexpr int kNothingToDownload = -1;
    static constexpr int kIncomplete = 0;
    static constexpr int kComplete = 1;

    explicit CUpdateDlg(const std::string& url);
    ~CUpdateDlg() override;

    // Runs the window until the download has ended (or the window was
    // closed), then waits for the worker: the object never goes while its
    // thread runs. Gives kComplete only for a whole, successful download.
    int RunDownload();

protected:
    BOOL OnInitDialog() override;
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    HBRUSH OnCtlColor(HDC, HWND, UINT) override { return nullptr; }  // the platform's colours

private:
    int SetUrlAndTarget(const std::string& url);
    void DownloadThread(HWND window, HWND bar);
    bool Download(HWND bar);

    std::wstring m_szUrl;
    std::string m_szTarget;
    std::thread m_pThread;
    std::atomic<int> m_nResult{kIncomplete};
    std::atomic<bool> m_bStop{false};
};

extern CUpdateDlg* g_pUpdateDlg;

}  // namespace brinvale
