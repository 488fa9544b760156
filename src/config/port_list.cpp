#include "config/port_list.h"

#include <cwctype>

namespace brinvale {

std::vector<std::wstring> FallbackPorts()
{
    std::vector<std::wstring> ports;
    for (int n = 1; n <= 20; ++n)
        ports.push_back(SavedPortText(n));
    return ports;
}

int PortNumberFromEntry(const std::wstring& entry)
{
    if (entry.size() <= 3)
        return 0;
    std::size_t i = 3;
    while (i < entry.size() && std::iswspace(entry[i]))
        ++i;
    bool negative = false;
    if (i < entry.size() && (entry[i] == L'+' || entry[i] == L'-'))
        negative = entry[i++] == L'-';
    long long number = 0;
    for (; i < entry.size() && entry[i] >= L'0' && entry[i] <= L'9'; ++i) {
        number = number * 10 + (entry[i] - L'0');
        if (number > 1000000)
            return 0;  // no such port
    }
    return static_cast<int>(negative ? -number : number);
}

std::wstring SavedPortText(int port)
{
    return L"COM" + std::to_wstring(port);
}

int SpeedIndexFor(const std::wstring& rate)
{
    for (int i = 0; i < 3; ++i) {
        if (rate == kSpeedListEntries[static_cast<std::size_t>(i)])
            return i;
    }
    return 3;
}

}  // namespace brinvale
