#pragma once

#include <QString>

namespace Messages {
class Channel;
}

// How a password travels. A server that accepts hashed passwords gets the
// double MD5 of the trimmed password, never the password itself.

enum class HashAlgorithm
{
    Md5
};

// The digest as upper-case hexadecimal; the empty text (after the message
// "Failed to hash string!" on `messages`) when hashing fails. The text is hashed in the
// system's code page (UTF-8 here).
QString HashString(const QString &text, Messages::Channel &messages,
                   HashAlgorithm algorithm = HashAlgorithm::Md5);
QString PasswordAsSent(const QString &password, bool hashed, Messages::Channel &messages);
