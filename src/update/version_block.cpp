#include "update/version_block.h"

#include <string_view>

namespace brinvale {

namespace {

// Keys are short names ("VS_VERSION_INFO", "OriginalFilename"); a longer one
// is a block made to make the reader walk.
constexpr std::size_t kMaxKeyUnits = 64;
// wLength, wValueLength, wType.
constexpr std::size_t kHeaderBytes = 6;
constexpr std::uint16_t kTextValue = 1;

// One node: its header, its key in UTF-16 with a terminating zero, padding
// to 4 bytes, its value, padding to 4 bytes, its children. Offsets are from
// the block's start, where the padding is counted from.
struct Node {
    std::u16string key;
    std::size_t value = 0;
    std::size_t valueBytes = 0;
    std::size_t children = 0;
    std::size_t end = 0;
};

std::uint16_t U16(std::span<const std::uint8_t> block, std::size_t at)
{
    return static_cast<std::uint16_t>(block[at] | block[at + 1] << 8);
}

std::size_t Align4(std::size_t offset)
{
    return (offset + 3) & ~std::size_t{3};
}

// The node at `at`, which must end by limit (its parent's end). The caller
// leaves at least a header's bytes before limit.
std::optional<Node> ReadNode(std::span<const std::uint8_t> block, std::size_t at, std::size_t limit)
{
    const std::size_t length = U16(block, at);
    const std::uint16_t type = U16(block, at + 4);
    if (length < kHeaderBytes + 2 || length > limit - at || type > kTextValue)
        return std::nullopt;
    Node node;
    node.end = at + length;
    std::size_t key = at + kHeaderBytes;
    for (;;) {
        if (node.end - key < 2 || node.key.size() > kMaxKeyUnits)
            return std::nullopt;
        const char16_t unit = U16(block, key);
        key += 2;
        if (unit == 0)
            break;
        node.key += unit;
    }
    // A text's length counts UTF-16 units, a binary value's bytes.
    const std::size_t valueLength = U16(block, at + 2);
    node.value = Align4(key);
    node.valueBytes = type == kTextValue ? 2 * valueLength : valueLength;
    if (node.valueBytes > 0 && (node.value > node.end || node.valueBytes > node.end - node.value))
        return std::nullopt;
    node.children = Align4(node.value + node.valueBytes);
    return node;
}

// Keys are compared as the platform's version functions compare them,
// ignoring the case of ASCII letters.
bool KeyIs(const std::u16string& key, std::string_view name)
{
    if (key.size() != name.size())
        return false;
    for (std::size_t i = 0; i < key.size(); ++i) {
        const auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; };
        if (lower(key[i]) != lower(static_cast<char16_t>(name[i])))
            return false;
    }
    return true;
}

// Each child is at least a header and a zero long, so a parent of at most
// 65,535 bytes (its length is 16 bits) has a few thousand to look at.
std::optional<Node> FindChild(std::span<const std::uint8_t> block, const Node& parent, std::string_view key)
{
    for (std::size_t at = parent.children; at + kHeaderBytes <= parent.end;) {
        const std::optional<Node> child = ReadNode(block, at, parent.end);
        if (!child)
            return std::nullopt;
        if (KeyIs(child->key, key))
            return child;
        at = Align4(child->end);
    }
    return std::nullopt;
}

std::optional<std::string> AsciiText(std::span<const std::uint8_t> block, const Node& node)
{
    std::string text;
    for (std::size_t at = node.value; at + 2 <= node.value + node.valueBytes; at += 2) {
        const std::uint16_t unit = U16(block, at);
        if (unit == 0)
            break;
        if (unit < 0x20 || unit > 0x7E)
            return std::nullopt;
        text += static_cast<char>(unit);
    }
    return text;
}

}  // namespace

std::optional<std::string> FileVersionInBlock(std::span<const std::uint8_t> block)
{
    // The 16-bit format has no type word: its 8-bit key starts where the
    // 32-bit format keeps the type (0 or 1), so a root of type 0 or 1 whose
    // key is "VS_VERSION_INFO" in UTF-16 is the 32-bit format and nothing
    // else is read.
    if (block.size() < kHeaderBytes)
        return std::nullopt;
    std::optional<Node> node = ReadNode(block, 0, block.size());
    if (!node || node->key != u"VS_VERSION_INFO")
        return std::nullopt;
    // The path has three levels: the depth is bounded by the walk itself.
    for (std::string_view key : {"StringFileInfo", "041204b0", "FileVersion"}) {
        node = FindChild(block, *node, key);
        if (!node)
            return std::nullopt;
    }
    return AsciiText(block, *node);
}

}  // namespace brinvale
