#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <memory>

namespace Kavendru::Core {

struct KeyDerivationParams {
    QString algorithm;
    QByteArray salt;
    int iterations = 250000;
    int keyLength = 64;
};

// Random bytes, XChaCha20-Poly1305 and password-based key derivation over
// libsodium. Every failure is an empty result.
class CryptoManager {
public:
    static constexpr int KeySize = 32;
    static constexpr int NonceSize = 24;
    static constexpr int TagSize = 16;
    static constexpr int Argon2SaltSize = 16;

    CryptoManager();

    QByteArray generateSalt(int length) const;
    QByteArray generateNonce(int length) const;
    QByteArray encrypt(const QByteArray& plaintext, const QByteArray& key, const QByteArray& nonce,
                       const QByteArray& associatedData) const;
    QByteArray decrypt(const QByteArray& ciphertext, const QByteArray& key, const QByteArray& nonce,
                       const QByteArray& associatedData) const;
    QByteArray deriveKey(const QByteArray& password, const KeyDerivationParams& params) const;
    QByteArray hmacSha256(const QByteArray& data, const QByteArray& key) const;
    bool constantTimeEquals(const QByteArray& left, const QByteArray& right) const;

    // Buffer-level forms for the file blocks, so the 16 MiB buffers are
    // reused instead of allocated per block. Same checks and results.
    bool encryptInto(const char* plaintext, qint64 size, const QByteArray& key, const QByteArray& nonce,
                     const QByteArray& associatedData, QByteArray* ciphertext) const;
    bool decryptInto(const char* ciphertext, qint64 size, const QByteArray& key, const QByteArray& nonce,
                     const QByteArray& associatedData, QByteArray* plaintext) const;

    // Whether libsodium started; when it did not, every operation is empty.
    static bool isAvailable();
};

class AuthManager {
public:
    explicit AuthManager(CryptoManager cryptoManager);
    bool authenticate(const QByteArray& password, const QByteArray& expectedHash,
                      const KeyDerivationParams& params) const;

private:
    CryptoManager cryptoManager;
};

// A fast 32-byte checksum (BLAKE2b) fed piece by piece: whether bytes are
// the ones that were written, as a power cut can leave a file cut short.
// Not a key and not for secrets. An empty result means libsodium failed.
class ContentHash {
public:
    static constexpr int Size = 32;

    ContentHash();
    ~ContentHash();
    ContentHash(const ContentHash&) = delete;
    ContentHash& operator=(const ContentHash&) = delete;

    void addData(QByteArrayView data);
    QByteArray result();

    static QByteArray of(QByteArrayView data);

private:
    struct State;
    std::unique_ptr<State> state;
};

// Overwrites the bytes this array owns, then empties it. A buffer shared
// with other arrays is only released: wiping it would change their value.
void wipeBytes(QByteArray& bytes);

} // namespace Kavendru::Core
