#pragma once

#include <QByteArray>
#include <QString>
#include <pugixml.hpp>

// What makes a version list and its archives trustworthy: the list carries an
// Ed25519 signature, made with the update server's key, over its updater hash
// and every item's ver, path, fullPatch, log and sha256; the key that checks
// it is built into the program, so nobody between the server and us can
// offer a version or change an archive's hash.
namespace UpdateTrust {

// The bytes the signature covers, from a list document's fields as written.
QByteArray signedText(const pugi::xml_node &root);

// Whether the document's "signature" is valid for its fields under the built-in
// key (or `publicKey`, raw 32 bytes, when given); `error` says why not.
bool verifyList(const pugi::xml_document &doc, QString *error, const QByteArray &publicKey = {});

// The SHA-256 of a file as lower-case hex; empty when it cannot be read.
QByteArray sha256OfFile(const QString &path);

// A hash as the list writes it: 64 lower-case hex digits.
bool isSha256Text(const QString &text);

} // namespace UpdateTrust
