#include "ui/about_dialog.h"

#include <commctrl.h>
#include <shellapi.h>

#include "common/file_version.h"
#include "common/text.h"
#include "res/resource.h"
#include "update/update_server.h"

namespace brinvale {

CAboutDialog* g_pAboutDlg = nullptr;

namespace {

const char* HelpPage(int id)
{
    switch (id) {
    case IDC_LINK_TERMINAL: return "/brinvale/help1.html";
    case IDC_LINK_PROGRAM: return "/brinvale/help2.html";
    case IDC_LINK_SETUP: return "/brinvale/help3.html";
    default: return nullptr;
    }
}

}  // namespace

CAboutDialog::CAboutDialog() : Dialog(IDD_ABOUTBOX) {}

CAboutDialog::~CAboutDialog()
{
    if (m_fontTitle)
        DeleteObject(m_fontTitle);
}

BOOL CAboutDialog::OnInitDialog()
{
    HICON icon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINFRAME));
    SendMessageW(Item(IDC_ABOUT_ICON), STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);

    m_fontTitle = CreateFontW(12, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                              CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, L"굴림체");
    SendMessageW(Item(IDC_ABOUT_TITLE), WM_SETFONT, reinterpret_cast<WPARAM>(m_fontTitle), TRUE);

    SetItemText(IDC_ABOUT_VERSION, FromAnsi(ReadFileVersionText()));
    return TRUE;
}

void CAboutDialog::OnLinkClicked(int id)
{
    if (const char* page = HelpPage(id))
        ShellExecuteW(nullptr, L"open", UpdateServerUrl(page).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

MessageResult CAboutDialog::OnMessage(UINT message, WPARAM, LPARAM lParam)
{
    if (message == WM_NOTIFY) {
        const auto* notice = reinterpret_cast<const NMHDR*>(lParam);
        if (notice->code == NM_CLICK || notice->code == NM_RETURN) {
            OnLinkClicked(static_cast<int>(notice->idFrom));
            return 0;
        }
    }
    return std::nullopt;
}

}  // namespace brinvale
