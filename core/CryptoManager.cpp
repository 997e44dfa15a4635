#include "CryptoManager.h"

#include <QCryptographicHash>
#include <QMessageAuthenticationCode>

#include <sodium.h>

namespace Kavendru::Core {

namespace {

constexpr unsigned long long kArgon2OpsLimit = 3;
constexpr size_t kArgon2MemLimit = 268435456;

bool sodiumStarted()
{
    // sodium_init is process-wide; a failure is remembered for good.
    static const bool started = sodium_init() >= 0;
    return started;
}

const unsigned char* bytes(const QByteArray& array)
{
    return reinterpret_cast<const unsigned char*>(array.constData());
}

// Keeps intermediate PBKDF2 blocks from lingering in freed memory.
struct WipeOnExit {
    QByteArray& target;
    ~WipeOnExit() { wipeBytes(target); }
};

QByteArray pbkdf2HmacSha256(const QByteArray& password, const QByteArray& salt, int iterations, int keyLength)
{
    QMessageAuthenticationCode mac(QCryptographicHash::Sha256, password);
    QByteArray output;
    QByteArray u;
    QByteArray t;
    WipeOnExit wipeU{u};
    WipeOnExit wipeT{t};
    output.reserve(keyLength + 32);
    for (quint32 block = 1; output.size() < keyLength; ++block) {
        const char counter[4] = {char(block >> 24), char(block >> 16), char(block >> 8), char(block)};
        mac.reset();
        mac.addData(salt);
        mac.addData(counter, 4);
        u = mac.result();
        t = u;
        for (int j = 1; j < iterations; ++j) {
            mac.reset();
            mac.addData(u);
            wipeBytes(u);
            u = mac.result();
            for (int k = 0; k < u.size(); ++k)
                t[k] = char(t[k] ^ u[k]);
        }
        output.append(t);
    }
    // Shrinking in place keeps the cut-off bytes in the buffer; clear them.
    sodium_memzero(output.data() + keyLength, size_t(output.size() - keyLength));
    output.truncate(keyLength);
    return output;
}

} // namespace

void wipeBytes(QByteArray& bytes)
{
    if (!bytes.isEmpty() && bytes.isDetached())
        sodium_memzero(bytes.data(), size_t(bytes.size()));
    bytes.clear();
}

struct ContentHash::State {
    crypto_generichash_state hash;
    bool ok = false;
};

ContentHash::ContentHash()
    : state(std::make_unique<State>())
{
    state->ok = sodiumStarted() && crypto_generichash_init(&state->hash, nullptr, 0, Size) == 0;
}

ContentHash::~ContentHash() = default;

void ContentHash::addData(QByteArrayView data)
{
    state->ok = state->ok
        && crypto_generichash_update(&state->hash, reinterpret_cast<const unsigned char*>(data.data()),
                                     static_cast<unsigned long long>(data.size()))
            == 0;
}

QByteArray ContentHash::result()
{
    QByteArray digest(Size, Qt::Uninitialized);
    if (!state->ok
        || crypto_generichash_final(&state->hash, reinterpret_cast<unsigned char*>(digest.data()), Size) != 0)
        return QByteArray();
    state->ok = false;
    return digest;
}

QByteArray ContentHash::of(QByteArrayView data)
{
    ContentHash hash;
    hash.addData(data);
    return hash.result();
}

CryptoManager::CryptoManager()
{
    sodiumStarted();
}

bool CryptoManager::isAvailable()
{
    return sodiumStarted();
}

QByteArray CryptoManager::generateSalt(int length) const
{
    if (!sodiumStarted() || length <= 0)
        return QByteArray();
    QByteArray result(length, Qt::Uninitialized);
    randombytes_buf(result.data(), size_t(length));
    return result;
}

QByteArray CryptoManager::generateNonce(int length) const
{
    return generateSalt(length);
}

bool CryptoManager::encryptInto(const char* plaintext, qint64 size, const QByteArray& key, const QByteArray& nonce,
                                const QByteArray& associatedData, QByteArray* ciphertext) const
{
    if (!sodiumStarted() || !ciphertext || size < 0 || key.size() != KeySize || nonce.size() != NonceSize)
        return false;
    ciphertext->resize(size + TagSize);
    unsigned long long written = 0;
    if (crypto_aead_xchacha20poly1305_ietf_encrypt(reinterpret_cast<unsigned char*>(ciphertext->data()), &written,
                                                   reinterpret_cast<const unsigned char*>(plaintext),
                                                   static_cast<unsigned long long>(size), bytes(associatedData),
                                                   static_cast<unsigned long long>(associatedData.size()), nullptr,
                                                   bytes(nonce), bytes(key))
        != 0)
        return false;
    ciphertext->resize(qsizetype(written));
    return true;
}

bool CryptoManager::decryptInto(const char* ciphertext, qint64 size, const QByteArray& key, const QByteArray& nonce,
                                const QByteArray& associatedData, QByteArray* plaintext) const
{
    if (!sodiumStarted() || !plaintext || size < TagSize || key.size() != KeySize || nonce.size() != NonceSize)
        return false;
    plaintext->resize(size - TagSize);
    unsigned long long written = 0;
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(reinterpret_cast<unsigned char*>(plaintext->data()), &written,
                                                   nullptr, reinterpret_cast<const unsigned char*>(ciphertext),
                                                   static_cast<unsigned long long>(size), bytes(associatedData),
                                                   static_cast<unsigned long long>(associatedData.size()),
                                                   bytes(nonce), bytes(key))
        != 0) {
        plaintext->clear();
        return false;
    }
    plaintext->resize(qsizetype(written));
    return true;
}

QByteArray CryptoManager::encrypt(const QByteArray& plaintext, const QByteArray& key, const QByteArray& nonce,
                                  const QByteArray& associatedData) const
{
    QByteArray result;
    if (!encryptInto(plaintext.constData(), plaintext.size(), key, nonce, associatedData, &result))
        return QByteArray();
    return result;
}

QByteArray CryptoManager::decrypt(const QByteArray& ciphertext, const QByteArray& key, const QByteArray& nonce,
                                  const QByteArray& associatedData) const
{
    QByteArray result;
    if (!decryptInto(ciphertext.constData(), ciphertext.size(), key, nonce, associatedData, &result))
        return QByteArray();
    return result;
}

QByteArray CryptoManager::deriveKey(const QByteArray& password, const KeyDerivationParams& params) const
{
    if (!sodiumStarted() || password.isEmpty() || params.salt.isEmpty() || params.keyLength < 1)
        return QByteArray();

    if (params.algorithm == QLatin1String("Argon2id")) {
        // libsodium reads exactly 16 salt bytes; another length from a
        // damaged header must not make it read past the buffer.
        if (params.salt.size() != Argon2SaltSize)
            return QByteArray();
        QByteArray key(params.keyLength, Qt::Uninitialized);
        if (crypto_pwhash(reinterpret_cast<unsigned char*>(key.data()), static_cast<unsigned long long>(key.size()),
                          password.constData(), static_cast<unsigned long long>(password.size()), bytes(params.salt),
                          kArgon2OpsLimit, kArgon2MemLimit, crypto_pwhash_ALG_ARGON2ID13)
            != 0) {
            wipeBytes(key);
            return QByteArray();
        }
        return key;
    }

    if (params.iterations < 1)
        return QByteArray();
    return pbkdf2HmacSha256(password, params.salt, params.iterations, params.keyLength);
}

QByteArray CryptoManager::hmacSha256(const QByteArray& data, const QByteArray& key) const
{
    if (!sodiumStarted() || key.size() < int(crypto_auth_hmacsha256_KEYBYTES))
        return QByteArray();
    QByteArray result(int(crypto_auth_hmacsha256_BYTES), Qt::Uninitialized);
    if (crypto_auth_hmacsha256(reinterpret_cast<unsigned char*>(result.data()), bytes(data),
                               static_cast<unsigned long long>(data.size()), bytes(key))
        != 0)
        return QByteArray();
    return result;
}

bool CryptoManager::constantTimeEquals(const QByteArray& left, const QByteArray& right) const
{
    if (left.size() != right.size())
        return false;
    unsigned char accumulator = 0;
    for (qsizetype i = 0; i < left.size(); ++i)
        accumulator |= static_cast<unsigned char>(left.at(i) ^ right.at(i));
    return accumulator == 0;
}

AuthManager::AuthManager(CryptoManager manager)
    : cryptoManager(manager)
{
}

bool AuthManager::authenticate(const QByteArray& password, const QByteArray& expectedHash,
                               const KeyDerivationParams& params) const
{
    QByteArray key = cryptoManager.deriveKey(password, params);
    if (key.isEmpty() || expectedHash.isEmpty()) {
        wipeBytes(key);
        return false;
    }
    QByteArray hash = QCryptographicHash::hash(key, QCryptographicHash::Sha256);
    wipeBytes(key);
    const bool equal = cryptoManager.constantTimeEquals(hash, expectedHash);
    wipeBytes(hash);
    return equal;
}

} // namespace Kavendru::Core
