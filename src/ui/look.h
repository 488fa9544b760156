// The look the windows share: the background colour and the transfer-state
// bar (a coloured band with a white label over it).
#pragma once

#include <windows.h>

#include <string>

#include "relay/relay_state.h"

namespace brinvale {

class CGlobal {
public:
    virtual ~CGlobal() = default;
    COLORREF crBackground = RGB(255, 255, 255);
};

extern CGlobal g_global;

// The bar control's text is a row of blanks; drawn with the bar colour as
// text background in a 20-unit font, it becomes a coloured band.
class TransferBar {
public:
    TransferBar(int barId, int labelId) : m_nBarId(barId), m_nLabelId(labelId) {}
    ~TransferBar();
    TransferBar(const TransferBar&) = delete;
    TransferBar& operator=(const TransferBar&) = delete;

    // Takes the bar's rectangle and gives it its font; at window start-up.
    void Attach(HWND dialog);

    // Label text and bar colour; repaints the bar at once.
    void SetState(HWND dialog, const std::wstring& text, Colour colour);

    // The colours of the bar and its label; null for any other control.
    HBRUSH CtlColor(HDC dc, HWND control, HBRUSH background) const;

    Colour m_crTransfer = kOkColour;
    RECT m_rcTransfer{};

private:
    int m_nBarId;
    int m_nLabelId;
    HFONT m_fontTransfer = nullptr;
};

}  // namespace brinvale
