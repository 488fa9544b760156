#include "update/signature.h"

#include <algorithm>
#include <vector>

namespace brinvale {

namespace {

// The DER header of a P-256 public key: SEQUENCE { SEQUENCE { id-ecPublicKey,
// prime256v1 }, BIT STRING { 0x04 (uncompressed), X, Y } }.
constexpr std::array<std::uint8_t, 27> kP256KeyHeader = {
    0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01, 0x06,
    0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};

int Base64Value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// The bytes of the base64 text between the armour lines; white space is
// skipped, padding ends the text, any other character refuses it.
std::optional<std::vector<std::uint8_t>> DecodePemBody(std::string_view pem)
{
    std::vector<std::uint8_t> bytes;
    std::uint32_t bits = 0;
    int count = 0;
    bool padded = false;
    std::size_t line = 0;
    while (line < pem.size()) {
        std::size_t end = pem.find('\n', line);
        if (end == std::string_view::npos)
            end = pem.size();
        const std::string_view text = pem.substr(line, end - line);
        line = end + 1;
        if (text.starts_with("-----"))
            continue;
        for (char c : text) {
            if (c == ' ' || c == '\t' || c == '\r')
                continue;
            if (c == '=') {
                padded = true;
                continue;
            }
            const int value = Base64Value(c);
            if (value < 0 || padded)
                return std::nullopt;
            bits = bits << 6 | static_cast<std::uint32_t>(value);
            if (++count == 4) {
                bytes.insert(bytes.end(), {static_cast<std::uint8_t>(bits >> 16), static_cast<std::uint8_t>(bits >> 8),
                                           static_cast<std::uint8_t>(bits)});
                bits = 0;
                count = 0;
            }
        }
    }
    if (count == 1)
        return std::nullopt;
    if (count == 2)
        bytes.push_back(static_cast<std::uint8_t>(bits >> 4));
    if (count == 3)
        bytes.insert(bytes.end(), {static_cast<std::uint8_t>(bits >> 10), static_cast<std::uint8_t>(bits >> 2)});
    return bytes;
}

// One DER INTEGER at der[at...], a positive number of at most 32 bytes once
// its sign byte is dropped, right-aligned into out.
std::optional<std::size_t> ReadInteger(std::span<const std::uint8_t> der, std::size_t at,
                                       std::span<std::uint8_t, 32> out)
{
    if (at + 2 > der.size() || der[at] != 0x02)
        return std::nullopt;
    std::size_t length = der[at + 1];
    std::size_t start = at + 2;
    if (length == 0 || length > 33 || start + length > der.size())
        return std::nullopt;
    if (der[start] & 0x80)
        return std::nullopt;  // negative: no signature has those
    if (der[start] == 0 && length > 1) {
        if (!(der[start + 1] & 0x80))
            return std::nullopt;  // a needless leading zero: not DER
        ++start;
        --length;
    }
    if (length > 32)
        return std::nullopt;
    std::fill(out.begin(), out.end(), 0);
    std::copy_n(der.begin() + static_cast<std::ptrdiff_t>(start), length,
                out.begin() + static_cast<std::ptrdiff_t>(32 - length));
    return start + length;
}

}  // namespace

std::optional<P256PublicKey> P256PublicKeyFromPem(std::string_view pem)
{
    const std::optional<std::vector<std::uint8_t>> der = DecodePemBody(pem);
    if (!der || der->size() != kP256KeyHeader.size() + 64 ||
        !std::equal(kP256KeyHeader.begin(), kP256KeyHeader.end(), der->begin()))
        return std::nullopt;
    P256PublicKey key;
    std::copy(der->end() - 64, der->end(), key.begin());
    return key;
}

std::optional<P256Signature> P256SignatureFromDer(std::span<const std::uint8_t> der)
{
    // SEQUENCE of at most 70 content bytes: the short length form only.
    if (der.size() < 8 || der.size() > kMaxSignatureFile || der[0] != 0x30 || der[1] != der.size() - 2)
        return std::nullopt;
    P256Signature signature;
    const std::optional<std::size_t> afterR = ReadInteger(der, 2, std::span<std::uint8_t, 32>(signature.data(), 32));
    if (!afterR)
        return std::nullopt;
    const std::optional<std::size_t> afterS =
        ReadInteger(der, *afterR, std::span<std::uint8_t, 32>(signature.data() + 32, 32));
    if (afterS != der.size())
        return std::nullopt;
    return signature;
}

}  // namespace brinvale
