// The program's version and the update server's answer about the version
// on offer.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace brinvale {

// The version text with its dots removed, read as a number: "2.0.0.3" gives
// 2003 and "2.0.0.10" gives 20010 (newer), "2.0.1" gives 201 (older). A text
// whose dot-free form is longer than 31 characters, or reads as no finite
// number ("1e999", "inf", "nan"), gives nullopt.
std::optional<double> VersionToNumber(std::string_view text);

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

// True when the offer is "ok" and its version is newer than ownVersion.
bool OffersNewerVersion(const UpdateOffer& offer, std::string_view ownVersion);

}  // namespace brinvale
