// The status window: a small, always-on-top, see-through window in the lower
// right corner that repeats the relay's status while the main window hides.
#pragma once

#include "dialog/dialog.h"
#include "ui/look.h"

namespace brinvale {

class CProgressDlg : public Dialog {
public:
    CProgressDlg();

    void ShowLinkStatus(const std::wstring& text);
    void ShowProgress(const std::wstring& text);
    void ShowTransferState(const std::wstring& text, Colour colour);

    int m_nAlpha = 255;

protected:
    MessageResult OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    BOOL OnInitDialog() override;
    HBRUSH OnCtlColor(HDC dc, HWND control, UINT message) override;

private:
    void OnHScroll(HWND source);
    BOOL OnEraseBackground(HDC dc);
    void PlaceInLowerRightCorner();

    TransferBar m_transfer;
};

extern CProgressDlg* g_pStatusDlg;

}  // namespace brinvale
