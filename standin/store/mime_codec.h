#pragma once
// The RFC 5322 (MIME) form of an item, through GMime. The same codec writes
// the mail files of Maildir folders, the .eml files of calendar folders and,
// with a version header in front, the message file (save format 3). The
// layout is written down in doc/vasnik_store.md ("Mail form", "Message
// file").
//
// Reading is tolerant, because Maildir folders hold what other programs
// delivered: a mail without the store's own headers is an "IPM.Note" whose
// body is its first text/plain part and whose attachments are its other
// parts. Reading what Write wrote gives back equal content (ItemContent ==).

#include "standin/store/item_content.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

namespace vasnik::mime {

// The version the message-file header carries.
inline constexpr int kMessageFileVersion = 1;

// messageFile: put "X-Vasnik-Message-File: 1" in front. The iCalendar text is
// written as it stands in content (callers bring it in line first).
QByteArray Write(const ItemContent& content, bool messageFile);
// Write through GMime alone, whatever the item.
QByteArray WriteGeneral(const ItemContent& content, bool messageFile);

// Throws StoreError when the bytes are not a mail (no header field at all)
// or, with messageFile, when the version header is missing or names another
// version. what: how the error names the input (a path).
ItemContent Read(const QByteArray& bytes, bool messageFile, const QString& what);

// The message-file form as Write makes it for an item without addresses,
// other header fields or attachments, read without GMime; nothing for any
// other input. Read takes it first for message files and leaves the rest to
// ReadGeneral (the GMime parser), which gives equal content for it.
std::optional<ItemContent> ReadOwnForm(const QByteArray& bytes);
ItemContent ReadGeneral(const QByteArray& bytes, bool messageFile, const QString& what);
// The message file Write makes for such an item, byte for byte but for the
// boundary, made without GMime; nothing for any other item. Write takes it
// first for message files.
std::optional<QByteArray> WriteOwnForm(const ItemContent& content);

// The rules both writers follow. A subject that a Subject field would not
// give back unchanged goes in an exact field too; a body that is
// IsPlainSafe goes as 7-bit text, any other in base64.
bool NeedsExactSubject(const QString& subject);
bool IsPlainSafe(const QByteArray& utf8);

// The subject from the header block alone (a restriction does not need the
// whole mail); nullopt when the block holds no header field.
std::optional<QString> ReadSubject(const QByteArray& headerBlock);

// The bytes up to and including the blank line that ends the header block.
QByteArray HeaderBlock(const QByteArray& bytes);

// True for an address of the form local@domain that GMime parses as one
// mailbox.
bool IsSmtpAddress(const QString& address);
// Splits "Name <addr>" or a bare address; text that is not an address comes
// back as the address with an empty name.
Recipient ParseRecipient(const QString& text);

// An RFC 5322 date-time for a Date field.
QString FormatDate(const QDateTime& when);
// The date-time of a Date field, as a mail client reads it (comments and
// obsolete forms included); an invalid one when it does not parse.
QDateTime ParseDate(const QString& field);

}  // namespace vasnik::mime
