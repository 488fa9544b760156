// The About dialog: the product, its version and three help pages.
#pragma once

#include "dialog/dialog.h"

namespace brinvale {

class CAboutDialog : public Dialog {
public:
    CAboutDialog();
    ~CAboutDialog() override;

protected:
    BOOL OnInitDialog() override;
    MessageResult OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    void OnLinkClicked(int id);

    HFONT m_fontTitle = nullptr;
};

extern CAboutDialog* g_pAboutDlg;

}  // namespace brinvale
