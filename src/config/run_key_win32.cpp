#include "config/run_key.h"

#include <windows.h>

#include "common/program_paths.h"
#include "common/text.h"

namespace brinvale {

namespace {

class RegistryKey {
public:
    RegistryKey() = default;
    ~RegistryKey()
    {
        if (m_hKey)
            RegCloseKey(m_hKey);
    }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    HKEY* Out() { return &m_hKey; }
    HKEY Get() const { return m_hKey; }

private:
    HKEY m_hKey = nullptr;
};

}  // namespace

int ReadUserRegistryString(const char* subkey, const char* valueName, std::string& out)
{
    RegistryKey key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, FromAnsi(subkey).c_str(), 0, nullptr, 0, KEY_READ, nullptr, key.Out(),
                        nullptr) != ERROR_SUCCESS)
        return 0;
    BYTE data[1024 + sizeof(wchar_t)] = {};
    DWORD size = 1024;
    if (RegQueryValueExW(key.Get(), FromAnsi(valueName).c_str(), nullptr, nullptr, data, &size) != ERROR_SUCCESS) {
        out.assign(1, ' ');
        return 0;
    }
    out = ToAnsi(reinterpret_cast<const wchar_t*>(data)).substr(0, 1023);
    return 1;
}

int SetRunValue(const std::string& command)
{
    const std::wstring data = FromAnsi(command);
    // The value ends at the second double quote; a command without two quotes
    // (no caller passes one) is stored whole rather than cut anywhere.
    std::size_t end = data.size();
    const std::size_t first = data.find(L'"');
    if (first != std::wstring::npos) {
        const std::size_t second = data.find(L'"', first + 1);
        if (second != std::wstring::npos)
            end = second + 1;
    }
    RegistryKey key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, FromAnsi(kRunKey).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.Out(),
                        nullptr) != ERROR_SUCCESS)
        return 0;
    const std::wstring name = FromAnsi(g_paths.szBaseName);
    const std::wstring value = data.substr(0, end);
    if (RegSetValueExW(key.Get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>(value.size() * sizeof(wchar_t))) != ERROR_SUCCESS)
        return 0;
    return 1;
}

int DeleteRunValue()
{
    RegistryKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, FromAnsi(kRunKey).c_str(), 0, KEY_ALL_ACCESS, key.Out()) != ERROR_SUCCESS)
        return 0;
    return RegDeleteValueW(key.Get(), FromAnsi(g_paths.szBaseName).c_str()) == ERROR_SUCCESS ? 1 : 0;
}

std::string RunCommandForThisProgram()
{
    std::string command(1, '"');
    command.append(ProgramFullPath()).push_back('"');
    return command;
}

}  // namespace brinvale
