// The three speed rules, side by side. They answer three different questions,
// so they differ on purpose:
//
// - kLineSpeeds: what a speed text sets on the serial line (the channel's
//   rule). It knows every text a terminal's setting may carry, not just the
//   four the windows offer: "28800" and "33600" select 38,400 (terminals set
//   to them talk at 38,400), and the "PCI_" texts are small nominal rates
//   that multiplexer card drivers scale. A text it does not know leaves the
//   line at the rate the driver had.
// - kSpeedListEntries: what the main window and the settings dialog offer, in
//   this order: the four rates terminals are set to.
// - kStoredSpeeds: how the settings file names those four. 57,600 is stored as
//   "56.0K" because files written by earlier versions say so; a lower-case
//   label is read as well.
//
// Where they must agree, the checks at the end say so. (Which rates Linux's
// termios can set is a limit of that platform, not a rule: serial_posix.cpp.)
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace brinvale {

struct LineSpeed {
    std::string_view text;
    unsigned baudRate;
};

inline constexpr std::array<LineSpeed, 21> kLineSpeeds{{
    {"300", 300},         {"600", 600},         {"1200", 1200},        {"2400", 2400},
    {"4800", 4800},       {"9600", 9600},       {"14400", 14400},      {"19200", 19200},
    {"28800", 38400},     {"33600", 38400},     {"38400", 38400},      {"56000", 56000},
    {"57600", 57600},     {"115200", 115200},   {"128000", 128000},    {"256000", 256000},
    {"PCI_9600", 1075},   {"PCI_19200", 2212},  {"PCI_38400", 4300},   {"PCI_57600", 6450},
    {"PCI_500K", 56000},
}};

inline constexpr std::array<const wchar_t*, 4> kSpeedListEntries{L"9600", L"38400", L"57600", L"115200"};

struct StoredSpeed {
    const wchar_t* rate;
    const wchar_t* label;       // as written
    const wchar_t* lowerLabel;  // also accepted when loading
};

inline constexpr std::array<StoredSpeed, 4> kStoredSpeeds{{
    {L"9600", L"9.6K", L"9.6k"},
    {L"38400", L"38.4K", L"38.4k"},
    {L"57600", L"56.0K", L"56.0k"},
    {L"115200", L"115.2K", L"115.2k"},
}};

namespace speed_checks {

constexpr bool SameText(const wchar_t* wide, std::string_view narrow)
{
    std::size_t i = 0;
    for (; wide[i]; ++i) {
        if (i >= narrow.size() || wide[i] != static_cast<wchar_t>(narrow[i]))
            return false;
    }
    return i == narrow.size();
}

constexpr bool SameText(const wchar_t* a, const wchar_t* b)
{
    for (; *a && *a == *b; ++a, ++b) {
    }
    return *a == *b;
}

// Every rate a window offers sets exactly that rate on the line.
constexpr bool OfferedRatesAreLineRates()
{
    for (const wchar_t* entry : kSpeedListEntries) {
        bool found = false;
        for (const LineSpeed& speed : kLineSpeeds) {
            if (SameText(entry, speed.text)) {
                unsigned rate = 0;
                for (char digit : speed.text)
                    rate = rate * 10 + static_cast<unsigned>(digit - '0');
                found = rate == speed.baudRate;
            }
        }
        if (!found)
            return false;
    }
    return true;
}

// The settings file has a label for each offered rate, in the same order.
constexpr bool EveryOfferedRateHasALabel()
{
    for (std::size_t i = 0; i < kSpeedListEntries.size(); ++i) {
        if (!SameText(kSpeedListEntries[i], kStoredSpeeds[i].rate))
            return false;
    }
    return kSpeedListEntries.size() == kStoredSpeeds.size();
}

static_assert(OfferedRatesAreLineRates());
static_assert(EveryOfferedRateHasALabel());

}  // namespace speed_checks

}  // namespace brinvale
