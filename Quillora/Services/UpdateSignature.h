#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <optional>

// The check a downloaded update must pass before anything is done with it: its exact length, and an
// Ed25519 signature of the whole file made with the release key, whose public half is in Info.ini.
// Keys and signatures travel as base64 text (32 and 64 bytes once decoded).
namespace UpdateSignature {

// What is wrong with `file`, in Italian, or nothing when it is the file the feed announced.
// `expectedLength` below 0 means the feed gave none, which is itself a reason to refuse.
std::optional<QString> problem(QByteArrayView file, qint64 expectedLength, const QString& signatureBase64,
                               const QString& publicKeyBase64);

} // namespace UpdateSignature
