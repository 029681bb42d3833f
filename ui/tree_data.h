#pragma once
// TTreeData, the node record of both lists of the main window, and the
// callbacks that read it: text, image, comparison and release.
//
// The folder tree fills it from stores and folders, the sharing list from
// sharing entries; the same fields carry different things in each (see the
// table at each field).

#include <QString>
#include <QtGlobal>

struct TTreeData {
  // Folder node: the folder's default item type (0..7); 0 elsewhere.
  quint8 DefaultItemType = 0;
  // Store name, folder name, or a row's e-mail address.
  QString Subject;
  // Empty in the tree; a row's Modify right.
  QString Folder;
  // Store or folder entry identifier; a row's Read right.
  QString EntryID;
  // "EX" on a store whose folders are not loaded yet; a folder's store
  // identifier; empty on a row.
  QString StoreID;
  // Empty in the tree; a row's Write right.
  QString Restore;
  // Never set by the program; they take part only in the comparison.
  double CreationTime = 0;
  double LastModificationTime = 0;
  qint32 Size = 0;
  qint32 EmptyFields = 0;
};

// The text of a column; the folder tree has no columns and asks for -1.
QString VSTGetText(const TTreeData& data, int column);

// The image of the node in a column: its default item type in column -1 or
// 0, none (-1) elsewhere. *ghosted is always cleared.
int FVSTGetImageIndex(const TTreeData& data, int column, bool* ghosted = nullptr);

// -1, 0 or 1.
int CompareInteger(qint64 a, qint64 b);

// Negative, zero or positive: the order of two nodes by a column. Texts
// compare ignoring the case of ASCII letters, date-times to the millisecond.
int FVSTCompareNodes(const TTreeData& a, const TTreeData& b, int column);

// Releases what the record holds; the node's owner calls it as the node goes.
void VSTFreeNode(TTreeData& data);
