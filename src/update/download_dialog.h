// The download window: one line, a progress bar, and a worker thread that
// fetches the new program file into the update file and checks it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/app_shell.h"
#include "dialog/dialog.h"
#include "update/bounded_worker.h"
#include "update/update_file_win32.h"

namespace brinvale {

using UpdateClock = std::chrono::steady_clock;

// How long the window thread waits, once the update's time is up, for a
// worker whose requests it has aborted: Windows ends such a call at once,
// and a check of the whole file takes well under this.
constexpr auto kUpdateAbortGrace = std::chrono::seconds(2);

class CUpdateDlg : public Dialog {
public:
    static constexpr int kNothingToDownload = -1;
    static constexpr int kIncomplete = 0;
    static constexpr int kComplete = 1;

    // url and version as the server offered them; nothing of the download
    // may go on past deadline. The download goes into file, which the
    // application holds to the program's end.
    CUpdateDlg(AppShell& shell, const std::string& url, const std::string& version, UpdateClock::time_point deadline,
               std::shared_ptr<UpdateFile> file);
    ~CUpdateDlg() override;

    // Runs the window until the download has ended, the window was closed
    // or the deadline came, and waits a little for the worker (which is
    // left to end by itself otherwise, with nothing of this window in its
    // hands). Gives kComplete only for a whole download that passed every
    // check of an update.
    int RunDownload();

    // Gives up the update file: closed and deleted (by the worker as it
    // ends, when it was left running).
    void DiscardFile();

protected:
    BOOL OnInitDialog() override;
    MessageResult OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    HBRUSH OnCtlColor(HDC, HWND, UINT) override { return nullptr; }  // the platform's colours

private:
    class Job;

    AppShell& m_shell;
    UpdateClock::time_point m_deadline;
    std::shared_ptr<Job> m_pJob;  // shared with the worker
    std::unique_ptr<BoundedWorker> m_pWorker;
    int m_nResult;
    bool m_bWorkerLeft = false;
};

}  // namespace brinvale
