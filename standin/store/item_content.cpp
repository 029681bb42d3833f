#include "standin/store/item_content.h"

#include "standin/store/constants.h"

namespace vasnik {

bool Recipient::operator==(const Recipient& other) const {
  return name == other.name && address == other.address && type == other.type;
}

const NamedProperty* ItemContent::FindProperty(const QString& name) const {
  for (const NamedProperty& property : properties)
    if (property.name == name) return &property;
  return nullptr;
}

void ItemContent::SetProperty(const QString& name, const QString& value, bool localOnly) {
  for (NamedProperty& property : properties) {
    if (property.name == name) {
      property.value = value;
      property.localOnly = localOnly;
      return;
    }
  }
  properties.push_back({name, value, localOnly});
}

QString ItemContent::Header(const QString& name) const {
  for (const auto& [key, value] : headers)
    if (key.compare(name, Qt::CaseInsensitive) == 0) return value;
  return {};
}

void ItemContent::SetHeader(const QString& name, const QString& value) {
  for (auto& [key, current] : headers) {
    if (key.compare(name, Qt::CaseInsensitive) == 0) {
      current = value;
      return;
    }
  }
  headers.emplace_back(name, value);
}

bool IsAppointmentClass(const QString& messageClass) {
  return messageClass.compare(u"IPM.Appointment", Qt::CaseInsensitive) == 0 ||
         messageClass.startsWith(u"IPM.Appointment.", Qt::CaseInsensitive);
}

QString DefaultMessageClass(int itemType) {
  switch (itemType) {
    case kItemAppointment: return QStringLiteral("IPM.Appointment");
    case kItemContact: return QStringLiteral("IPM.Contact");
    case kItemTask: return QStringLiteral("IPM.Task");
    case kItemJournal: return QStringLiteral("IPM.Activity");
    case kItemNote: return QStringLiteral("IPM.StickyNote");
    case kItemPost: return QStringLiteral("IPM.Post");
    case kItemDistributionList: return QStringLiteral("IPM.DistList");
    default: return QStringLiteral("IPM.Note");
  }
}

QString EncodeFieldText(const QString& text) {
  const QByteArray utf8 = text.toUtf8();
  QString out;
  out.reserve(utf8.size());
  for (qsizetype i = 0; i < utf8.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    const bool edgeBlank = c == ' ' && (i == 0 || i == utf8.size() - 1);
    // After the "=" of "name=value" a leading "?" would make "=?", which a
    // mail reader takes for the start of an encoded word.
    const bool leadingQuestion = c == '?' && i == 0;
    const bool special = c == '%' || c == ';' || c == ',' || c == '\\' || c == ':' ||
                         c == '"' || c == '=';
    if (c >= 0x20 && c < 0x7f && !special && !edgeBlank && !leadingQuestion)
      out += QChar(c);
    else
      out += u'%' + QStringLiteral("%1").arg(c, 2, 16, QLatin1Char('0')).toUpper();
  }
  return out;
}

QString DecodeFieldText(const QString& text) {
  QByteArray bytes;
  bytes.reserve(text.size());
  const QByteArray latin = text.toUtf8();
  for (qsizetype i = 0; i < latin.size(); ++i) {
    if (latin[i] == '%' && i + 2 < latin.size()) {
      bool ok = false;
      const int value = latin.mid(i + 1, 2).toInt(&ok, 16);
      if (ok) {
        bytes += static_cast<char>(value);
        i += 2;
        continue;
      }
    }
    bytes += latin[i];
  }
  return QString::fromUtf8(bytes);
}

}  // namespace vasnik
