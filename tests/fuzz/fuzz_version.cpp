// The version rule on arbitrary texts: the number is always finite, texts
// too long for their field have none, and versions written in digits and
// dots ("a.b.c.d") compare as their dot-free digits read as whole numbers.
// The input is one text, and also two versions to compare: the parts before
// and after its first '|' (or its two halves), each cut to its digits and
// dots.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "update/version.h"

namespace brinvale::fuzz {
namespace {

// The longest dot-free text whose number a double holds exactly.
constexpr std::size_t kExactDigits = 15;

std::string DotFree(std::string_view text)
{
    std::string digits;
    for (char c : text) {
        if (c != '.')
            digits += c;
    }
    return digits;
}

std::string DigitsAndDots(std::string_view text)
{
    std::string kept;
    for (char c : text) {
        if ((c >= '0' && c <= '9') || c == '.')
            kept += c;
    }
    return kept;
}

// Whole numbers written in decimal digits, compared without a limit on
// their size: -1, 0 or 1.
int CompareWhole(std::string a, std::string b)
{
    a.erase(0, std::min(a.find_first_not_of('0'), a.size()));
    b.erase(0, std::min(b.find_first_not_of('0'), b.size()));
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    return a == b ? 0 : (a < b ? -1 : 1);
}

std::size_t SignificantDigits(const std::string& digits)
{
    return digits.size() - std::min(digits.find_first_not_of('0'), digits.size());
}

void CheckAnyText(std::string_view text)
{
    const std::optional<double> number = VersionToNumber(text);
    if (DotFree(text).size() > 31) {
        FUZZ_CHECK(!number, "a version too long for its field has no number");
        return;
    }
    if (number)
        FUZZ_CHECK(std::isfinite(*number), "a version's number is finite");
}

void CheckPair(const std::string& x, const std::string& y)
{
    const std::string xDigits = DotFree(x);
    const std::string yDigits = DotFree(y);
    if (xDigits.size() > 31 || yDigits.size() > 31)
        return;
    const std::optional<double> xNumber = VersionToNumber(x);
    const std::optional<double> yNumber = VersionToNumber(y);
    FUZZ_CHECK(xNumber && yNumber, "a version of digits and dots that fits its field has a number");

    const int order = CompareWhole(xDigits, yDigits);
    if (order > 0)
        FUZZ_CHECK(*xNumber >= *yNumber, "a version with the larger digits is never older");
    if (order == 0)
        FUZZ_CHECK(*xNumber == *yNumber, "versions with the same digits are the same version");
    if (SignificantDigits(xDigits) <= kExactDigits && SignificantDigits(yDigits) <= kExactDigits) {
        FUZZ_CHECK((*xNumber > *yNumber) == (order > 0) && (*xNumber == *yNumber) == (order == 0),
                   "short versions compare exactly as their digits");
        FUZZ_CHECK(OffersNewerVersion({"ok", x, "http://127.0.0.1/x.exe"}, y) == (order > 0),
                   "an offer is newer exactly when its digits are larger");
    }
}

}  // namespace
}  // namespace brinvale::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace brinvale::fuzz;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    CheckAnyText(text);

    std::size_t split = text.find('|');
    const std::size_t skip = split == std::string_view::npos ? 0 : 1;
    if (split == std::string_view::npos)
        split = size / 2;
    const std::string_view first = text.substr(0, split);
    const std::string_view second = text.substr(split + skip);
    CheckAnyText(first);
    CheckAnyText(second);
    CheckPair(DigitsAndDots(first), DigitsAndDots(second));
    return 0;
}
