#include <windows.h>

#include "ui/dialog.h"
#include "ui/main_dialog.h"
#include "ui/program_paths.h"
#include "update/download_dialog.h"
#include "update/http_win32.h"
#include "update/update.h"
#include "update/version.h"

#ifndef BRINVALE_UPDATE_HOST
#define BRINVALE_UPDATE_HOST "update.brinvale.invalid"
#endif

namespace brinvale {

std::string g_szUpdateFile;

std::wstring UpdateServerUrl(const char* path)
{
    return L"http://" + FromAnsi(BRINVALE_UPDATE_HOST) + FromAnsi(path);
}

namespace {

// The first line of the version query's reply; empty when the server cannot
// be reached or does not answer within the time-outs.
std::string FetchVersionReply()
{
    HttpGet request(FromAnsi(g_paths.szBaseName).c_str(), INTERNET_OPEN_TYPE_PRECONFIG);
    if (!request.Send(UpdateServerUrl("/brinvale/brinvale_ver.php?app_name=Brinvale")))
        return {};
    FirstLineReader reader;
    char piece[256];
    for (DWORD count; (count = request.Read(piece, sizeof piece)) > 0;) {
        if (!reader.Feed(piece, count))
            break;
    }
    return reader.Line();
}

}  // namespace

int CheckForUpdate(CBrinvaleDlg& mainWindow)
{
    g_szUpdateFile = std::string(g_paths.szInstallFolder) + "\\UpdateFile.sob";
    const std::string reply = FetchVersionReply();
    const std::string ownVersion = ReadFileVersionText(32);

    // An unreachable server, a reply that is no JSON object or lacks one of
    // the three texts: no update, no message, a normal start.
    const std::optional<UpdateOffer> offer = ParseUpdateReply(reply);
    if (!offer || !OffersNewerVersion(*offer, ownVersion) || g_pUpdateDlg)
        return 1;

    mainWindow.m_bShowAllowed = false;
    g_pUpdateDlg = new CUpdateDlg(offer->url);
    if (g_pUpdateDlg->RunDownload() == CUpdateDlg::kComplete)
        StartUpdateAndExit(mainWindow);
    else
        AppMessageBox(L"업데이트 실패");
    mainWindow.m_bShowAllowed = true;
    return 1;
}

}  // namespace brinvale
