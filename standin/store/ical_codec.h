#pragma once
// The iCalendar form of a calendar item, through libical: one .ics file (a
// VCALENDAR) per item in a calendar folder, as khal and vdirsyncer keep them.
//
// The item is the first VEVENT of the file (else the first VTODO, else the
// first VJOURNAL): SUMMARY is its subject and DESCRIPTION its body. What the
// item holds beyond that is kept in properties of the same component, so the
// file alone is the whole item (doc/vasnik_store.md, "Calendar form"):
// X-VASNIK-MESSAGE-CLASS (only when the class is not the component's
// default), X-VASNIK-PROPERTY / X-VASNIK-LOCAL-PROPERTY, ATTENDEE
// (recipients), ORGANIZER (sender) and inline binary ATTACH (attachments).
//
// Writing changes only what differs: a file whose fields already agree with
// the item is written back byte for byte, so every property of the event
// that the store does not interpret (UID, DTSTART, RRULE, VALARM, VTIMEZONE,
// X- properties of other programs) is kept as it was.

#include "standin/store/item_content.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

namespace vasnik::ical {

// Throws StoreError when the text does not parse as a VCALENDAR or holds no
// VEVENT, VTODO or VJOURNAL. content.icalendar is the bytes as given.
ItemContent Read(const QByteArray& bytes, const QString& what);

// The SUMMARY of a well-formed file; nullopt for a malformed one.
std::optional<QString> ReadSummary(const QByteArray& bytes);

// content.icalendar with its fields brought in line with content: SUMMARY
// and DESCRIPTION always; with itemFields also the class, properties,
// recipients, sender and attachments (the .ics form, where the file is the
// whole item). Returns content.icalendar unchanged when nothing differs.
// uid, when given, receives the event's UID ("" without one).
QByteArray Synced(const ItemContent& content, bool itemFields, QString* uid = nullptr);

// A new VCALENDAR with one VEVENT (UID, DTSTAMP, DTSTART, DTEND in UTC).
QByteArray NewEvent(const QString& uid, const QDateTime& start, const QDateTime& end);

// The UID of the primary component, empty when there is none.
QString Uid(const QByteArray& icalendar);
std::optional<QDateTime> Start(const QByteArray& icalendar);
std::optional<QDateTime> End(const QByteArray& icalendar);
// Replaces DTSTART and DTEND (and drops DURATION); times are written in UTC.
QByteArray WithTimes(const QByteArray& icalendar, const std::optional<QDateTime>& start,
                     const std::optional<QDateTime>& end);

// "IPM.Appointment" for a VEVENT, "IPM.Task" for a VTODO, "IPM.Activity" for
// a VJOURNAL.
QString DefaultClass(const QByteArray& icalendar);

}  // namespace vasnik::ical
