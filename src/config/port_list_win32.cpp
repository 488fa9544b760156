#include "config/port_list.h"

#include <algorithm>

#include "config/settings.h"

namespace brinvale {

std::vector<std::wstring> DiscoverPorts()
{
    std::vector<std::wstring> ports;
    // Read access is all the map needs; asking for more makes the open fail
    // for every standard user, who would then only ever see COM1 to COM20.
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return ports;
    for (DWORD index = 0;; ++index) {
        wchar_t name[260];
        DWORD nameChars = 260;
        BYTE data[260 + sizeof(wchar_t)] = {};
        DWORD dataBytes = 260;
        if (RegEnumValueW(key, index, name, &nameChars, nullptr, nullptr, data, &dataBytes) != ERROR_SUCCESS)
            break;
        ports.emplace_back(reinterpret_cast<const wchar_t*>(data));
    }
    RegCloseKey(key);
    return ports;
}

void FillPortList(HWND list)
{
    std::vector<std::wstring> ports = DiscoverPorts();
    if (ports.empty())
        ports = FallbackPorts();
    for (const std::wstring& port : ports)
        SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(port.c_str()));
}

void FillSpeedList(HWND list)
{
    for (const wchar_t* speed : kSpeedListEntries)
        SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(speed));
}

std::wstring SelectedEntry(HWND list)
{
    const LRESULT index = SendMessageW(list, CB_GETCURSEL, 0, 0);
    if (index == CB_ERR)
        return {};
    const LRESULT length = SendMessageW(list, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == CB_ERR)
        return {};
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    SendMessageW(list, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<std::size_t>(length));
    return text;
}

void SelectSavedPortAndSpeed(HWND portList, HWND speedList)
{
    const std::wstring saved = SavedPortText(g_nComPort);
    const LRESULT count = SendMessageW(portList, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        const LRESULT length = SendMessageW(portList, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0);
        std::wstring text(static_cast<std::size_t>(std::max<LRESULT>(length, 0)) + 1, L'\0');
        SendMessageW(portList, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text.data()));
        text.resize(static_cast<std::size_t>(std::max<LRESULT>(length, 0)));
        if (text == saved) {
            SendMessageW(portList, CB_SETCURSEL, static_cast<WPARAM>(i), 0);
            break;
        }
    }
    SendMessageW(speedList, CB_SETCURSEL, static_cast<WPARAM>(SpeedIndexFor(g_strComSpeed)), 0);
}

int PortNumberOfSelection(HWND portList)
{
    const LRESULT index = SendMessageW(portList, CB_GETCURSEL, 0, 0);
    if (index == CB_ERR || index < 1)
        return 0;
    return PortNumberFromEntry(SelectedEntry(portList));
}

}  // namespace brinvale
