// The store's own message-file form, read and written without GMime. An import reads
// one message file per item, and building GMime's object tree for it cost
// as much as everything else the import does for the item. Only exactly
// the form Write produces for an item without addresses, other header
// fields or attachments is taken here (its header lines unfolded, 7-bit,
// without encoded words); anything else is left to the general parser,
// which gives the same content for what is taken (tests compare the two).

#include "standin/store/mime_codec.h"

#include <QRandomGenerator>
#include <QStringDecoder>

namespace vasnik::mime {

namespace {

struct Field {
  QByteArray name;
  QByteArray value;
};

bool Named(const Field& field, const char* name) { return field.name.compare(name, Qt::CaseInsensitive) == 0; }

// The header block from pos up to its blank line; pos then points past it.
// False for anything the general parser must read: CR, a folded line, a
// byte outside printable ASCII and tab, an encoded word, a line without a
// name.
bool ReadFields(const QByteArray& text, qsizetype& pos, QList<Field>& fields) {
  for (;;) {
    const qsizetype end = text.indexOf('\n', pos);
    if (end < 0) return false;
    const QByteArray line = text.mid(pos, end - pos);
    pos = end + 1;
    if (line.isEmpty()) return true;
    if (line.startsWith(' ') || line.startsWith('\t') || line.contains("=?")) return false;
    for (char ch : line) {
      const auto c = static_cast<unsigned char>(ch);
      if (c >= 0x7f || (c < 0x20 && c != '\t')) return false;
    }
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0) return false;
    fields.push_back({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
  }
}

// "type/subtype; name=value; name="value"": the type in lower case and the
// parameters by lower-case name; nothing for a form this reader leaves alone.
struct ContentType {
  QByteArray type;
  QList<std::pair<QByteArray, QByteArray>> parameters;
  QByteArray Parameter(const char* name) const {
    for (const auto& [key, value] : parameters)
      if (key == name) return value;
    return {};
  }
};

std::optional<ContentType> ParseContentType(const QByteArray& value) {
  if (value.contains('(') || value.contains('\\')) return std::nullopt;
  ContentType result;
  const QList<QByteArray> parts = value.split(';');
  result.type = parts.first().trimmed().toLower();
  for (qsizetype i = 1; i < parts.size(); ++i) {
    const QByteArray parameter = parts[i].trimmed();
    const qsizetype equals = parameter.indexOf('=');
    if (equals <= 0) return std::nullopt;
    QByteArray v = parameter.mid(equals + 1).trimmed();
    if (v.startsWith('"')) {
      if (v.size() < 2 || !v.endsWith('"')) return std::nullopt;
      v = v.mid(1, v.size() - 2);
    }
    if (v.contains('"')) return std::nullopt;
    result.parameters.push_back({parameter.left(equals).trimmed().toLower(), v});
  }
  return result;
}

std::optional<QByteArray> Base64(const QByteArray& text) {
  QByteArray compact = text;
  compact.replace('\n', QByteArray());
  const auto decoded = QByteArray::fromBase64Encoding(compact, QByteArray::AbortOnBase64DecodingErrors);
  if (!decoded) return std::nullopt;
  return *decoded;
}

std::optional<QString> Utf8(const QByteArray& bytes) {
  QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString text = decoder(bytes);
  if (decoder.hasError()) return std::nullopt;
  return text;
}

// The body text of a text/plain entity with these fields and content.
std::optional<QString> BodyText(const QList<Field>& fields, const QByteArray& content, bool topLevel) {
  std::optional<ContentType> type;
  QByteArray encoding;
  for (const Field& field : fields) {
    if (Named(field, "Content-Type")) {
      if (type) return std::nullopt;
      type = ParseContentType(field.value);
    } else if (Named(field, "Content-Transfer-Encoding")) {
      encoding = field.value.toLower();
    } else if (!topLevel && !(Named(field, "X-Vasnik-Part") && field.value.toLower() == "body")) {
      return std::nullopt;
    }
  }
  if (!type || type->type != "text/plain" || type->parameters.size() != 1) return std::nullopt;
  const QByteArray charset = type->Parameter("charset").toLower();
  if (encoding == "base64" && charset == "utf-8") {
    const std::optional<QByteArray> bytes = Base64(content);
    return bytes ? Utf8(*bytes) : std::nullopt;
  }
  if (!encoding.isEmpty() && encoding != "7bit") return std::nullopt;
  if (charset != "us-ascii") return std::nullopt;
  for (char ch : content) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x80 || c == '\r' || c == 0) return std::nullopt;
  }
  return QString::fromLatin1(content);
}

std::optional<QByteArray> CalendarBytes(const QList<Field>& fields, const QByteArray& content) {
  bool calendar = false, base64 = false;
  std::optional<ContentType> type;
  for (const Field& field : fields) {
    if (Named(field, "Content-Type")) {
      type = ParseContentType(field.value);
    } else if (Named(field, "Content-Transfer-Encoding")) {
      base64 = field.value.toLower() == "base64";
    } else if (Named(field, "X-Vasnik-Part")) {
      calendar = field.value.toLower() == "calendar";
    } else {
      return std::nullopt;
    }
  }
  if (!calendar || !base64 || !type || type->type != "text/calendar") return std::nullopt;
  return Base64(content);
}

}  // namespace

std::optional<ItemContent> ReadOwnForm(const QByteArray& bytes) {
  qsizetype pos = 0;
  QList<Field> top;
  if (!ReadFields(bytes, pos, top)) return std::nullopt;

  ItemContent content;
  content.messageClass = QStringLiteral("IPM.Note");
  bool version = false, subject = false, exactSubject = false, messageClass = false;
  QByteArray rawSubject;
  QList<Field> entity;  // the top entity's own fields, for a single part
  std::optional<ContentType> type;
  for (const Field& field : top) {
    const bool local = Named(field, "X-Vasnik-Local-Property");
    if (local || Named(field, "X-Vasnik-Property")) {
      const qsizetype equals = field.value.indexOf('=');
      if (equals > 0)
        content.properties.push_back({DecodeFieldText(QString::fromLatin1(field.value.left(equals))),
                                      DecodeFieldText(QString::fromLatin1(field.value.mid(equals + 1))), local});
    } else if (Named(field, "X-Vasnik-Message-File")) {
      if (version || field.value != QByteArray::number(kMessageFileVersion)) return std::nullopt;
      version = true;
    } else if (Named(field, "Subject")) {
      if (subject) return std::nullopt;
      subject = true;
      rawSubject = field.value;
    } else if (Named(field, "X-Vasnik-Subject")) {
      if (exactSubject) return std::nullopt;
      exactSubject = true;
      content.subject = DecodeFieldText(QString::fromLatin1(field.value));
    } else if (Named(field, "X-Vasnik-Message-Class")) {
      if (messageClass) return std::nullopt;
      messageClass = true;
      if (!field.value.isEmpty()) content.messageClass = QString::fromLatin1(field.value);
    } else if (Named(field, "MIME-Version")) {
      // Nothing to keep.
    } else if (Named(field, "Content-Type")) {
      if (type) return std::nullopt;
      type = ParseContentType(field.value);
      if (!type) return std::nullopt;
      entity.push_back(field);
    } else if (Named(field, "Content-Transfer-Encoding")) {
      entity.push_back(field);
    } else {
      return std::nullopt;  // addresses and other fields: the general parser
    }
  }
  if (!version || !type) return std::nullopt;
  if (!exactSubject) {
    // A blank run or a tab a reader might fold away: the general parser.
    if (rawSubject.contains('\t') || rawSubject.contains("  ")) return std::nullopt;
    content.subject = QString::fromLatin1(rawSubject);
  }

  if (type->type == "text/plain") {
    const std::optional<QString> body = BodyText(entity, bytes.mid(pos), true);
    if (!body) return std::nullopt;
    content.body = *body;
    return content;
  }
  if (type->type != "multipart/mixed" || type->parameters.size() != 1) return std::nullopt;
  const QByteArray boundary = type->Parameter("boundary");
  if (boundary.isEmpty()) return std::nullopt;
  const QByteArray delimiter = "\n--" + boundary;
  // The first delimiter line starts the body; each part's content ends at
  // the line break before the next one; the last is followed by "--".
  if (!bytes.mid(pos).startsWith(delimiter.mid(1) + '\n')) return std::nullopt;
  pos += delimiter.size();
  bool haveBody = false, haveCalendar = false;
  for (;;) {
    QList<Field> fields;
    if (!ReadFields(bytes, pos, fields)) return std::nullopt;
    const qsizetype end = bytes.indexOf(delimiter, pos - 1);
    if (end < 0) return std::nullopt;
    const QByteArray part = end < pos ? QByteArray() : bytes.mid(pos, end - pos);
    if (!haveBody) {
      const std::optional<QString> body = BodyText(fields, part, false);
      if (!body) return std::nullopt;
      content.body = *body;
      haveBody = true;
    } else if (!haveCalendar) {
      const std::optional<QByteArray> calendar = CalendarBytes(fields, part);
      if (!calendar) return std::nullopt;
      content.icalendar = *calendar;
      haveCalendar = true;
    } else {
      return std::nullopt;  // attachments: the general parser
    }
    pos = end + delimiter.size();
    const QByteArray rest = bytes.mid(pos);
    if (rest == "--\n" || rest == "--") return content;
    if (!rest.startsWith('\n')) return std::nullopt;
    ++pos;
  }
}

namespace {

// Base64 in lines of 76 characters, each ended by a line break.
QByteArray Base64Lines(const QByteArray& data) {
  const QByteArray encoded = data.toBase64();
  QByteArray out;
  out.reserve(encoded.size() + encoded.size() / 76 + 2);
  for (qsizetype i = 0; i < encoded.size(); i += 76) out += encoded.mid(i, 76) + '\n';
  return out;
}

bool PlainLine(const QString& text, qsizetype room) {
  if (text.size() > room) return false;
  for (QChar c : text)
    if (c.unicode() < 0x20 || c.unicode() >= 0x7f) return false;
  return true;
}

QByteArray NewBoundary() {
  static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  QByteArray boundary("=-");
  for (int i = 0; i < 20; ++i) boundary += kChars[QRandomGenerator::global()->bounded(64)];
  return boundary;
}

}  // namespace

std::optional<QByteArray> WriteOwnForm(const ItemContent& content) {
  if (!content.recipients.empty() || !content.headers.empty() || !content.attachments.empty() ||
      !content.senderAddress.isEmpty() || !content.senderName.isEmpty())
    return std::nullopt;
  // A subject or a class that a writer would encode, fold or mark as exact.
  if (NeedsExactSubject(content.subject) ||
      !PlainLine(content.subject, 76 - 9) || !PlainLine(content.messageClass, 76 - 24) ||
      content.messageClass.trimmed() != content.messageClass || content.messageClass.isEmpty())
    return std::nullopt;
  QByteArray out = "X-Vasnik-Message-File: " + QByteArray::number(kMessageFileVersion) + "\nSubject: " +
                   content.subject.toLatin1() + "\nX-Vasnik-Message-Class: " + content.messageClass.toLatin1() + '\n';
  for (const NamedProperty& property : content.properties) {
    const QByteArray line = (property.localOnly ? "X-Vasnik-Local-Property: " : "X-Vasnik-Property: ") +
                            (EncodeFieldText(property.name) + u'=' + EncodeFieldText(property.value)).toLatin1();
    if (line.size() > 76) return std::nullopt;
    out += line + '\n';
  }
  out += "MIME-Version: 1.0\n";

  const QByteArray body = content.body.toUtf8();
  const bool plain = IsPlainSafe(body);
  const QByteArray bodyFields = plain ? QByteArray("Content-Type: text/plain; charset=us-ascii\n")
                                      : QByteArray("Content-Type: text/plain; charset=utf-8\n"
                                                   "Content-Transfer-Encoding: base64\n");
  const QByteArray bodyText = plain ? body : Base64Lines(body);
  if (content.icalendar.isEmpty()) return out + bodyFields + '\n' + bodyText;

  QByteArray boundary;
  do boundary = NewBoundary();
  while (body.contains(boundary));
  out += "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\n\n--" + boundary + '\n' + bodyFields +
         "X-Vasnik-Part: body\n\n" + bodyText + "\n--" + boundary +
         "\nContent-Type: text/calendar; charset=utf-8\nContent-Transfer-Encoding: base64\n"
         "X-Vasnik-Part: calendar\n\n" +
         Base64Lines(content.icalendar) + "\n--" + boundary + "--\n";
  return out;
}

}  // namespace vasnik::mime
