#include "update/update.h"

#include <windows.h>

#include "common/file_version.h"
#include "common/program_paths.h"
#include "common/text.h"
#include "install/install_folder.h"
#include "install/script_files.h"
#include "install/scripts.h"
#include "update/bounded_worker.h"
#include "update/download_dialog.h"
#include "update/http_win32.h"
#include "update/update_server.h"
#include "update/version.h"

namespace brinvale {

namespace {

// However the server and the line behave, start-up waits no longer than
// this for an update: the query's own time-outs, then the download and its
// checks in what is left.
constexpr auto kUpdateTimeLimit = std::chrono::seconds(60);

// The version query and its reply, shared with the thread that asks.
struct VersionQuery {
    explicit VersionQuery(const std::wstring& agent) : request(agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG) {}
    HttpGet request;
    FirstLineReader reader;
};

// The first line of the version query's reply; empty when the server cannot
// be reached or does not answer within the time-outs. The query runs off
// this thread, which waits no longer than the deadline: a server that drips
// its headers would hold the request's own calls for as long as it likes.
std::string FetchVersionReply(UpdateClock::time_point deadline)
{
    auto query = std::make_shared<VersionQuery>(FromAnsi(g_paths.szBaseName));
    BoundedWorker worker([query, deadline, url = UpdateServerUrl("/brinvale/brinvale_ver.php?app_name=Brinvale")] {
        if (query->request.Send(url))
            query->request.ReadBody(deadline,
                                    [&](const char* data, DWORD size) { return query->reader.Feed(data, size); });
    });
    if (worker.WaitUntil(deadline))
        return query->reader.Line();
    // The update's time is up: no offer. A thread still held in a call ends
    // by itself once the call does.
    query->request.Abort();
    return {};
}

}  // namespace

std::string UpdateFilePath()
{
    return std::string(g_paths.szInstallFolder) + "\\UpdateFile.sob";
}

int CheckForUpdate(AppShell& shell, std::shared_ptr<UpdateFile> updateFile)
{
    // A copy that is ending (a second copy, an installation, "/uninstall")
    // leaves the server alone: its successor may be starting right now, and
    // must not find it still running.
    if (shell.IsQuitting() || !AsksForUpdates())
        return 1;
    // The update file and the script that puts it in place go into the
    // install folder: only into one that is the user's alone.
    if (!PrepareInstallFolder(FromAnsi(g_paths.szInstallFolder)))
        return 1;
    const UpdateClock::time_point deadline = UpdateClock::now() + kUpdateTimeLimit;
    const std::string reply = FetchVersionReply(deadline);
    const std::string ownVersion = ReadFileVersionText(32);

    // An unreachable server, a reply that is no JSON object or lacks one of
    // the three texts: no update, no message, a normal start.
    const std::optional<UpdateOffer> offer = ParseUpdateReply(reply);
    if (!offer || !OffersNewerVersion(*offer, ownVersion))
        return 1;

    CUpdateDlg download(shell, offer->url, offer->version, deadline, std::move(updateFile));
    if (download.RunDownload() != CUpdateDlg::kComplete || !StartUpdateAndExit(shell)) {
        download.DiscardFile();
        shell.ShowMessage(L"업데이트 실패");
    }
    return 1;
}

bool StartUpdateAndExit(AppShell& shell)
{
    const std::optional<std::string> text =
        UpdateScriptText(UpdateFilePath(), g_paths.szInstallFolder, g_paths.szProgramFileName);
    if (!text)
        return false;
    // The program in place is kept beside it until the new one has taken its
    // place; the script puts it back if the move fails.
    const std::string installedPath = InstalledProgramPath();
    const std::wstring installed = FromAnsi(installedPath);
    const std::wstring backup = FromAnsi(UpdateBackupPath(installedPath));
    if (GetFileAttributesW(installed.c_str()) == INVALID_FILE_ATTRIBUTES)
        DeleteFileW(backup.c_str());  // nothing to keep; an old one must not come back
    else if (!CopyFileW(installed.c_str(), backup.c_str(), FALSE))
        return false;
    if (!WriteAndStartScript(kUpdateScriptName, *text)) {
        DeleteFileW(backup.c_str());
        return false;
    }
    shell.QuitWithoutAsking();
    return true;
}

}  // namespace brinvale
