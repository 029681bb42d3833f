#include "standin/store/ical_codec.h"

#include "standin/store/store_error.h"

#include <libical/ical.h>

#include <QRegularExpression>
#include <QTimeZone>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

namespace vasnik::ical {

namespace {

const char kClassProperty[] = "X-VASNIK-MESSAGE-CLASS";
const char kPropertyProperty[] = "X-VASNIK-PROPERTY";
const char kLocalPropertyProperty[] = "X-VASNIK-LOCAL-PROPERTY";
const char kFileNameParameter[] = "X-VASNIK-FILENAME";
const char kDisplayNameParameter[] = "X-VASNIK-DISPLAY-NAME";
const char kSubjectProperty[] = "X-VASNIK-SUBJECT";
const char kBodyProperty[] = "X-VASNIK-BODY";

void EnsureInitialized() {
  static std::once_flag once;
  // A malformed file must come back as a null component, never abort.
  std::call_once(once, [] { icalerror_set_errors_are_fatal(0); });
}

struct ComponentFree {
  void operator()(icalcomponent* component) const {
    if (component) icalcomponent_free(component);
  }
};
using Component = std::unique_ptr<icalcomponent, ComponentFree>;

QString FromUtf8(const char* text) { return text ? QString::fromUtf8(text) : QString(); }

Component Parse(const QByteArray& bytes) {
  EnsureInitialized();
  const QByteArray text = bytes + '\0';  // the parser needs a terminated string
  Component root(icalparser_parse_string(text.constData()));
  if (root && icalcomponent_isa(root.get()) != ICAL_VCALENDAR_COMPONENT) root.reset();
  return root;
}

icalcomponent* Primary(icalcomponent* root) {
  if (!root) return nullptr;
  for (icalcomponent_kind kind : {ICAL_VEVENT_COMPONENT, ICAL_VTODO_COMPONENT, ICAL_VJOURNAL_COMPONENT})
    if (icalcomponent* c = icalcomponent_get_first_component(root, kind)) return c;
  return nullptr;
}

QString DefaultClassOf(icalcomponent* primary) {
  switch (icalcomponent_isa(primary)) {
    case ICAL_VTODO_COMPONENT: return QStringLiteral("IPM.Task");
    case ICAL_VJOURNAL_COMPONENT: return QStringLiteral("IPM.Activity");
    default: return QStringLiteral("IPM.Appointment");
  }
}

std::vector<icalproperty*> Properties(icalcomponent* component, icalproperty_kind kind,
                                      const char* xName = nullptr) {
  std::vector<icalproperty*> found;
  for (icalproperty* p = icalcomponent_get_first_property(component, kind); p;
       p = icalcomponent_get_next_property(component, kind)) {
    if (xName && qstricmp(icalproperty_get_x_name(p), xName) != 0) continue;
    found.push_back(p);
  }
  return found;
}

void RemoveAll(icalcomponent* component, const std::vector<icalproperty*>& properties) {
  for (icalproperty* p : properties) {
    icalcomponent_remove_property(component, p);
    icalproperty_free(p);
  }
}

// The value of a parameter by name, X- or IANA, letter case ignored.
std::optional<QString> Parameter(icalproperty* property, const char* name) {
  for (icalparameter* p = icalproperty_get_first_parameter(property, ICAL_ANY_PARAMETER); p;
       p = icalproperty_get_next_parameter(property, ICAL_ANY_PARAMETER)) {
    const icalparameter_kind kind = icalparameter_isa(p);
    if (kind == ICAL_X_PARAMETER && qstricmp(icalparameter_get_xname(p), name) == 0)
      return FromUtf8(icalparameter_get_xvalue(p));
    if (kind == ICAL_IANA_PARAMETER && qstricmp(icalparameter_get_iana_name(p), name) == 0)
      return FromUtf8(icalparameter_get_iana_value(p));
  }
  return std::nullopt;
}

void AddXParameter(icalproperty* property, const char* name, const QString& value) {
  icalparameter* parameter = icalparameter_new_x(EncodeFieldText(value).toUtf8().constData());
  icalparameter_set_xname(parameter, name);
  icalproperty_add_parameter(property, parameter);
}

QString XValue(icalproperty* property) { return FromUtf8(icalproperty_get_x(property)); }

icalproperty* NewX(const char* name, const QString& value) {
  icalproperty* property = icalproperty_new_x(value.toUtf8().constData());
  icalproperty_set_x_name(property, name);
  return property;
}

// "mailto:" addresses of ATTENDEE and ORGANIZER.
QString MailtoAddress(const char* value) {
  QString text = FromUtf8(value).trimmed();
  if (text.startsWith(u"mailto:", Qt::CaseInsensitive)) text = text.mid(7);
  return text;
}

Recipient PersonOf(icalproperty* property, const char* value) {
  Recipient person;
  person.address = MailtoAddress(value);
  if (icalparameter* cn = icalproperty_get_first_parameter(property, ICAL_CN_PARAMETER))
    person.name = FromUtf8(icalparameter_get_cn(cn));
  if (icalparameter* role = icalproperty_get_first_parameter(property, ICAL_ROLE_PARAMETER)) {
    const icalparameter_role r = icalparameter_get_role(role);
    if (r == ICAL_ROLE_OPTPARTICIPANT) person.type = kRecipientCc;
    if (r == ICAL_ROLE_NONPARTICIPANT) person.type = kRecipientBcc;
  }
  person.resolved = person.address.contains(u'@');
  return person;
}

std::vector<Recipient> Attendees(icalcomponent* primary) {
  std::vector<Recipient> out;
  for (icalproperty* p : Properties(primary, ICAL_ATTENDEE_PROPERTY))
    out.push_back(PersonOf(p, icalproperty_get_attendee(p)));
  return out;
}

std::optional<Recipient> Organizer(icalcomponent* primary) {
  icalproperty* p = icalcomponent_get_first_property(primary, ICAL_ORGANIZER_PROPERTY);
  if (!p) return std::nullopt;
  return PersonOf(p, icalproperty_get_organizer(p));
}

std::vector<NamedProperty> NamedProperties(icalcomponent* primary) {
  std::vector<NamedProperty> out;
  for (icalproperty* p : Properties(primary, ICAL_X_PROPERTY)) {
    const char* name = icalproperty_get_x_name(p);
    const bool local = qstricmp(name, kLocalPropertyProperty) == 0;
    if (!local && qstricmp(name, kPropertyProperty) != 0) continue;
    const QString field = XValue(p).trimmed();
    const qsizetype equals = field.indexOf(u'=');
    if (equals <= 0) continue;
    out.push_back({DecodeFieldText(field.left(equals)), DecodeFieldText(field.mid(equals + 1)), local});
  }
  return out;
}

std::vector<icalproperty*> BinaryAttachProperties(icalcomponent* primary) {
  std::vector<icalproperty*> out;
  for (icalproperty* p : Properties(primary, ICAL_ATTACH_PROPERTY)) {
    icalattach* attach = icalproperty_get_attach(p);
    if (attach && !icalattach_get_is_url(attach)) out.push_back(p);
  }
  return out;
}

std::vector<Attachment> Attachments(icalcomponent* primary) {
  std::vector<Attachment> out;
  for (icalproperty* p : BinaryAttachProperties(primary)) {
    Attachment attachment;
    const char* data = reinterpret_cast<const char*>(icalattach_get_data(icalproperty_get_attach(p)));
    attachment.data = QByteArray::fromBase64(QByteArray(data ? data : ""));
    if (auto own = Parameter(p, kFileNameParameter))
      attachment.fileName = DecodeFieldText(*own);
    else if (auto plain = Parameter(p, "FILENAME"))
      attachment.fileName = *plain;
    else if (auto x = Parameter(p, "X-FILENAME"))
      attachment.fileName = *x;
    if (attachment.fileName.isEmpty())
      attachment.fileName = QStringLiteral("attachment-%1").arg(out.size() + 1);
    auto display = Parameter(p, kDisplayNameParameter);
    attachment.displayName = display ? DecodeFieldText(*display) : attachment.fileName;
    icalparameter* type = icalproperty_get_first_parameter(p, ICAL_FMTTYPE_PARAMETER);
    attachment.mimeType = type ? FromUtf8(icalparameter_get_fmttype(type)).toLower()
                               : QStringLiteral("application/octet-stream");
    out.push_back(std::move(attachment));
  }
  return out;
}

QString ClassOf(icalcomponent* primary) {
  for (icalproperty* p : Properties(primary, ICAL_X_PROPERTY, kClassProperty))
    return DecodeFieldText(XValue(p).trimmed());
  return DefaultClassOf(primary);
}

void FreeAttachData(char* data, void*) { delete[] data; }

QByteArray Serialize(icalcomponent* root) {
  char* text = icalcomponent_as_ical_string_r(root);
  QByteArray out(text ? text : "");
  std::free(text);
  return out;
}

icalproperty* NewPerson(bool organizer, const Recipient& person) {
  const QByteArray value = (QStringLiteral("mailto:") + person.address).toUtf8();
  icalproperty* p = organizer ? icalproperty_new_organizer(value.constData())
                              : icalproperty_new_attendee(value.constData());
  if (!person.name.isEmpty())
    icalproperty_add_parameter(p, icalparameter_new_cn(person.name.toUtf8().constData()));
  if (!organizer && person.type == kRecipientCc)
    icalproperty_add_parameter(p, icalparameter_new_role(ICAL_ROLE_OPTPARTICIPANT));
  if (!organizer && person.type == kRecipientBcc)
    icalproperty_add_parameter(p, icalparameter_new_role(ICAL_ROLE_NONPARTICIPANT));
  return p;
}

icalproperty* NewText(icalproperty_kind kind, const QString& text) {
  const QByteArray utf8 = text.toUtf8();
  return kind == ICAL_SUMMARY_PROPERTY ? icalproperty_new_summary(utf8.constData())
                                       : icalproperty_new_description(utf8.constData());
}

QString PlainText(icalcomponent* primary, icalproperty_kind kind) {
  icalproperty* p = icalcomponent_get_first_property(primary, kind);
  return p ? FromUtf8(icalvalue_get_text(icalproperty_get_value(p))) : QString();
}

// What a TEXT value reads back as after a write and a parse: libical drops
// carriage returns and blanks at either end.
QString RoundTrip(icalproperty_kind kind, const QString& text) {
  icalproperty* p = NewText(kind, text);
  char* line = icalproperty_as_ical_string_r(p);
  icalproperty_free(p);
  const QByteArray wrapped = QByteArray("BEGIN:VCALENDAR\r\nBEGIN:VEVENT\r\n") + line +
                             "END:VEVENT\r\nEND:VCALENDAR\r\n";
  std::free(line);
  Component root(icalparser_parse_string(wrapped.constData()));
  icalcomponent* event = Primary(root.get());
  return event ? PlainText(event, kind) : QString();
}

// SUMMARY or DESCRIPTION as the item sees it. A text libical cannot carry
// exactly is kept beside it in X-VASNIK-SUBJECT / X-VASNIK-BODY; that copy
// counts only while it still matches the plain property, so an edit by
// another program (khal) wins.
QString EffectiveText(icalcomponent* primary, icalproperty_kind kind, const char* exactName) {
  const QString plain = PlainText(primary, kind);
  for (icalproperty* p : Properties(primary, ICAL_X_PROPERTY, exactName)) {
    const QString exact = DecodeFieldText(XValue(p).trimmed());
    if (RoundTrip(kind, exact) == plain) return exact;
  }
  return plain;
}

bool SyncText(icalcomponent* primary, icalproperty_kind kind, const char* exactName,
              const QString& wanted) {
  if (EffectiveText(primary, kind, exactName) == wanted &&
      (wanted.isEmpty() || icalcomponent_get_first_property(primary, kind)))
    return false;
  RemoveAll(primary, Properties(primary, kind));
  RemoveAll(primary, Properties(primary, ICAL_X_PROPERTY, exactName));
  if (!wanted.isEmpty()) {
    icalcomponent_add_property(primary, NewText(kind, wanted));
    if (RoundTrip(kind, wanted) != wanted)
      icalcomponent_add_property(primary, NewX(exactName, EncodeFieldText(wanted)));
  }
  return true;
}

std::optional<QDateTime> ToDateTime(icaltimetype t) {
  if (icaltime_is_null_time(t) || !icaltime_is_valid_time(t)) return std::nullopt;
  const QDate date(t.year, t.month, t.day);
  if (t.is_date) return QDateTime(date, QTime(0, 0));
  if (icaltime_is_utc(t)) return QDateTime(date, QTime(t.hour, t.minute, t.second), Qt::UTC);
  if (t.zone) {
    const icaltimetype utc = icaltime_convert_to_zone(t, icaltimezone_get_utc_timezone());
    return QDateTime(QDate(utc.year, utc.month, utc.day), QTime(utc.hour, utc.minute, utc.second),
                     Qt::UTC);
  }
  return QDateTime(date, QTime(t.hour, t.minute, t.second));  // floating: local time
}

icaltimetype ToIcalUtc(const QDateTime& when) {
  return icaltime_from_timet_with_zone(when.toSecsSinceEpoch(), 0, icaltimezone_get_utc_timezone());
}

}  // namespace

ItemContent Read(const QByteArray& bytes, const QString& what) {
  Component root = Parse(bytes);
  icalcomponent* primary = Primary(root.get());
  if (!primary)
    throw StoreError(
        QStringLiteral("%1 is not an iCalendar file with an event, to-do or journal entry").arg(what));
  ItemContent content;
  content.messageClass = ClassOf(primary);
  content.subject = EffectiveText(primary, ICAL_SUMMARY_PROPERTY, kSubjectProperty);
  content.body = EffectiveText(primary, ICAL_DESCRIPTION_PROPERTY, kBodyProperty);
  if (auto organizer = Organizer(primary)) {
    content.senderName = organizer->name;
    content.senderAddress = organizer->address;
  }
  content.recipients = Attendees(primary);
  content.properties = NamedProperties(primary);
  content.attachments = Attachments(primary);
  content.icalendar = bytes;
  return content;
}

std::optional<QString> ReadSummary(const QByteArray& bytes) {
  Component root = Parse(bytes);
  icalcomponent* primary = Primary(root.get());
  if (!primary) return std::nullopt;
  return EffectiveText(primary, ICAL_SUMMARY_PROPERTY, kSubjectProperty);
}

QByteArray Synced(const ItemContent& content, bool itemFields, QString* uid) {
  Component root = Parse(content.icalendar);
  icalcomponent* primary = Primary(root.get());
  if (uid) *uid = primary ? FromUtf8(icalcomponent_get_uid(primary)) : QString();
  if (!primary) return content.icalendar;  // not a calendar text the store can edit
  bool changed = SyncText(primary, ICAL_SUMMARY_PROPERTY, kSubjectProperty, content.subject);
  changed |= SyncText(primary, ICAL_DESCRIPTION_PROPERTY, kBodyProperty, content.body);
  if (itemFields) {
    if (ClassOf(primary) != content.messageClass) {
      RemoveAll(primary, Properties(primary, ICAL_X_PROPERTY, kClassProperty));
      if (content.messageClass != DefaultClassOf(primary))
        icalcomponent_add_property(primary, NewX(kClassProperty, EncodeFieldText(content.messageClass)));
      changed = true;
    }
    if (NamedProperties(primary) != content.properties) {
      RemoveAll(primary, Properties(primary, ICAL_X_PROPERTY, kPropertyProperty));
      RemoveAll(primary, Properties(primary, ICAL_X_PROPERTY, kLocalPropertyProperty));
      for (const NamedProperty& property : content.properties)
        icalcomponent_add_property(
            primary, NewX(property.localOnly ? kLocalPropertyProperty : kPropertyProperty,
                          EncodeFieldText(property.name) + u'=' +
                              EncodeFieldText(property.value)));
      changed = true;
    }
    if (Attendees(primary) != content.recipients) {
      // Attendees that stay keep their parameters (PARTSTAT, RSVP, ...).
      const std::vector<icalproperty*> old = Properties(primary, ICAL_ATTENDEE_PROPERTY);
      std::vector<icalproperty*> fresh;
      for (const Recipient& recipient : content.recipients) {
        icalproperty* reuse = nullptr;
        for (icalproperty* p : old)
          if (PersonOf(p, icalproperty_get_attendee(p)) == recipient) reuse = p;
        fresh.push_back(reuse ? icalproperty_new_clone(reuse) : NewPerson(false, recipient));
      }
      RemoveAll(primary, old);
      for (icalproperty* p : fresh) icalcomponent_add_property(primary, p);
      changed = true;
    }
    const Recipient sender{content.senderName, content.senderAddress, kRecipientTo, false};
    const auto organizer = Organizer(primary);
    const bool hasSender = !content.senderAddress.isEmpty();
    if ((organizer && (!hasSender || organizer->address != sender.address ||
                       organizer->name != sender.name)) ||
        (!organizer && hasSender)) {
      RemoveAll(primary, Properties(primary, ICAL_ORGANIZER_PROPERTY));
      if (hasSender) icalcomponent_add_property(primary, NewPerson(true, sender));
      changed = true;
    }
    if (Attachments(primary) != content.attachments) {
      RemoveAll(primary, BinaryAttachProperties(primary));
      for (const Attachment& attachment : content.attachments) {
        // libical keeps the pointer it is given, so it gets a copy it frees.
        char* data = qstrdup(attachment.data.toBase64().constData());
        icalattach* attach = icalattach_new_from_data(data, FreeAttachData, nullptr);
        icalproperty* p = icalproperty_new_attach(attach);
        icalattach_unref(attach);
        icalproperty_add_parameter(p, icalparameter_new_encoding(ICAL_ENCODING_BASE64));
        icalproperty_add_parameter(p, icalparameter_new_value(ICAL_VALUE_BINARY));
        if (!attachment.mimeType.isEmpty())
          icalproperty_add_parameter(p, icalparameter_new_fmttype(attachment.mimeType.toUtf8().constData()));
        AddXParameter(p, kFileNameParameter, attachment.fileName);
        if (attachment.displayName != attachment.fileName)
          AddXParameter(p, kDisplayNameParameter, attachment.displayName);
        icalcomponent_add_property(primary, p);
      }
      changed = true;
    }
  }
  if (!changed) return content.icalendar;
  icalcomponent_strip_errors(root.get());
  return Serialize(root.get());
}

namespace {
QByteArray TwoDigits(int n) { return QByteArray(1, char('0' + n / 10)) + char('0' + n % 10); }
}  // namespace

QByteArray NewEvent(const QString& uid, const QDateTime& start, const QDateTime& end) {
  // Every item Items.Add makes starts as this text, and an import replaces
  // most of them at once: written here as libical writes it when nothing in
  // it needs escaping or folding.
  static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9@._-]{1,60}$"));
  if (plain.match(uid).hasMatch()) {
    const auto utc = [](const QDateTime& when) {
      const QDateTime t = QDateTime::fromSecsSinceEpoch(when.toSecsSinceEpoch(), QTimeZone::utc());
      const QDate d = t.date();
      const QTime h = t.time();
      return QByteArray::number(d.year()).rightJustified(4, '0') + TwoDigits(d.month()) + TwoDigits(d.day()) + 'T' +
             TwoDigits(h.hour()) + TwoDigits(h.minute()) + TwoDigits(h.second()) + 'Z';
    };
    return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Vasnik//Message store//EN\r\nBEGIN:VEVENT\r\nUID:" +
           uid.toLatin1() + "\r\nDTSTAMP:" + utc(QDateTime::currentDateTimeUtc()) + "\r\nDTSTART:" + utc(start) +
           "\r\nDTEND:" + utc(end) + "\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
  }
  EnsureInitialized();
  Component root(icalcomponent_new(ICAL_VCALENDAR_COMPONENT));
  icalcomponent_add_property(root.get(), icalproperty_new_version("2.0"));
  icalcomponent_add_property(root.get(), icalproperty_new_prodid("-//Vasnik//Message store//EN"));
  icalcomponent* event = icalcomponent_new(ICAL_VEVENT_COMPONENT);
  icalcomponent_add_property(event, icalproperty_new_uid(uid.toUtf8().constData()));
  icalcomponent_add_property(
      event, icalproperty_new_dtstamp(ToIcalUtc(QDateTime::currentDateTimeUtc())));
  icalcomponent_add_property(event, icalproperty_new_dtstart(ToIcalUtc(start)));
  icalcomponent_add_property(event, icalproperty_new_dtend(ToIcalUtc(end)));
  icalcomponent_add_component(root.get(), event);
  return Serialize(root.get());
}

QString Uid(const QByteArray& icalendar) {
  Component root = Parse(icalendar);
  icalcomponent* primary = Primary(root.get());
  return primary ? FromUtf8(icalcomponent_get_uid(primary)) : QString();
}

std::optional<QDateTime> Start(const QByteArray& icalendar) {
  Component root = Parse(icalendar);
  icalcomponent* primary = Primary(root.get());
  if (!primary || !icalcomponent_get_first_property(primary, ICAL_DTSTART_PROPERTY)) return std::nullopt;
  return ToDateTime(icalcomponent_get_dtstart(primary));
}

std::optional<QDateTime> End(const QByteArray& icalendar) {
  Component root = Parse(icalendar);
  icalcomponent* primary = Primary(root.get());
  if (!primary || icalcomponent_isa(primary) != ICAL_VEVENT_COMPONENT) return std::nullopt;
  if (!icalcomponent_get_first_property(primary, ICAL_DTEND_PROPERTY) &&
      !icalcomponent_get_first_property(primary, ICAL_DURATION_PROPERTY))
    return std::nullopt;
  return ToDateTime(icalcomponent_get_dtend(primary));
}

QByteArray WithTimes(const QByteArray& icalendar, const std::optional<QDateTime>& start,
                     const std::optional<QDateTime>& end) {
  Component root = Parse(icalendar);
  icalcomponent* primary = Primary(root.get());
  if (!primary) throw StoreError(QStringLiteral("the item's iCalendar text cannot be edited"));
  if (start) {
    RemoveAll(primary, Properties(primary, ICAL_DTSTART_PROPERTY));
    icalcomponent_add_property(primary, icalproperty_new_dtstart(ToIcalUtc(*start)));
  }
  if (end) {
    RemoveAll(primary, Properties(primary, ICAL_DTEND_PROPERTY));
    RemoveAll(primary, Properties(primary, ICAL_DURATION_PROPERTY));
    icalcomponent_add_property(primary, icalproperty_new_dtend(ToIcalUtc(*end)));
  }
  icalcomponent_strip_errors(root.get());
  return Serialize(root.get());
}

QString DefaultClass(const QByteArray& icalendar) {
  Component root = Parse(icalendar);
  icalcomponent* primary = Primary(root.get());
  return primary ? DefaultClassOf(primary) : QStringLiteral("IPM.Appointment");
}

}  // namespace vasnik::ical
