#include <windows.h>

#include <memory>

#include "common/file_version.h"
#include "common/program_paths.h"
#include "common/text.h"
#include "update/bounded_worker.h"
#include "update/download_dialog.h"
#include "update/http_win32.h"
#include "update/update.h"
#include "update/version.h"

namespace brinvale {

std::string g_szUpdateFile;

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

int CheckForUpdate(AppShell& shell)
{
    // A copy that is ending (a second copy, an installation, "/uninstall")
    // leaves the server alone: its successor may be starting right now, and
    // must not find it still running.
    if (shell.IsQuitting())
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
