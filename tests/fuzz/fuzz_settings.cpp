// The rules that turn texts stored in the settings file into settings, on
// arbitrary file texts. Every line's value (after its first '=', blanks
// trimmed, cut to the 511 characters the profile call hands over), every
// whole line and the whole text go through all five rules. A text that
// starts with the UTF-16 byte order mark is read as UTF-16, as the profile
// calls read such a file; anything else one byte per character.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cwctype>
#include <string>
#include <vector>

#include "config/port_list.h"
#include "config/settings.h"
#include "fuzz_check.h"

namespace brinvale::fuzz {
namespace {

constexpr std::size_t kValueChars = 511;

std::wstring Decode(const std::uint8_t* data, std::size_t size)
{
    std::wstring text;
    if (size >= 2 && data[0] == 0xFF && data[1] == 0xFE) {
        for (std::size_t i = 2; i + 1 < size; i += 2)
            text += static_cast<wchar_t>(data[i] | data[i + 1] << 8);
    } else {
        for (std::size_t i = 0; i < size; ++i)
            text += static_cast<wchar_t>(data[i]);
    }
    return text;
}

std::vector<std::wstring> Texts(const std::wstring& file)
{
    std::vector<std::wstring> texts{file};
    std::size_t begin = 0;
    while (begin <= file.size()) {
        std::size_t end = file.find(L'\n', begin);
        if (end == std::wstring::npos)
            end = file.size();
        std::wstring line = file.substr(begin, end - begin);
        if (!line.empty() && line.back() == L'\r')
            line.pop_back();
        texts.push_back(line);
        if (const std::size_t equals = line.find(L'='); equals != std::wstring::npos) {
            std::wstring value = line.substr(equals + 1);
            const std::size_t first = value.find_first_not_of(L" \t");
            const std::size_t last = value.find_last_not_of(L" \t");
            value = first == std::wstring::npos ? L"" : value.substr(first, last - first + 1);
            texts.push_back(value.substr(0, kValueChars));
        }
        begin = end + 1;
    }
    return texts;
}

bool IsDigit(wchar_t c)
{
    return c >= L'0' && c <= L'9';
}

std::wstring Upper(std::wstring text)
{
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
    return text;
}

bool IsSpeedEntry(const std::wstring& rate)
{
    return std::find(kSpeedListEntries.begin(), kSpeedListEntries.end(), rate) != kSpeedListEntries.end();
}

void CheckPort(const std::wstring& text)
{
    const int port = PortFromStored(text);
    FUZZ_CHECK(port >= 0, "a stored port is never negative");
    if (!std::all_of(text.begin(), text.end(), IsDigit)) {
        FUZZ_CHECK(port == 0, "a port text with anything but digits gives port 0");
        return;
    }
    // Decimal digits: the number itself, or 0 when it is too large.
    const std::size_t firstNonZero = std::min(text.find_first_not_of(L'0'), text.size());
    const std::wstring digits = text.substr(firstNonZero);
    if (port != 0)
        FUZZ_CHECK(std::to_wstring(port) == digits, "a port text of digits gives its own number");
    if (digits.size() <= 9)
        FUZZ_CHECK(std::to_wstring(port) == (digits.empty() ? L"0" : digits), "every port number up to 9 digits is kept");
}

void CheckSpeed(const std::wstring& text)
{
    const std::wstring rate = SpeedFromLabel(text);
    FUZZ_CHECK(IsSpeedEntry(rate), "a stored speed always gives a rate of the speed list");
    FUZZ_CHECK(kSpeedListEntries[static_cast<std::size_t>(SpeedIndexFor(rate))] == rate,
               "the speed list selects the rate a stored speed gave");
    const std::wstring label = LabelForSpeed(rate);
    FUZZ_CHECK(SpeedFromLabel(label) == rate, "the label a rate is saved under loads as the same rate");
    if (rate != L"9600")
        FUZZ_CHECK(Upper(text) == label, "only a rate's own label, in either case, loads as that rate");

    // The text taken as a rate, as the settings dialog saves one.
    const std::wstring saved = LabelForSpeed(text);
    FUZZ_CHECK(IsSpeedEntry(SpeedFromLabel(saved)), "every saved label loads as a rate of the list");
    if (IsSpeedEntry(text))
        FUZZ_CHECK(SpeedFromLabel(saved) == text, "every rate of the list survives saving and loading");
}

void CheckSwitches(const std::wstring& text)
{
    if (!ShowFromStored(text))
        FUZZ_CHECK(Upper(text) == L"HIDDEN" && (text == L"hidden" || text == L"HIDDEN"),
                   "only \"hidden\" in one case hides the status window");
    if (YesFromStored(text))
        FUZZ_CHECK(text.size() == 1 && Upper(text) == L"Y", "only a lone Y switches a feature on");
}

}  // namespace
}  // namespace brinvale::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace brinvale::fuzz;
    for (const std::wstring& text : Texts(Decode(data, size))) {
        CheckPort(text);
        CheckSpeed(text);
        CheckSwitches(text);
    }
    return 0;
}
