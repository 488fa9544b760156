// What the installation, the update and the settings ask of the program's
// shell (the main window), and nothing more: they never see the window
// itself, so their flows can be driven by a stand-in.
#pragma once

#include <string>

namespace brinvale {

class AppShell {
public:
    // Ends the program without the exit question (a quit request). From then
    // on the ending copy starts nothing that would outlive it or stand in the
    // way of the copy that follows: no network, no connection to the
    // terminal.
    virtual void QuitWithoutAsking() = 0;
    virtual bool IsQuitting() const = 0;

    // Removes the program at the user's word: the removal script, then the
    // end without asking (the Run value goes too).
    virtual void RemoveProgram() = 0;

    // Switches the traffic log on or off, at once.
    virtual void SetLogging(bool on) = 0;

    // The standard application message box. During an unattended start
    // (automatic connection) it waits until the connection has been made:
    // a message never keeps a till from relaying.
    virtual void ShowMessage(const std::wstring& text) = 0;

protected:
    ~AppShell() = default;
};

}  // namespace brinvale
