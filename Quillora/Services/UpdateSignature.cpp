#include "Quillora/Services/UpdateSignature.h"

#include <memory>
#include <openssl/evp.h>

namespace {

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct ContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

constexpr qsizetype publicKeyBytes = 32;
constexpr qsizetype signatureBytes = 64;

// Strict base64: anything else than the alphabet and its padding is refused, not skipped.
std::optional<QByteArray> decoded(const QString& text, qsizetype expectedBytes) {
    const QByteArray::FromBase64Result result =
        QByteArray::fromBase64Encoding(text.trimmed().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!result || result.decoded.size() != expectedBytes) {
        return std::nullopt;
    }
    return result.decoded;
}

} // namespace

namespace UpdateSignature {

std::optional<QString> problem(QByteArrayView file, qint64 expectedLength, const QString& signatureBase64,
                               const QString& publicKeyBase64) {
    if (expectedLength < 0) {
        return QStringLiteral("il feed non indica la dimensione del pacchetto");
    }
    if (file.size() != expectedLength) {
        return QStringLiteral("il pacchetto scaricato è di %1 byte invece di %2")
            .arg(file.size())
            .arg(expectedLength);
    }
    const std::optional<QByteArray> key = decoded(publicKeyBase64, publicKeyBytes);
    if (!key) {
        return QStringLiteral("manca una chiave pubblica valida per verificare gli aggiornamenti");
    }
    const std::optional<QByteArray> signature = decoded(signatureBase64, signatureBytes);
    if (!signature) {
        return QStringLiteral("il pacchetto non ha una firma valida");
    }
    const std::unique_ptr<EVP_PKEY, KeyFree> publicKey(EVP_PKEY_new_raw_public_key(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char*>(key->constData()), key->size()));
    const std::unique_ptr<EVP_MD_CTX, ContextFree> context(EVP_MD_CTX_new());
    if (!publicKey || !context ||
        EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, publicKey.get()) != 1) {
        return QStringLiteral("non riesco a verificare la firma del pacchetto");
    }
    // Ed25519 signs the message in one piece: the whole file is verified at once.
    if (EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature->constData()),
                         signature->size(), reinterpret_cast<const unsigned char*>(file.data()),
                         static_cast<size_t>(file.size())) != 1) {
        return QStringLiteral("la firma del pacchetto non corrisponde: non lo installo");
    }
    return std::nullopt;
}

} // namespace UpdateSignature
