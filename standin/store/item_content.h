#pragma once
// ItemContent: everything one item holds, independent of the file that keeps
// it. The three file forms (RFC 5322 mail, iCalendar .ics and the message
// file) are codecs over this one structure (mime_codec.h, ical_codec.h), so
// an item survives any move between forms with the same content.
//
// Equality compares every field except Recipient::resolved, which is state
// of the object in memory (set by ResolveAll), not of the stored item.

#include <QByteArray>
#include <QString>

#include <utility>
#include <vector>

namespace vasnik {

enum RecipientType { kRecipientTo = 1, kRecipientCc = 2, kRecipientBcc = 3 };

struct Recipient {
  QString name;
  QString address;
  int type = kRecipientTo;
  bool resolved = false;
  bool operator==(const Recipient& other) const;
};

// A named text property. Local-only properties belong to the local copy of
// the item and are never transmitted: the mail transport strips them
// (header "X-Vasnik-Local-Property"); shared ones travel with the mail
// (header "X-Vasnik-Property").
struct NamedProperty {
  QString name;
  QString value;
  bool localOnly = true;
  bool operator==(const NamedProperty& other) const = default;
};

struct Attachment {
  QString fileName;     // the name the file is saved under
  QString displayName;  // the name shown for it
  QString mimeType;     // lower case, "application/octet-stream" if unknown
  QByteArray data;
  bool operator==(const Attachment& other) const = default;
};

struct ItemContent {
  QString messageClass;
  QString subject;
  QString body;
  QString senderName;
  QString senderAddress;
  std::vector<Recipient> recipients;
  std::vector<NamedProperty> properties;
  std::vector<Attachment> attachments;
  // The whole iCalendar text (a VCALENDAR) of a calendar item, empty for
  // every other item. Its SUMMARY and DESCRIPTION follow subject and body
  // whenever the item is written.
  QByteArray icalendar;
  // Header fields of a mail that the store does not interpret (Date,
  // Message-ID, Received, ...), name and unfolded value, in file order.
  std::vector<std::pair<QString, QString>> headers;

  bool IsCalendar() const { return !icalendar.isEmpty(); }
  // Properties are found by exact name.
  const NamedProperty* FindProperty(const QString& name) const;
  void SetProperty(const QString& name, const QString& value, bool localOnly);
  // Header fields by name, letter case ignored.
  QString Header(const QString& name) const;
  void SetHeader(const QString& name, const QString& value);

  bool operator==(const ItemContent& other) const = default;
};

// "IPM.Appointment" and its subclasses ("IPM.Appointment.Meeting").
bool IsAppointmentClass(const QString& messageClass);
// The class Items.Add uses for an empty class text in a folder of that type.
QString DefaultMessageClass(int itemType);

// Percent-encoding of property names and values inside header fields and
// iCalendar properties: printable ASCII other than "%", "=", ";", ",", "\",
// ":", '"' stays as it is, except a leading or trailing blank and a leading
// "?" (after the "=" of name=value it would begin an encoded word); every other
// byte of the UTF-8 text becomes %XX. No output can be taken for an RFC 2047
// encoded word or need iCalendar escaping. Decode is its exact inverse.
QString EncodeFieldText(const QString& text);
QString DecodeFieldText(const QString& text);

}  // namespace vasnik
