#include "ui/look.h"

namespace brinvale {

CGlobal g_global;

TransferBar::~TransferBar()
{
    if (m_fontTransfer)
        DeleteObject(m_fontTransfer);
}

void TransferBar::Attach(HWND dialog)
{
    m_crTransfer = kOkColour;
    HWND bar = GetDlgItem(dialog, m_nBarId);
    GetWindowRect(bar, &m_rcTransfer);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&m_rcTransfer), 2);
    if (!m_fontTransfer) {
        m_fontTransfer = CreateFontW(20, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                     DEFAULT_PITCH | FF_SWISS, L"Arial");
    }
    SendMessageW(bar, WM_SETFONT, reinterpret_cast<WPARAM>(m_fontTransfer), TRUE);
}

void TransferBar::SetState(HWND dialog, const std::wstring& text, Colour colour)
{
    SetDlgItemTextW(dialog, m_nLabelId, text.c_str());
    m_crTransfer = colour;
    // The bar and its label are child windows: invalidating the dialog alone
    // would leave them showing the old colour and text.
    RedrawWindow(dialog, &m_rcTransfer, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN);
}

HBRUSH TransferBar::CtlColor(HDC dc, HWND control, HBRUSH background) const
{
    const int id = GetDlgCtrlID(control);
    if (id == m_nBarId) {
        SetBkColor(dc, m_crTransfer);
        SetBkMode(dc, OPAQUE);
        return background;
    }
    if (id == m_nLabelId) {
        SetTextColor(dc, RGB(255, 255, 255));
        SetBkMode(dc, TRANSPARENT);
        return static_cast<HBRUSH>(GetStockObject(NULL_BRUSH));
    }
    return nullptr;
}

}  // namespace brinvale
