#include "update/UpdateTrust.h"

#include "platform/FileHash.h"

#include <QCryptographicHash>
#include <memory>
#include <openssl/evp.h>

namespace {

struct PkeyFree
{
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct MdFree
{
    void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};

QByteArray text(const pugi::xml_node &node, const char *name)
{
    return QByteArray(node.child(name).text().get());
}

void appendField(QByteArray &out, const QByteArray &field)
{
    out += QByteArray::number(field.size());
    out += ':';
    out += field;
    out += '\n';
}

} // namespace

namespace UpdateTrust {

QByteArray signedText(const pugi::xml_node &root)
{
    QByteArray out("clipferry-verlist-1\n");
    appendField(out, text(root.child("updater"), "sha256"));
    for (pugi::xml_node item : root.child("list").children("item")) {
        for (const char *name : {"ver", "path", "fullPatch", "log", "sha256"})
            appendField(out, text(item, name));
    }
    return out;
}

bool verifyList(const pugi::xml_document &doc, QString *error, const QByteArray &publicKey)
{
    const auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    const QByteArray key = publicKey.isEmpty() ? QByteArray::fromBase64(CLIPFERRY_UPDATE_KEY) : publicKey;
    const pugi::xml_node root = doc.document_element();
    const QByteArray signature = QByteArray::fromBase64(QByteArray(root.child("signature").text().get()));
    if (signature.size() != 64)
        return fail(QStringLiteral("The version list is not signed."));
    std::unique_ptr<EVP_PKEY, PkeyFree> pkey(EVP_PKEY_new_raw_public_key(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char *>(key.constData()),
        static_cast<size_t>(key.size())));
    std::unique_ptr<EVP_MD_CTX, MdFree> ctx(EVP_MD_CTX_new());
    if (!pkey || !ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, pkey.get()) != 1)
        return fail(QStringLiteral("The update key built into this program is not usable."));
    const QByteArray message = signedText(root);
    if (EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char *>(signature.constData()),
                         static_cast<size_t>(signature.size()),
                         reinterpret_cast<const unsigned char *>(message.constData()),
                         static_cast<size_t>(message.size())) != 1)
        return fail(
            QStringLiteral("The version list's signature is wrong: it was not made by the update server."));
    return true;
}

QByteArray sha256OfFile(const QString &path)
{
    return readFilePart(path, 0, -1, QCryptographicHash::Sha256, false).hash.toHex();
}

bool isSha256Text(const QString &text)
{
    if (text.size() != 64)
        return false;
    for (QChar c : text) {
        if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f')))
            return false;
    }
    return true;
}

} // namespace UpdateTrust
