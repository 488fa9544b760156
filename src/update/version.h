// The program's version and the update server's answer about the version
// on offer.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brinvale {

// A program's version: four numbers, compared part by part ("2.0.0.10" is
// older than "2.0.1.0", "2.1" newer than "2.0.0.4"). A version text is one to
// four parts separated by single dots, each part "0" or a number of up to
// five digits without a leading zero, at most 65535: the most a Windows
// program's fixed version can say, so no release can have a larger one.
// Missing parts are 0. Anything else ("2..1", "2.1.", " 2.1", "2.0.0.0.1",
// "2.70000", "1e9", "v2") is no version at all.
struct ProgramVersion {
    std::array<std::uint16_t, 4> parts{};

    static std::optional<ProgramVersion> Parse(std::string_view text);
    auto operator<=>(const ProgramVersion&) const = default;
};

// Collects the first line of the server's reply: CR bytes dropped, the LF
// kept, at most 1,023 bytes.
class FirstLineReader {
public:
    static constexpr std::size_t kMaxLine = 1023;

    // False once the line is complete; later bytes are not wanted.
    bool Feed(const char* data, std::size_t count);
    const std::string& Line() const { return m_line; }

private:
    std::string m_line;
    bool m_bDone = false;
};

struct UpdateOffer {
    std::string status;
    std::string version;
    std::string url;
};

// The three members of the JSON object on the reply's first line; nullopt
// when the line is no JSON object or a member is missing or not a string.
std::optional<UpdateOffer> ParseUpdateReply(const std::string& line);

// True when the offer is "ok" and its version is newer than ownVersion (a
// program that cannot read its own version counts as 0.0.0.0).
bool OffersNewerVersion(const UpdateOffer& offer, std::string_view ownVersion);

// True when a downloaded program whose own version is fileVersion may
// replace the running one: it is the very version offered (as text: another
// one would be offered again at every start) and newer than the running one.
bool IsWantedUpdateVersion(std::string_view fileVersion, std::string_view offered, std::string_view running);

}  // namespace brinvale
