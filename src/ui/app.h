// The application: the program's start, in its order, then the main window;
// the process lives exactly as long as the main window's run. It is also the
// shell that installation, update and settings talk to (AppShell), and it
// owns what must outlive them: the relay and the update file.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common/app_shell.h"
#include "relay/relay.h"
#include "update/update_file_win32.h"

namespace brinvale {

class CBrinvaleApp : public AppShell {
public:
    // The start: program paths, one copy per session, the settings, the
    // "/uninstall" switch, the installation and the update check; then the
    // main window, unless the copy is ending by then.
    int Run();

    // AppShell: what installation, update and settings may ask.
    void QuitWithoutAsking() override;
    bool IsQuitting() const override { return m_bQuitting; }
    void RemoveProgram() override;
    void ShowMessage(const std::wstring& text) override;
    void SetLogging(bool on) override { m_relay.SetLogging(on); }

    // The unattended start (automatic connection) is over: the messages held
    // back meanwhile, for the main window to show.
    std::vector<std::wstring> EndUnattendedStart();

private:
    Relay m_relay;
    // The update file, held from its creation (by the download) to the
    // program's end: nobody can change it between its checks and the update
    // script that moves it into place once this program has ended.
    std::shared_ptr<UpdateFile> m_pUpdateFile = std::make_shared<UpdateFile>();
    // Set by any quit request (a second copy, "/uninstall", an installation,
    // an update, the removal): from then on nothing more starts.
    bool m_bQuitting = false;
    // From the start until an automatic connection has been made: messages
    // wait meanwhile, so a box on the screen never keeps a till from relaying.
    bool m_bUnattendedStart = false;
    std::vector<std::wstring> m_heldMessages;
};

}  // namespace brinvale
