#include "config/settings.h"

#include <array>
#include <climits>

namespace brinvale {

int g_nComPort = 0;
std::wstring g_strComSpeed;
int g_bShowStatusBox = 0;
int g_bAutoConnect = 0;

namespace {

struct SpeedRow {
    const wchar_t* rate;
    const wchar_t* label;       // as written
    const wchar_t* lowerLabel;  // also accepted when loading
};

// 57600 is stored as "56.0K": files written by earlier versions say so.
constexpr std::array<SpeedRow, 4> kSpeedRows{{
    {L"9600", L"9.6K", L"9.6k"},
    {L"38400", L"38.4K", L"38.4k"},
    {L"57600", L"56.0K", L"56.0k"},
    {L"115200", L"115.2K", L"115.2k"},
}};

}  // namespace

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
    for (const SpeedRow& row : kSpeedRows) {
        if (label == row.label || label == row.lowerLabel)
            return row.rate;
    }
    return L"9600";
}

std::wstring LabelForSpeed(const std::wstring& rate)
{
    for (const SpeedRow& row : kSpeedRows) {
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
