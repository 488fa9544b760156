#include "update/version.h"

#include <rapidjson/document.h>

namespace brinvale {

std::optional<ProgramVersion> ProgramVersion::Parse(std::string_view text)
{
    ProgramVersion version;
    std::size_t part = 0;
    std::size_t digits = 0;
    std::uint32_t value = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '.') {
            if (digits == 0 || part == version.parts.size())
                return std::nullopt;
            version.parts[part++] = static_cast<std::uint16_t>(value);
            digits = 0;
            value = 0;
            continue;
        }
        // A part that starts with 0 is "0": one version, one text.
        if (text[i] < '0' || text[i] > '9' || (digits > 0 && value == 0))
            return std::nullopt;
        value = value * 10 + static_cast<std::uint32_t>(text[i] - '0');
        ++digits;
        if (value > 0xFFFF)
            return std::nullopt;
    }
    return version;
}

bool FirstLineReader::Feed(const char* data, std::size_t count)
{
    for (std::size_t i = 0; i < count && !m_bDone; ++i) {
        if (data[i] == '\r')
            continue;
        m_line += data[i];
        m_bDone = data[i] == '\n' || m_line.size() >= kMaxLine;
    }
    return !m_bDone;
}

std::optional<UpdateOffer> ParseUpdateReply(const std::string& line)
{
    rapidjson::Document document;
    document.Parse(line.c_str());
    if (document.HasParseError() || !document.IsObject())
        return std::nullopt;
    // Looked up through a const view: clang in C++20 finds the comparison of
    // RapidJSON's mutable member iterators ambiguous.
    const rapidjson::Value& object = document;
    UpdateOffer offer;
    for (auto [name, field] : {std::pair{"status", &offer.status}, {"version", &offer.version}, {"url", &offer.url}}) {
        const auto member = object.FindMember(name);
        if (member == object.MemberEnd() || !member->value.IsString())
            return std::nullopt;
        field->assign(member->value.GetString(), member->value.GetStringLength());
    }
    return offer;
}

namespace {

bool IsNewerThan(std::string_view version, std::string_view running)
{
    const std::optional<ProgramVersion> candidate = ProgramVersion::Parse(version);
    return candidate && *candidate > ProgramVersion::Parse(running).value_or(ProgramVersion{});
}

}  // namespace

bool OffersNewerVersion(const UpdateOffer& offer, std::string_view ownVersion)
{
    return offer.status == "ok" && IsNewerThan(offer.version, ownVersion);
}

bool IsWantedUpdateVersion(std::string_view fileVersion, std::string_view offered, std::string_view running)
{
    return fileVersion == offered && IsNewerThan(fileVersion, running);
}

}  // namespace brinvale
