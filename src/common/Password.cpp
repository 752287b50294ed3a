#include "common/Password.h"

#include "platform/Messages.h"

#include <QCryptographicHash>

QString HashString(const QString &text, Messages::Channel &messages, HashAlgorithm algorithm)
{
    Q_UNUSED(algorithm); // MD5 is the only one in use
    const QByteArray digest = QCryptographicHash::hash(text.toLocal8Bit(), QCryptographicHash::Md5);
    if (digest.size() != 16) {
        messages.show(QStringLiteral("Failed to hash string!"));
        return {};
    }
    return QString::fromLatin1(digest.toHex().toUpper());
}

QString PasswordAsSent(const QString &password, bool hashed, Messages::Channel &messages)
{
    if (!hashed)
        return password;
    const QString first = HashString(password.trimmed(), messages).toLower();
    if (first.isEmpty())
        return {};
    return HashString(first, messages).toLower();
}
