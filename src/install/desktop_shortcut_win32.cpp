#include "install/desktop_shortcut.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include "common/program_paths.h"
#include "common/text.h"
#include "config/run_key.h"

namespace brinvale {

namespace {

class ComSession {
public:
    ComSession() { CoInitialize(nullptr); }
    ~ComSession() { CoUninitialize(); }
    ComSession(const ComSession&) = delete;
    ComSession& operator=(const ComSession&) = delete;
};

template <typename Interface>
class ComPtr {
public:
    ComPtr() = default;
    ~ComPtr()
    {
        if (m_p)
            m_p->Release();
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    Interface** Out() { return &m_p; }
    Interface* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }

private:
    Interface* m_p = nullptr;
};

}  // namespace

std::string DesktopFolder()
{
    std::string folder;
    if (ReadUserRegistryString("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", "Desktop",
                               folder) != 1)
        return {};
    return folder;
}

std::string ShortcutFileName()
{
    return std::string(g_paths.szBaseName) + ".lnk";
}

std::string ShortcutFilePath()
{
    const std::string folder = DesktopFolder();
    return folder.empty() ? std::string() : folder + "\\" + ShortcutFileName();
}

void DeleteShortcut()
{
    const std::string shortcut = ShortcutFilePath();
    if (!shortcut.empty())
        DeleteFileW(FromAnsi(shortcut).c_str());
}

int CreateDesktopShortcut(AppShell& shell, const std::string& target, const std::string& folder,
                          const std::string& name)
{
    const std::wstring targetPath = FromAnsi(target);
    const std::wstring linkPath = FromAnsi(folder + "\\" + name);
    // The shell link keeps paths of MAX_PATH characters; a longer one is left
    // out rather than saved cut short.
    if (targetPath.size() >= MAX_PATH || linkPath.size() >= MAX_PATH)
        return 0;

    ComSession com;
    ComPtr<IShellLinkW> link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(link.Out()))))
        return 0;
    link->SetPath(targetPath.c_str());
    link->SetWorkingDirectory(targetPath.substr(0, targetPath.find_last_of(L'\\')).c_str());
    ComPtr<IPersistFile> file;
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(file.Out())))) {
        if (file->Save(linkPath.c_str(), TRUE) != S_OK)
            shell.ShowMessage(L"바로가기 생성 오류가 발생하였습니다.");
    }
    return 1;
}

}  // namespace brinvale
