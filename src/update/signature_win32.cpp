// The signature check through the platform's own cryptography (CNG), which
// every Windows from Vista on has: SHA-256 and ECDSA on P-256. The hash is
// made with the create/hash/finish calls; the one-call BCryptHash needs
// Windows 10.
#include "update/signature.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace brinvale {

namespace {

constexpr ULONG kDigestSize = 32;

class Algorithm {
public:
    explicit Algorithm(const wchar_t* name)
    {
        if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&m_handle, name, nullptr, 0)))
            m_handle = nullptr;
    }
    ~Algorithm()
    {
        if (m_handle)
            BCryptCloseAlgorithmProvider(m_handle, 0);
    }
    Algorithm(const Algorithm&) = delete;
    Algorithm& operator=(const Algorithm&) = delete;
    BCRYPT_ALG_HANDLE Handle() const { return m_handle; }

private:
    BCRYPT_ALG_HANDLE m_handle = nullptr;
};

class Hash {
public:
    explicit Hash(const Algorithm& algorithm)
    {
        if (!algorithm.Handle() ||
            !BCRYPT_SUCCESS(BCryptCreateHash(algorithm.Handle(), &m_handle, nullptr, 0, nullptr, 0, 0)))
            m_handle = nullptr;
    }
    ~Hash()
    {
        if (m_handle)
            BCryptDestroyHash(m_handle);
    }
    Hash(const Hash&) = delete;
    Hash& operator=(const Hash&) = delete;
    BCRYPT_HASH_HANDLE Handle() const { return m_handle; }

private:
    BCRYPT_HASH_HANDLE m_handle = nullptr;
};

class Key {
public:
    Key(const Algorithm& algorithm, const P256PublicKey& key)
    {
        std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + key.size());
        BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
        std::memcpy(blob.data(), &header, sizeof header);
        std::memcpy(blob.data() + sizeof header, key.data(), key.size());
        if (!algorithm.Handle() ||
            !BCRYPT_SUCCESS(BCryptImportKeyPair(algorithm.Handle(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &m_handle,
                                                blob.data(), static_cast<ULONG>(blob.size()), 0)))
            m_handle = nullptr;
    }
    ~Key()
    {
        if (m_handle)
            BCryptDestroyKey(m_handle);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    BCRYPT_KEY_HANDLE Handle() const { return m_handle; }

private:
    BCRYPT_KEY_HANDLE m_handle = nullptr;
};

bool Sha256(std::span<const std::uint8_t> data, UCHAR (&digest)[kDigestSize])
{
    const Algorithm sha256(BCRYPT_SHA256_ALGORITHM);
    const Hash hash(sha256);
    if (!hash.Handle())
        return false;
    // In pieces: a program is megabytes, the call takes a ULONG.
    constexpr std::size_t kPiece = 1 << 20;
    for (std::size_t at = 0; at < data.size(); at += kPiece) {
        const std::size_t length = std::min(kPiece, data.size() - at);
        if (!BCRYPT_SUCCESS(BCryptHashData(hash.Handle(), const_cast<PUCHAR>(data.data() + at),
                                           static_cast<ULONG>(length), 0)))
            return false;
    }
    return BCRYPT_SUCCESS(BCryptFinishHash(hash.Handle(), digest, kDigestSize, 0));
}

}  // namespace

bool VerifyP256Signature(std::span<const std::uint8_t> data, const P256Signature& signature,
                         const P256PublicKey& key)
{
    UCHAR digest[kDigestSize];
    if (!Sha256(data, digest))
        return false;
    const Algorithm ecdsa(BCRYPT_ECDSA_P256_ALGORITHM);
    const Key publicKey(ecdsa, key);
    if (!publicKey.Handle())
        return false;
    P256Signature copy = signature;  // the call takes a non-const buffer
    return BCRYPT_SUCCESS(BCryptVerifySignature(publicKey.Handle(), nullptr, digest, kDigestSize, copy.data(),
                                                static_cast<ULONG>(copy.size()), 0));
}

}  // namespace brinvale
