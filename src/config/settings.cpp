#include "config/settings.h"

#include "common/speed_tables.h"

#include <array>
#include <climits>

namespace brinvale {

int g_nComPort = 0;
std::wstring g_strComSpeed;
int g_bShowStatusBox = 0;
int g_bAutoConnect = 0;
int g_bLogEnabled = 0;

int PortFromStored(const std::wstring& value)
{
    long long number = 0;
    for (wchar_t c : value) {
        if (c < L'0' || c > L'9')
            return 0;
        number = number * 10 + (c - L'0');
        if (number > INT_MAX)
            return 0;
    }
    return static_cast<int>(number);
}

std::wstring SpeedFromLabel(const std::wstring& label)
{
    for (const StoredSpeed& row : kStoredSpeeds) {
        if (label == row.label || label == row.lowerLabel)
            return row.rate;
    }
    return L"9600";
}

std::wstring LabelForSpeed(const std::wstring& rate)
{
    for (const StoredSpeed& row : kStoredSpeeds) {
        if (rate == row.rate)
            return row.label;
    }
    return L"9.6K";
}

bool ShowFromStored(const std::wstring& value)
{
    return value != L"hidden" && value != L"HIDDEN";
}

bool YesFromStored(const std::wstring& value)
{
    return value == L"Y" || value == L"y";
}

}  // namespace brinvale
