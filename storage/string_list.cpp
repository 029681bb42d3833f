#include "storage/string_list.h"

#include <algorithm>

namespace {

int Compare(const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive); }

bool NeedsQuotes(const QString& s) {
  if (s.isEmpty()) return true;
  return std::any_of(s.begin(), s.end(), [](QChar c) {
    return c.unicode() <= u' ' || c == u',' || c == u'"';
  });
}

}  // namespace

qsizetype StringList::LowerBound(const QString& s) const {
  auto it = std::lower_bound(items_.begin(), items_.end(), s,
                             [](const QString& a, const QString& b) { return Compare(a, b) < 0; });
  return it - items_.begin();
}

qsizetype StringList::IndexOf(const QString& s) const {
  if (sorted_) {
    const qsizetype i = LowerBound(s);
    return i < items_.size() && Compare(items_[i], s) == 0 ? i : -1;
  }
  for (qsizetype i = 0; i < items_.size(); ++i)
    if (Compare(items_[i], s) == 0) return i;
  return -1;
}

qsizetype StringList::Add(const QString& s) {
  if (!sorted_) {
    items_.append(s);
    return items_.size() - 1;
  }
  const qsizetype i = LowerBound(s);
  if (i < items_.size() && Compare(items_[i], s) == 0) return i;
  items_.insert(i, s);
  return i;
}

bool StringList::Remove(const QString& s) {
  const qsizetype i = IndexOf(s);
  if (i < 0) return false;
  items_.removeAt(i);
  return true;
}

QString StringList::CommaText() const {
  QString out;
  for (qsizetype i = 0; i < items_.size(); ++i) {
    if (i) out += u',';
    const QString& s = items_[i];
    if (NeedsQuotes(s)) {
      QString quoted = s;
      quoted.replace(u'"', QStringLiteral("\"\""));
      out += u'"' + quoted + u'"';
    } else {
      out += s;
    }
  }
  return out;
}

void StringList::SetCommaText(const QString& text) {
  // Items are separated by commas; outside quotes, blanks and control
  // characters separate items too, and are never part of one.
  items_.clear();
  const qsizetype n = text.size();
  qsizetype i = 0;
  auto skipBlanks = [&] { while (i < n && text[i].unicode() <= u' ') ++i; };
  skipBlanks();
  while (i < n) {
    QString item;
    if (text[i] == u'"') {
      ++i;
      while (i < n) {
        if (text[i] == u'"') {
          if (i + 1 < n && text[i + 1] == u'"') { item += u'"'; i += 2; continue; }
          ++i;
          break;
        }
        item += text[i++];
      }
    } else {
      while (i < n && text[i] != u',' && text[i].unicode() > u' ') item += text[i++];
    }
    Add(item);
    skipBlanks();
    if (i < n && text[i] == u',') {
      ++i;
      skipBlanks();
      if (i == n) Add(QString());  // a trailing comma ends with an empty item
    }
  }
}
