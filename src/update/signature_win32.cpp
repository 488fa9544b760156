// The signature check through the platform's own cryptography (CNG), which
// every Windows from Vista on has: SHA-256 and ECDSA on P-256. The hash is
// made with the create/hash/finish calls; the one-call BCryptHash needs
// Windows 10.
#include "update/signature.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace brinvale {

namespace {

constexpr ULONG kDigestSize = 32;

struct CloseAlgorithm {
    void operator()(BCRYPT_ALG_HANDLE handle) const { BCryptCloseAlgorithmProvider(handle, 0); }
};
struct DestroyHash {
    void operator()(BCRYPT_HASH_HANDLE handle) const { BCryptDestroyHash(handle); }
};
struct DestroyKey {
    void operator()(BCRYPT_KEY_HANDLE handle) const { BCryptDestroyKey(handle); }
};
using Algorithm = std::unique_ptr<void, CloseAlgorithm>;
using Hash = std::unique_ptr<void, DestroyHash>;
using Key = std::unique_ptr<void, DestroyKey>;

Algorithm OpenAlgorithm(const wchar_t* name)
{
    BCRYPT_ALG_HANDLE handle = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&handle, name, nullptr, 0)))
        return nullptr;
    return Algorithm(handle);
}

Key ImportPublicKey(BCRYPT_ALG_HANDLE ecdsa, const P256PublicKey& key)
{
    std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + key.size());
    const BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
    std::memcpy(blob.data(), &header, sizeof header);
    std::memcpy(blob.data() + sizeof header, key.data(), key.size());
    BCRYPT_KEY_HANDLE handle = nullptr;
    if (!BCRYPT_SUCCESS(BCryptImportKeyPair(ecdsa, nullptr, BCRYPT_ECCPUBLIC_BLOB, &handle, blob.data(),
                                            static_cast<ULONG>(blob.size()), 0)))
        return nullptr;
    return Key(handle);
}

bool Sha256(std::span<const std::uint8_t> data, UCHAR (&digest)[kDigestSize])
{
    const Algorithm sha256 = OpenAlgorithm(BCRYPT_SHA256_ALGORITHM);
    BCRYPT_HASH_HANDLE handle = nullptr;
    if (!sha256 || !BCRYPT_SUCCESS(BCryptCreateHash(sha256.get(), &handle, nullptr, 0, nullptr, 0, 0)))
        return false;
    const Hash hash(handle);
    // In pieces: a program is megabytes, the call takes a ULONG.
    constexpr std::size_t kPiece = 1 << 20;
    for (std::size_t at = 0; at < data.size(); at += kPiece) {
        const std::size_t length = std::min(kPiece, data.size() - at);
        if (!BCRYPT_SUCCESS(
                BCryptHashData(hash.get(), const_cast<PUCHAR>(data.data() + at), static_cast<ULONG>(length), 0)))
            return false;
    }
    return BCRYPT_SUCCESS(BCryptFinishHash(hash.get(), digest, kDigestSize, 0));
}

}  // namespace

bool VerifyP256Signature(std::span<const std::uint8_t> data, const P256Signature& signature,
                         const P256PublicKey& key)
{
    UCHAR digest[kDigestSize];
    if (!Sha256(data, digest))
        return false;
    const Algorithm ecdsa = OpenAlgorithm(BCRYPT_ECDSA_P256_ALGORITHM);
    const Key publicKey = ecdsa ? ImportPublicKey(ecdsa.get(), key) : nullptr;
    if (!publicKey)
        return false;
    P256Signature copy = signature;  // the call takes a non-const buffer
    return BCRYPT_SUCCESS(BCryptVerifySignature(publicKey.get(), nullptr, digest, kDigestSize, copy.data(),
                                                static_cast<ULONG>(copy.size()), 0));
}

}  // namespace brinvale
