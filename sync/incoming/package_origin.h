#pragma once
// Who sent a received package, as its update mails say.
//
// A package's "User" (info.xml) is only what the package itself claims; the
// mails that brought it say who really sent it. The intake records each
// mail's origin for the files it saved, in InboxDir + key + ".from" (a name
// no attachment can take: only key + ".txt" and the volumes are saved):
//
//   <file name> TAB <From> TAB <envelope sender> TAB <Date, ISO 8601 UTC>
//
// one line per saved file, the newest mail's line for a file replacing the
// older one. When a package is complete its files' lines make the package's
// origin, kept as one such line (without the name) in InboxDir + key +
// ".origin" until the unpacked directory has been imported; a directory an
// earlier run left unfinished is imported under it at the next start.
//
// REQUIRES: UI thread only (files of InboxDir).

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <optional>

#include "outlook/messaging.h"

struct MailOrigin {
  QString from;      // the From address
  QString envelope;  // the envelope sender (Return-Path); empty when not reported
  QDateTime sent;    // the Date, UTC; invalid when the mail does not say
};

// The origin of an update mail as the library reports it.
MailOrigin OriginOfMail(const outlook::RdoMail& mail);

// Whether every address the origin reports equals user, letter case ignored.
bool SentBy(const MailOrigin& origin, const QString& user);

// "From" alone, or "From (envelope sender E)" when the envelope differs:
// the addresses a refusal names.
QString DescribeSender(const MailOrigin& origin);

namespace package_origin {

// The mail of origin saved the named files of key.
void RecordFiles(const QString& inboxDir, const QString& key, const QStringList& names, const MailOrigin& origin);
void ForgetFiles(const QString& inboxDir, const QString& key, const QStringList& names);

// The origin of the package made of the named files: From and envelope are
// those of its mails when all agree, else every address seen, comma
// separated (which no single user equals); a file no mail is recorded for
// gives an empty From. The Date is the newest one of its mails.
MailOrigin OfFiles(const QString& inboxDir, const QString& key, const QStringList& names);

// The origin of the unpacked package directory (InboxDir + key); nothing
// when none was recorded.
void RecordUnpacked(const QString& packageDir, const MailOrigin& origin);
std::optional<MailOrigin> OfUnpacked(const QString& packageDir);
void ForgetUnpacked(const QString& packageDir);

}  // namespace package_origin
