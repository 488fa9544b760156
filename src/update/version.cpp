#include "update/version.h"

#include <cmath>
#include <cstdlib>

#include <rapidjson/document.h>

namespace brinvale {

std::optional<double> VersionToNumber(std::string_view text)
{
    std::string digits;
    for (char c : text) {
        if (c != '.')
            digits += c;
    }
    if (digits.size() > 31)
        return std::nullopt;
    // atof also reads exponents and "inf": "1e999" would otherwise be a
    // version newer than every other, offered again at every start.
    const double number = std::atof(digits.c_str());
    if (!std::isfinite(number))
        return std::nullopt;
    return number;
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

bool OffersNewerVersion(const UpdateOffer& offer, std::string_view ownVersion)
{
    if (offer.status != "ok")
        return false;
    const std::optional<double> offered = VersionToNumber(offer.version);
    const double own = VersionToNumber(ownVersion).value_or(0);
    return offered && *offered > own;
}

}  // namespace brinvale
