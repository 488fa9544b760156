#include "ui/status_mailbox.h"

#include <utility>

#include "common/text.h"

namespace brinvale {

StatusMailbox::StatusMailbox(HWND target, Apply apply)
    : m_hTarget(target), m_uiThread(GetCurrentThreadId()), m_apply(std::move(apply))
{
}

template <typename Fill>
void StatusMailbox::Store(Fill fill)
{
    if (GetCurrentThreadId() == m_uiThread) {
        StatusUpdate now;
        fill(now);
        {
            // Anything a pump left for the same output is older than this.
            std::lock_guard lock(m_lock);
            if (now.link)
                m_pending.link.reset();
            if (now.progress)
                m_pending.progress.reset();
            if (now.transferText)
                m_pending.transferText.reset();
        }
        m_apply(now);
        return;
    }
    std::lock_guard lock(m_lock);
    fill(m_pending);
    if (!m_bPosted)
        m_bPosted = PostMessageW(m_hTarget, WM_APP_STATUS, 0, 0) != FALSE;
}

void StatusMailbox::OnLinkStatus(std::string_view text)
{
    Store([&](StatusUpdate& update) { update.link = Widen(text); });
}

void StatusMailbox::OnProgressText(std::string_view text)
{
    Store([&](StatusUpdate& update) { update.progress = Widen(text); });
}

void StatusMailbox::OnTransferState(std::string_view text, Colour colour)
{
    Store([&](StatusUpdate& update) {
        update.transferText = Widen(text);
        update.transferColour = colour;
    });
}

void StatusMailbox::Deliver()
{
    StatusUpdate update;
    {
        std::lock_guard lock(m_lock);
        update = std::exchange(m_pending, StatusUpdate{});
        m_bPosted = false;
    }
    m_apply(update);
}

}  // namespace brinvale
