#pragma once
// The in-memory document of an XmlStorage: its elements and the operations on
// the tree that the storage, the reader and the writer share. Internal to
// storage/xml_*.cpp; callers use storage/xml_storage.h.

#include "storage/xml_storage.h"

#include <QHash>
#include <QString>
#include <QStringView>

#include <utility>
#include <vector>

namespace xml {

using Node = XmlStorage::Node;

// The attributes of an XML declaration, in the order they are written.
using Attributes = std::vector<std::pair<QString, QString>>;

constexpr char16_t FoldAscii(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
}

// The characters the name rule keeps: [-.0-9:A-Z_a-z].
constexpr bool IsNameChar(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
         c == u'-' || c == u'.' || c == u':' || c == u'_';
}

// Key of a parent's child index. Names compare with the ASCII letters folded
// and every other character exact. Keys stored in the index own their
// characters (a shared copy of the first child's name); look-up keys only
// view the caller's text, so a look-up allocates nothing. The hash of the
// folded name is kept in the key: the table compares it before touching the
// characters, which saves a cache miss per probe in large tables.
struct NameKey {
  QStringView view;
  QString owner;
  size_t hash = 0;

  static NameKey Lookup(QStringView name);
  static NameKey Owning(const QString& name, size_t hash) {
    NameKey key;
    key.owner = name;
    key.view = key.owner;  // copies of owner share these characters
    key.hash = hash;
    return key;
  }
};

bool operator==(const NameKey& a, const NameKey& b);
size_t qHash(const NameKey& key, size_t seed);

// The children of one parent that share a (folded) name, in document order.
struct SameNameChain {
  Node* first = nullptr;
  Node* last = nullptr;
};

}  // namespace xml

// Children are kept as a doubly linked list in document order (the writer's
// order, O(1) removal). Once a parent has more than a few children it also
// keeps a hash index from the folded name to the chain of children of that
// name, so a look-up never scans siblings; below that a scan of at most
// kIndexThreshold children is cheaper than a hash, and most elements of a
// document (values, small keys) never pay for an index.
struct XmlStorage::Node {
  QString name;
  QString value;
  Node* parent = nullptr;
  Node* prev = nullptr;
  Node* next = nullptr;
  Node* firstChild = nullptr;
  Node* lastChild = nullptr;
  Node* prevSame = nullptr;  // chain of same-named siblings, when indexed
  Node* nextSame = nullptr;
  qsizetype childCount = 0;
  bool indexed = false;
  QHash<xml::NameKey, xml::SameNameChain> index;
};

namespace xml {

// A new element without parent; the caller owns it until it is appended.
Node* NewNode(QString name);
// Deletes a subtree without recursion: a loaded file may nest deeply.
void DestroyTree(Node* node);
// Appends as the last child of parent (which then owns it).
void AppendChild(Node* parent, Node* child);
// The first child of that name in document order, or null.
Node* FindChild(const Node* parent, QStringView name);
// Detaches a child from its parent; the caller owns it afterwards.
void Unlink(Node* child);

}  // namespace xml
