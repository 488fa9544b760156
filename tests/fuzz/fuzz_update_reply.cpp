// The update server's reply on arbitrary bytes, the way the update check
// reads it: the first line collected from the received pieces, then the
// offer read from it, then the decision to update.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>

#include <rapidjson/document.h>

#include "fuzz_check.h"
#include "update/version.h"

namespace brinvale::fuzz {
namespace {

// The version of this program and of one without a version resource.
constexpr std::string_view kOwnVersion = "2.0.0.3";
constexpr std::string_view kNoVersion = "";

std::string FirstLine(std::string_view reply, std::size_t pieceSize)
{
    FirstLineReader reader;
    for (std::size_t at = 0; at < reply.size(); at += pieceSize) {
        const std::string_view piece = reply.substr(at, pieceSize);
        if (!reader.Feed(piece.data(), piece.size()))
            break;
    }
    return reader.Line();
}

void CheckFirstLine(std::string_view reply, const std::string& line)
{
    FUZZ_CHECK(line.size() <= FirstLineReader::kMaxLine, "the first line is at most 1,023 bytes");
    FUZZ_CHECK(line.find('\r') == std::string::npos, "the first line has no CR");
    const std::size_t lf = line.find('\n');
    FUZZ_CHECK(lf == std::string::npos || lf + 1 == line.size(), "the first line ends at its LF");

    // It is the reply's beginning without CRs: cut at the first LF, at the
    // limit or at the end of the reply.
    std::string withoutCr;
    for (char c : reply) {
        if (c != '\r')
            withoutCr += c;
    }
    FUZZ_CHECK(withoutCr.compare(0, line.size(), line) == 0, "the first line is where the reply begins");
    if (lf == std::string::npos && line.size() < FirstLineReader::kMaxLine)
        FUZZ_CHECK(line.size() == withoutCr.size(), "a reply without LF is read to its end");
}

std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

void CheckOffer(const std::string& line, const UpdateOffer& offer)
{
    // The line read on its own has the three texts the offer carries.
    rapidjson::Document document;
    document.Parse(line.c_str());
    FUZZ_CHECK(!document.HasParseError() && document.IsObject(), "an offer comes from a JSON object");
    const rapidjson::Value& object = document;
    for (auto [name, text] : {std::pair{"status", &offer.status}, {"version", &offer.version}, {"url", &offer.url}}) {
        const auto member = object.FindMember(name);
        FUZZ_CHECK(member != object.MemberEnd() && member->value.IsString(), "an offer's three members are texts");
        FUZZ_CHECK(std::string(member->value.GetString(), member->value.GetStringLength()) == *text,
                   "an offer carries its members' texts unchanged");
    }

    // The offer written back as a reply reads as the same offer.
    const std::string again = "{\"status\":" + JsonString(offer.status) + ",\"version\":" +
                              JsonString(offer.version) + ",\"url\":" + JsonString(offer.url) + "}\n";
    const std::optional<UpdateOffer> reread = ParseUpdateReply(again);
    FUZZ_CHECK(reread && reread->status == offer.status && reread->version == offer.version &&
                   reread->url == offer.url,
               "an offer written back reads the same");

    const bool newer = OffersNewerVersion(offer, kOwnVersion);
    if (newer) {
        FUZZ_CHECK(offer.status == "ok", "only an ok is an update");
        const std::optional<ProgramVersion> offered = ProgramVersion::Parse(offer.version);
        FUZZ_CHECK(offered && *offered > ProgramVersion::Parse(kOwnVersion).value(),
                   "an update is a version newer than this program");
        FUZZ_CHECK(OffersNewerVersion(offer, kNoVersion), "what is newer than this program is newer than none");
    }
}

}  // namespace
}  // namespace brinvale::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace brinvale;
    using namespace brinvale::fuzz;
    const std::string_view reply(reinterpret_cast<const char*>(data), size);

    // The update check reads 256 bytes at a time; the line must not depend
    // on how the reply was cut.
    const std::string line = FirstLine(reply, 256);
    CheckFirstLine(reply, line);
    FUZZ_CHECK(FirstLine(reply, 1) == line && FirstLine(reply, 7) == line && FirstLine(reply, size + 1) == line,
               "the first line does not depend on how the reply arrives");

    if (const std::optional<UpdateOffer> offer = ParseUpdateReply(line))
        CheckOffer(line, *offer);
    return 0;
}
