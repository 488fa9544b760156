// Signed updates: the release is signed with ECDSA on the P-256 curve over
// its SHA-256 digest, and the program carries the public key. These are the
// portable halves: the key as `openssl ec -pubout` writes it, and the
// signature as `openssl dgst -sha256 -sign` writes it, turned into the raw
// numbers the platform's verifier takes. The check itself is
// VerifyP256Signature (signature_win32.cpp).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace brinvale {

using P256PublicKey = std::array<std::uint8_t, 64>;  // X, then Y, big-endian
using P256Signature = std::array<std::uint8_t, 64>;  // r, then s, big-endian

// A signature file is a DER sequence of two integers: 70 to 72 bytes.
constexpr std::size_t kMaxSignatureFile = 72;

// The key from its PEM text (the armour lines may be left out): the
// SubjectPublicKeyInfo of an uncompressed P-256 key, nothing else.
std::optional<P256PublicKey> P256PublicKeyFromPem(std::string_view pem);

// r and s from the DER signature, each at most 32 bytes once the sign byte
// is dropped; nullopt for anything that is not exactly such a sequence.
std::optional<P256Signature> P256SignatureFromDer(std::span<const std::uint8_t> der);

#ifdef _WIN32
// True only when signature is key's signature of data's SHA-256 digest.
bool VerifyP256Signature(std::span<const std::uint8_t> data, const P256Signature& signature,
                         const P256PublicKey& key);
#endif

}  // namespace brinvale
