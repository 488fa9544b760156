#include "support/fake_terminal.h"

#include <cstdio>

namespace brinvale::test {

Bytes ToBytes(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

std::string Hex(const Bytes& bytes)
{
    std::string out;
    char two[4];
    for (std::uint8_t b : bytes) {
        std::snprintf(two, sizeof two, out.empty() ? "%02X" : " %02X", b);
        out += two;
    }
    return out;
}

}  // namespace brinvale::test
