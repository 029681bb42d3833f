#pragma once
// StringList: the controller's lists of entry identifiers and file names.
//
// Comparisons ignore letter case. A sorted list is a set: Add of a string that
// is already present does nothing and look-ups use the sorted order. An
// unsorted list keeps duplicates in insertion order and is searched from the
// front. CommaText reads and writes the lists' one-line form used in the
// configuration ("a,b,c"; an item with a blank, a comma or a double quote is
// quoted, quotes doubled).

#include <QString>
#include <QStringList>

class StringList {
 public:
  explicit StringList(bool sorted) : sorted_(sorted) {}

  bool Sorted() const { return sorted_; }
  qsizetype Count() const { return items_.size(); }
  bool IsEmpty() const { return items_.isEmpty(); }
  const QString& operator[](qsizetype i) const { return items_[i]; }
  const QStringList& Items() const { return items_; }

  // Index of the string, or -1.
  qsizetype IndexOf(const QString& s) const;
  bool Contains(const QString& s) const { return IndexOf(s) >= 0; }
  // Returns the index of the (new or existing) entry.
  qsizetype Add(const QString& s);
  // Removes the first occurrence; returns whether one was removed.
  bool Remove(const QString& s);
  void Clear() { items_.clear(); }

  QString CommaText() const;
  void SetCommaText(const QString& text);

 private:
  // First index whose item is not less than s (sorted lists only).
  qsizetype LowerBound(const QString& s) const;

  bool sorted_;
  QStringList items_;
};
