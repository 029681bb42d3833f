#include "standin/store/restriction.h"

#include "standin/store/store_error.h"

namespace vasnik {

namespace {
[[noreturn]] void Unsupported(const QString& filter, const QString& why) {
  throw StoreError(QStringLiteral("unsupported filter \"%1\" (%2); the store understands "
                                  "only Subject = 'text'")
                       .arg(filter, why));
}

void SkipBlanks(const QString& text, qsizetype* pos) {
  while (*pos < text.size() && text[*pos].isSpace()) ++*pos;
}
}  // namespace

Restriction Restriction::Parse(const QString& filter) {
  qsizetype pos = 0;
  SkipBlanks(filter, &pos);
  const QString rest = filter.mid(pos);
  if (rest.startsWith(u"[Subject]", Qt::CaseInsensitive))
    pos += 9;
  else if (rest.startsWith(u"Subject", Qt::CaseInsensitive))
    pos += 7;
  else
    Unsupported(filter, QStringLiteral("it does not compare the subject"));
  SkipBlanks(filter, &pos);
  if (pos >= filter.size() || filter[pos] != u'=')
    Unsupported(filter, QStringLiteral("the comparison is not \"=\""));
  ++pos;
  SkipBlanks(filter, &pos);
  if (pos >= filter.size() || (filter[pos] != u'\'' && filter[pos] != u'"'))
    Unsupported(filter, QStringLiteral("the value is not a quoted text"));
  const QChar quote = filter[pos++];
  QString value;
  bool closed = false;
  while (pos < filter.size()) {
    const QChar c = filter[pos++];
    if (c != quote) {
      value += c;
      continue;
    }
    if (pos < filter.size() && filter[pos] == quote) {
      value += quote;
      ++pos;
      continue;
    }
    closed = true;
    break;
  }
  if (!closed) Unsupported(filter, QStringLiteral("the quoted text is not closed"));
  SkipBlanks(filter, &pos);
  if (pos != filter.size()) Unsupported(filter, QStringLiteral("text follows the comparison"));
  Restriction restriction;
  restriction.subject_ = value;
  return restriction;
}

bool Restriction::Matches(const QString& subject) const {
  return subject.compare(subject_, Qt::CaseInsensitive) == 0;
}

}  // namespace vasnik
