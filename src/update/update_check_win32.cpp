#include <windows.h>

#include "common/file_version.h"
#include "common/program_paths.h"
#include "common/text.h"
#include "update/download_dialog.h"
#include "update/http_win32.h"
#include "install/install_folder.h"
#include "update/update.h"
#include "update/version.h"

namespace brinvale {

std::string g_szUpdateFile;

namespace {

// However the server and the line behave, start-up waits no longer than
// this for an update: the query's own time-outs, then the download and its
// checks in what is left.
constexpr auto kUpdateTimeLimit = std::chrono::seconds(60);

// The first line of the version query's reply; empty when the server cannot
// be reached or does not answer within the time-outs.
std::string FetchVersionReply(UpdateClock::time_point deadline)
{
    HttpGet request(FromAnsi(g_paths.szBaseName).c_str(), INTERNET_OPEN_TYPE_PRECONFIG);
    if (!request.Send(UpdateServerUrl("/brinvale/brinvale_ver.php?app_name=Brinvale")))
        return {};
    FirstLineReader reader;
    request.ReadBody(deadline, [&](const char* data, DWORD size) { return reader.Feed(data, size); });
    return reader.Line();
}

}  // namespace

int CheckForUpdate(AppShell& shell)
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
    g_szUpdateFile = std::string(g_paths.szInstallFolder) + "\\UpdateFile.sob";
    const std::string reply = FetchVersionReply(deadline);
    const std::string ownVersion = ReadFileVersionText(32);

    // An unreachable server, a reply that is no JSON object or lacks one of
    // the three texts: no update, no message, a normal start.
    const std::optional<UpdateOffer> offer = ParseUpdateReply(reply);
    if (!offer || !OffersNewerVersion(*offer, ownVersion) || g_pUpdateDlg)
        return 1;

    shell.AllowShowing(false);
    g_pUpdateDlg = new CUpdateDlg(shell, offer->url, offer->version, deadline);
    if (g_pUpdateDlg->RunDownload() != CUpdateDlg::kComplete || !StartUpdateAndExit(shell)) {
        g_pUpdateDlg->DiscardFile();
        shell.ShowMessage(L"업데이트 실패");
    }
    shell.AllowShowing(true);
    return 1;
}

}  // namespace brinvale
