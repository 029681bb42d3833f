#include "ui/tree_data.h"

#include <cmath>

namespace {

// Only ASCII letters fold: other characters compare by code.
int CompareAsciiNoCase(const QString& a, const QString& b) {
  const qsizetype n = std::min(a.size(), b.size());
  for (qsizetype i = 0; i < n; ++i) {
    char16_t x = a[i].unicode(), y = b[i].unicode();
    if (x >= u'a' && x <= u'z') x -= 32;
    if (y >= u'a' && y <= u'z') y -= 32;
    if (x != y) return x < y ? -1 : 1;
  }
  return CompareInteger(a.size(), b.size());
}

// Date-times are days; two values are equal when they fall in one millisecond.
int CompareDateTime(double a, double b) {
  return CompareInteger(std::llround(a * 86400000.0), std::llround(b * 86400000.0));
}

}  // namespace

QString VSTGetText(const TTreeData& data, int column) {
  switch (column) {
    case -1:
    case 0:
      return data.Subject;
    case 1:
      return data.Folder;
    case 2:
      return data.EntryID;
    case 3:
      return data.Restore;
    default:
      return QString();
  }
}

int FVSTGetImageIndex(const TTreeData& data, int column, bool* ghosted) {
  if (ghosted) *ghosted = false;
  return column == -1 || column == 0 ? data.DefaultItemType : -1;
}

int CompareInteger(qint64 a, qint64 b) { return a < b ? -1 : a > b ? 1 : 0; }

int FVSTCompareNodes(const TTreeData& a, const TTreeData& b, int column) {
  switch (column) {
    case -1:
    case 0:
      return CompareAsciiNoCase(a.Subject, b.Subject);
    case 1:
      return CompareAsciiNoCase(a.Folder, b.Folder);
    case 2:
      return CompareDateTime(a.CreationTime, b.CreationTime);
    case 3:
      return CompareDateTime(a.LastModificationTime, b.LastModificationTime);
    case 4:
      return CompareInteger(a.Size, b.Size);
    default:
      return 0;
  }
}

void VSTFreeNode(TTreeData& data) { data = TTreeData(); }
