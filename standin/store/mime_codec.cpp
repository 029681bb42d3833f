#include "standin/store/mime_codec.h"

#include "standin/store/store_error.h"

#include <gmime/gmime.h>

#include <QDateTime>
#include <QTimeZone>

#include <memory>
#include <mutex>

namespace vasnik::mime {

namespace {

void EnsureInitialized() {
  static std::once_flag once;
  std::call_once(once, [] { g_mime_init(); });
}

struct GObjectUnref {
  void operator()(gpointer object) const {
    if (object) g_object_unref(object);
  }
};
template <typename T>
using GRef = std::unique_ptr<T, GObjectUnref>;

struct GFree {
  void operator()(gpointer p) const { g_free(p); }
};
using GString = std::unique_ptr<char, GFree>;

QString FromUtf8(const char* text) { return text ? QString::fromUtf8(text) : QString(); }

const char kFileHeader[] = "X-Vasnik-Message-File";
const char kClassHeader[] = "X-Vasnik-Message-Class";
const char kSubjectHeader[] = "X-Vasnik-Subject";
const char kPropertyHeader[] = "X-Vasnik-Property";
const char kLocalPropertyHeader[] = "X-Vasnik-Local-Property";
const char kPartHeader[] = "X-Vasnik-Part";

// Header fields that the codec writes from ItemContent's own fields.
bool IsManagedHeader(const QString& name) {
  static const char* const kManaged[] = {"From", "To", "Cc", "Bcc", "Subject", "MIME-Version"};
  for (const char* managed : kManaged)
    if (name.compare(QLatin1String(managed), Qt::CaseInsensitive) == 0) return true;
  return name.startsWith(u"Content-", Qt::CaseInsensitive) ||
         name.startsWith(u"X-Vasnik-", Qt::CaseInsensitive);
}

GRef<GMimeStream> MemoryStream(const QByteArray& data) {
  return GRef<GMimeStream>(g_mime_stream_mem_new_with_buffer(data.constData(), data.size()));
}

QByteArray StreamBytes(GMimeStream* stream) {
  GByteArray* array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream));
  return QByteArray(reinterpret_cast<const char*>(array->data), array->len);
}

GRef<GMimePart> BinaryPart(const QString& mimeType, const QByteArray& data) {
  const QByteArray type = mimeType.toLatin1();
  const int slash = type.indexOf('/');
  const QByteArray major = slash > 0 ? type.left(slash) : QByteArray("application");
  const QByteArray minor = slash > 0 ? type.mid(slash + 1) : QByteArray("octet-stream");
  GRef<GMimePart> part(g_mime_part_new_with_type(major.constData(), minor.constData()));
  GRef<GMimeStream> stream = MemoryStream(data);
  GRef<GMimeDataWrapper> wrapper(
      g_mime_data_wrapper_new_with_stream(stream.get(), GMIME_CONTENT_ENCODING_DEFAULT));
  g_mime_part_set_content(part.get(), wrapper.get());
  g_mime_part_set_content_encoding(part.get(), GMIME_CONTENT_ENCODING_BASE64);
  return part;
}

QByteArray DecodedContent(GMimePart* part) {
  GMimeDataWrapper* wrapper = g_mime_part_get_content(part);
  if (!wrapper) return {};
  GRef<GMimeStream> out(g_mime_stream_mem_new());
  g_mime_data_wrapper_write_to_stream(wrapper, out.get());
  return StreamBytes(out.get());
}

// Names and addresses go into header fields as one line. A line break is
// folding, which reading should remove (RFC 5322 2.2.3), but GMime leaves
// the break of a name folded before an encoded word, encodes a break it is
// given into words it does not read back the same (each round trip cost the
// name a character), and refolds a long name at a tab, which comes back as
// a blank. So a display name keeps its words with single blanks between
// them (QString::simplified), read and written, and round-trips exactly.
// An address that could not be parsed is written as it stands, so a line
// break in it would start a header field of its own: the breaks go.
QString SingleLine(const QString& name) { return name.simplified(); }

QString AddressLine(QString address) {
  address.remove(u'\r');
  address.remove(u'\n');
  return address;
}

void AddMailboxes(GMimeMessage* message, GMimeAddressType type, const ItemContent& content,
                  int recipientType) {
  for (const Recipient& recipient : content.recipients) {
    if (recipient.type != recipientType) continue;
    g_mime_message_add_mailbox(message, type, SingleLine(recipient.name).toUtf8().constData(),
                               AddressLine(recipient.address).toUtf8().constData());
  }
}

void CollectMailboxes(InternetAddressList* list, int type, std::vector<Recipient>* out) {
  if (!list) return;
  const int count = internet_address_list_length(list);
  for (int i = 0; i < count; ++i) {
    InternetAddress* address = internet_address_list_get_address(list, i);
    if (INTERNET_ADDRESS_IS_GROUP(address)) {
      CollectMailboxes(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(address)), type,
                       out);
      continue;
    }
    Recipient recipient;
    recipient.name = SingleLine(FromUtf8(internet_address_get_name(address)));
    recipient.address =
        FromUtf8(internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(address)));
    recipient.type = type;
    recipient.resolved = IsSmtpAddress(recipient.address);
    out->push_back(recipient);
  }
}

QString MimeTypeOf(GMimeObject* object) {
  GMimeContentType* type = g_mime_object_get_content_type(object);
  if (!type) return QStringLiteral("application/octet-stream");
  GString text(g_mime_content_type_get_mime_type(type));
  return FromUtf8(text.get()).toLower();
}

bool IsAttachmentDisposition(GMimeObject* object) {
  GMimeContentDisposition* disposition = g_mime_object_get_content_disposition(object);
  return disposition && g_mime_content_disposition_is_attachment(disposition);
}

struct PartWalk {
  bool wantCalendar = false;
  bool haveBody = false;
  ItemContent* content = nullptr;
};

void AddAttachment(GMimeObject* object, const QByteArray& data, const QString& fallbackName,
                   PartWalk* walk) {
  Attachment attachment;
  attachment.mimeType = MimeTypeOf(object);
  if (GMIME_IS_PART(object)) attachment.fileName = FromUtf8(g_mime_part_get_filename(GMIME_PART(object)));
  GMimeContentType* type = g_mime_object_get_content_type(object);
  attachment.displayName =
      type ? FromUtf8(g_mime_content_type_get_parameter(type, "name")) : QString();
  if (attachment.fileName.isEmpty()) attachment.fileName = attachment.displayName;
  if (attachment.fileName.isEmpty())
    attachment.fileName = fallbackName.arg(walk->content->attachments.size() + 1);
  if (attachment.displayName.isEmpty()) attachment.displayName = attachment.fileName;
  attachment.data = data;
  walk->content->attachments.push_back(std::move(attachment));
}

void WalkPart(GMimeObject* object, PartWalk* walk) {
  if (GMIME_IS_MULTIPART(object)) {
    GMimeMultipart* multipart = GMIME_MULTIPART(object);
    const int count = g_mime_multipart_get_count(multipart);
    for (int i = 0; i < count; ++i) WalkPart(g_mime_multipart_get_part(multipart, i), walk);
    return;
  }
  if (GMIME_IS_MESSAGE_PART(object)) {
    GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
    GRef<GMimeStream> out(g_mime_stream_mem_new());
    if (inner) g_mime_object_write_to_stream(GMIME_OBJECT(inner), nullptr, out.get());
    AddAttachment(object, StreamBytes(out.get()), QStringLiteral("message-%1.eml"), walk);
    return;
  }
  if (!GMIME_IS_PART(object)) return;
  GMimePart* part = GMIME_PART(object);
  const QString role = FromUtf8(g_mime_object_get_header(object, kPartHeader)).toLower();
  const QString mimeType = MimeTypeOf(object);
  const bool attachment = IsAttachmentDisposition(object);
  if (role == u"body" || (role.isEmpty() && !walk->haveBody && !attachment &&
                          mimeType == u"text/plain")) {
    if (GMIME_IS_TEXT_PART(object)) {
      GString text(g_mime_text_part_get_text(GMIME_TEXT_PART(object)));
      walk->content->body = FromUtf8(text.get());
    } else {
      walk->content->body = QString::fromUtf8(DecodedContent(part));
    }
    walk->haveBody = true;
    return;
  }
  if (role == u"calendar" || (role.isEmpty() && walk->wantCalendar && !attachment &&
                              walk->content->icalendar.isEmpty() &&
                              mimeType == u"text/calendar")) {
    walk->content->icalendar = DecodedContent(part);
    return;
  }
  const bool named = g_mime_part_get_filename(part) != nullptr;
  if (attachment || named || !mimeType.startsWith(u"text/"))
    AddAttachment(object, DecodedContent(part), QStringLiteral("attachment-%1"), walk);
  // Inline text parts that are not the body (the HTML side of an
  // alternative) are views of the body, not attachments.
}

GRef<GMimeMessage> Parse(const QByteArray& bytes) {
  EnsureInitialized();
  GRef<GMimeStream> stream = MemoryStream(bytes);
  GRef<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
  g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
  return GRef<GMimeMessage>(g_mime_parser_construct_message(parser.get(), nullptr));
}

int HeaderCount(GMimeMessage* message) {
  return message ? g_mime_header_list_get_count(g_mime_object_get_header_list(GMIME_OBJECT(message)))
                 : 0;
}

}  // namespace

// A subject that a Subject field would not give back unchanged.
bool NeedsExactSubject(const QString& subject) {
  if (subject != subject.trimmed() || subject.contains(u"=?")) return true;
  for (QChar c : subject)
    if (c.unicode() < 0x20 || c.unicode() == 0x7f) return true;
  for (qsizetype i = 1; i < subject.size(); ++i)
    if (subject[i] == u' ' && subject[i - 1] == u' ') return true;
  return false;
}

// A body that goes through as 7-bit text with no change: ASCII without CR or
// NUL, short lines, and (the one thing the parser adds) a final line break.
bool IsPlainSafe(const QByteArray& utf8) {
  if (utf8.isEmpty()) return true;
  if (!utf8.endsWith('\n')) return false;
  int lineLength = 0;
  for (char ch : utf8) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '\n') {
      lineLength = 0;
      continue;
    }
    if (c >= 0x80 || c == '\r' || c == 0 || (c < 0x20 && c != '\t')) return false;
    if (++lineLength > 900) return false;
  }
  return true;
}

QByteArray Write(const ItemContent& content, bool messageFile) {
  if (messageFile)
    if (std::optional<QByteArray> own = WriteOwnForm(content)) return std::move(*own);
  return WriteGeneral(content, messageFile);
}

QByteArray WriteGeneral(const ItemContent& content, bool messageFile) {
  EnsureInitialized();
  GRef<GMimeMessage> message(g_mime_message_new(FALSE));
  GMimeObject* top = GMIME_OBJECT(message.get());
  if (messageFile)
    g_mime_object_append_header(top, kFileHeader, QByteArray::number(kMessageFileVersion), nullptr);
  if (!content.senderAddress.isEmpty() || !content.senderName.isEmpty())
    g_mime_message_add_mailbox(message.get(), GMIME_ADDRESS_TYPE_FROM,
                               SingleLine(content.senderName).toUtf8().constData(),
                               AddressLine(content.senderAddress).toUtf8().constData());
  AddMailboxes(message.get(), GMIME_ADDRESS_TYPE_TO, content, kRecipientTo);
  AddMailboxes(message.get(), GMIME_ADDRESS_TYPE_CC, content, kRecipientCc);
  AddMailboxes(message.get(), GMIME_ADDRESS_TYPE_BCC, content, kRecipientBcc);
  g_mime_message_set_subject(message.get(), content.subject.toUtf8().constData(), "utf-8");
  if (NeedsExactSubject(content.subject))
    g_mime_object_append_header(top, kSubjectHeader,
                                EncodeFieldText(content.subject).toUtf8().constData(),
                                nullptr);
  for (const auto& [name, value] : content.headers) {
    if (IsManagedHeader(name)) continue;
    g_mime_object_append_header(top, name.toUtf8().constData(), value.toUtf8().constData(),
                                "utf-8");
  }
  g_mime_object_append_header(top, kClassHeader, content.messageClass.toUtf8().constData(),
                              "utf-8");
  for (const NamedProperty& property : content.properties) {
    const QString field =
        EncodeFieldText(property.name) + u'=' + EncodeFieldText(property.value);
    g_mime_object_append_header(top, property.localOnly ? kLocalPropertyHeader : kPropertyHeader,
                                field.toUtf8().constData(), nullptr);
  }
  g_mime_object_append_header(top, "MIME-Version", "1.0", nullptr);

  const QByteArray body = content.body.toUtf8();
  GRef<GMimeTextPart> bodyPart(g_mime_text_part_new_with_subtype("plain"));
  g_mime_text_part_set_text(bodyPart.get(), body.constData());
  if (IsPlainSafe(body)) {
    g_mime_text_part_set_charset(bodyPart.get(), "us-ascii");
    g_mime_part_set_content_encoding(GMIME_PART(bodyPart.get()), GMIME_CONTENT_ENCODING_DEFAULT);
  } else {
    // Base64 keeps every byte (CR LF, trailing blanks, a missing final line
    // break) exactly as the item holds it.
    g_mime_text_part_set_charset(bodyPart.get(), "utf-8");
    GRef<GMimeStream> stream = MemoryStream(body);
    GRef<GMimeDataWrapper> wrapper(
        g_mime_data_wrapper_new_with_stream(stream.get(), GMIME_CONTENT_ENCODING_DEFAULT));
    g_mime_part_set_content(GMIME_PART(bodyPart.get()), wrapper.get());
    g_mime_part_set_content_encoding(GMIME_PART(bodyPart.get()), GMIME_CONTENT_ENCODING_BASE64);
  }

  if (content.attachments.empty() && content.icalendar.isEmpty()) {
    g_mime_message_set_mime_part(message.get(), GMIME_OBJECT(bodyPart.get()));
  } else {
    GRef<GMimeMultipart> multipart(g_mime_multipart_new_with_subtype("mixed"));
    g_mime_object_set_header(GMIME_OBJECT(bodyPart.get()), kPartHeader, "body", nullptr);
    g_mime_multipart_add(multipart.get(), GMIME_OBJECT(bodyPart.get()));
    if (!content.icalendar.isEmpty()) {
      GRef<GMimePart> calendar = BinaryPart(QStringLiteral("text/calendar"), content.icalendar);
      GMimeObject* object = GMIME_OBJECT(calendar.get());
      g_mime_content_type_set_parameter(g_mime_object_get_content_type(object), "charset", "utf-8");
      g_mime_object_set_header(object, kPartHeader, "calendar", nullptr);
      g_mime_multipart_add(multipart.get(), object);
    }
    for (const Attachment& attachment : content.attachments) {
      GRef<GMimePart> part = BinaryPart(
          attachment.mimeType.isEmpty() ? QStringLiteral("application/octet-stream")
                                        : attachment.mimeType,
          attachment.data);
      GMimeObject* object = GMIME_OBJECT(part.get());
      g_mime_object_set_disposition(object, GMIME_DISPOSITION_ATTACHMENT);
      g_mime_part_set_filename(part.get(), attachment.fileName.toUtf8().constData());
      g_mime_content_type_set_parameter(g_mime_object_get_content_type(object), "name",
                                        attachment.displayName.toUtf8().constData());
      g_mime_multipart_add(multipart.get(), object);
    }
    g_mime_message_set_mime_part(message.get(), GMIME_OBJECT(multipart.get()));
  }

  GRef<GMimeStream> out(g_mime_stream_mem_new());
  g_mime_object_write_to_stream(top, nullptr, out.get());
  return StreamBytes(out.get());
}

ItemContent Read(const QByteArray& bytes, bool messageFile, const QString& what) {
  if (messageFile)
    if (std::optional<ItemContent> own = ReadOwnForm(bytes)) return std::move(*own);
  return ReadGeneral(bytes, messageFile, what);
}

ItemContent ReadGeneral(const QByteArray& bytes, bool messageFile, const QString& what) {
  GRef<GMimeMessage> message = Parse(bytes);
  if (HeaderCount(message.get()) == 0)
    throw StoreError(QStringLiteral("%1 is not a mail: it has no header").arg(what));
  GMimeObject* top = GMIME_OBJECT(message.get());
  if (messageFile) {
    const char* version = g_mime_object_get_header(top, kFileHeader);
    if (!version)
      throw StoreError(QStringLiteral("%1 is not a message file (no %2 header)")
                           .arg(what, QLatin1String(kFileHeader)));
    if (QByteArray(version).trimmed() != QByteArray::number(kMessageFileVersion))
      throw StoreError(QStringLiteral("%1 is a message file of version %2; this library reads "
                                      "version %3")
                           .arg(what, FromUtf8(version).trimmed())
                           .arg(kMessageFileVersion));
  }

  ItemContent content;
  const char* messageClass = g_mime_object_get_header(top, kClassHeader);
  content.messageClass =
      messageClass ? FromUtf8(messageClass).trimmed() : QStringLiteral("IPM.Note");
  if (content.messageClass.isEmpty()) content.messageClass = QStringLiteral("IPM.Note");
  const char* exactSubject = g_mime_object_get_header(top, kSubjectHeader);
  content.subject = exactSubject ? DecodeFieldText(FromUtf8(exactSubject).trimmed())
                                 : FromUtf8(g_mime_message_get_subject(message.get()));

  InternetAddressList* from = g_mime_message_get_from(message.get());
  if (from && internet_address_list_length(from) > 0) {
    std::vector<Recipient> senders;
    CollectMailboxes(from, kRecipientTo, &senders);
    if (!senders.empty()) {
      content.senderName = senders.front().name;
      content.senderAddress = senders.front().address;
    }
  }
  CollectMailboxes(g_mime_message_get_addresses(message.get(), GMIME_ADDRESS_TYPE_TO),
                   kRecipientTo, &content.recipients);
  CollectMailboxes(g_mime_message_get_addresses(message.get(), GMIME_ADDRESS_TYPE_CC),
                   kRecipientCc, &content.recipients);
  CollectMailboxes(g_mime_message_get_addresses(message.get(), GMIME_ADDRESS_TYPE_BCC),
                   kRecipientBcc, &content.recipients);

  GMimeHeaderList* headers = g_mime_object_get_header_list(top);
  const int count = g_mime_header_list_get_count(headers);
  for (int i = 0; i < count; ++i) {
    GMimeHeader* header = g_mime_header_list_get_header_at(headers, i);
    const QString name = FromUtf8(g_mime_header_get_name(header));
    const QString value = FromUtf8(g_mime_header_get_value(header));
    const bool local = name.compare(QLatin1String(kLocalPropertyHeader), Qt::CaseInsensitive) == 0;
    if (local || name.compare(QLatin1String(kPropertyHeader), Qt::CaseInsensitive) == 0) {
      const QString field = value.trimmed();
      const qsizetype equals = field.indexOf(u'=');
      if (equals <= 0) continue;
      content.properties.push_back(
          {DecodeFieldText(field.left(equals)), DecodeFieldText(field.mid(equals + 1)), local});
      continue;
    }
    if (IsManagedHeader(name)) continue;
    content.headers.emplace_back(name, value);
  }

  PartWalk walk;
  walk.content = &content;
  walk.wantCalendar = IsAppointmentClass(content.messageClass);
  if (GMimeObject* body = g_mime_message_get_mime_part(message.get())) WalkPart(body, &walk);
  return content;
}

QByteArray HeaderBlock(const QByteArray& bytes) {
  qsizetype end = -1;
  for (qsizetype i = 0; i + 1 < bytes.size(); ++i) {
    if (bytes[i] != '\n') continue;
    if (bytes[i + 1] == '\n') {
      end = i + 2;
      break;
    }
    if (bytes[i + 1] == '\r' && i + 2 < bytes.size() && bytes[i + 2] == '\n') {
      end = i + 3;
      break;
    }
  }
  return end < 0 ? bytes : bytes.left(end);
}

std::optional<QString> ReadSubject(const QByteArray& headerBlock) {
  GRef<GMimeMessage> message = Parse(headerBlock);
  if (HeaderCount(message.get()) == 0) return std::nullopt;
  const char* exact = g_mime_object_get_header(GMIME_OBJECT(message.get()), kSubjectHeader);
  if (exact) return DecodeFieldText(FromUtf8(exact).trimmed());
  return FromUtf8(g_mime_message_get_subject(message.get()));
}

bool IsSmtpAddress(const QString& address) {
  EnsureInitialized();
  const QString trimmed = address.trimmed();
  const qsizetype at = trimmed.indexOf(u'@');
  if (at <= 0 || at != trimmed.lastIndexOf(u'@') || at == trimmed.size() - 1) return false;
  for (QChar c : trimmed)
    if (c.isSpace() || c == u'<' || c == u'>' || c == u',' || c == u';') return false;
  GRef<InternetAddressList> list(
      internet_address_list_parse(nullptr, trimmed.toUtf8().constData()));
  return list && internet_address_list_length(list.get()) == 1 &&
         INTERNET_ADDRESS_IS_MAILBOX(internet_address_list_get_address(list.get(), 0));
}

Recipient ParseRecipient(const QString& text) {
  EnsureInitialized();
  Recipient recipient;
  recipient.address = text.trimmed();
  GRef<InternetAddressList> list(internet_address_list_parse(nullptr, text.toUtf8().constData()));
  if (list && internet_address_list_length(list.get()) == 1) {
    InternetAddress* address = internet_address_list_get_address(list.get(), 0);
    if (INTERNET_ADDRESS_IS_MAILBOX(address)) {
      const QString addr =
          FromUtf8(internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(address)));
      if (IsSmtpAddress(addr)) {
        recipient.address = addr;
        recipient.name = FromUtf8(internet_address_get_name(address));
      }
    }
  }
  return recipient;
}

QString FormatDate(const QDateTime& when) { return when.toString(Qt::RFC2822Date); }

QDateTime ParseDate(const QString& field) {
  if (field.trimmed().isEmpty()) return {};
  GDateTime* parsed = g_mime_utils_header_decode_date(field.toUtf8().constData());
  if (!parsed) return {};
  const QDateTime when = QDateTime::fromSecsSinceEpoch(g_date_time_to_unix(parsed), QTimeZone::utc());
  g_date_time_unref(parsed);
  return when;
}

}  // namespace vasnik::mime
