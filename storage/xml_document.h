#pragma once
// The in-memory document of an XmlStorage: its elements and the operations on
// the tree that the storage, the reader and the writer share. Internal to
// storage/xml_*.cpp; callers use storage/xml_storage.h.

#include "storage/xml_storage.h"

#include <QHash>
#include <QString>
#include <QStringView>

#include <memory>
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

// The hash of a name with the ASCII letters folded, so that names that the
// look-up takes as equal hash alike.
size_t FoldedHash(QStringView name);

// A parent's index of its children by name: an open-addressing table (linear
// probing, backward-shift deletion, no tombstones) from the folded name to the
// chain of children of that name in document order. A slot keeps the full
// hash, so a probe compares names only on an equal hash, and it owns no
// characters: the chain's first child holds the name. Nothing is allocated
// per child.
class ChildIndex {
 public:
  struct Slot {
    size_t hash = 0;
    Node* first = nullptr;  // null: the slot is free
    Node* last = nullptr;
  };

  explicit ChildIndex(qsizetype expected);

  // The chain of that name, or null.
  Slot* Find(size_t hash, QStringView name) const;
  // Adds child at the end of the chain of its name.
  void Add(size_t hash, Node* child);
  // Takes child out of the chain of its name.
  void Remove(size_t hash, Node* child);

 private:
  void Grow();
  void Place(const Slot& slot);

  std::unique_ptr<Slot[]> slots_;
  size_t mask_ = 0;
  size_t used_ = 0;
};

}  // namespace xml

// Children are kept as a doubly linked list in document order (the writer's
// order, O(1) removal). Once a parent has more than a few children it also
// keeps a ChildIndex, so a look-up never scans siblings; below that a scan of
// at most kIndexThreshold children is cheaper than a hash, and most elements
// of a document (values, small keys) never pay for an index.
struct XmlStorage::Node {
  Node* parent = nullptr;
  Node* prev = nullptr;
  Node* next = nullptr;
  Node* firstChild = nullptr;
  Node* lastChild = nullptr;
  Node* prevSame = nullptr;  // chain of same-named siblings, when indexed
  Node* nextSame = nullptr;
  qsizetype childCount = 0;
  std::unique_ptr<xml::ChildIndex> index;  // null below the threshold
  // Last, so that a look-up that compares the name and then the value reads
  // one stretch of memory: value, name and the name's characters.
  QString value;
  QString name;  // views the characters stored right after the node (NewNode)
};

namespace xml {

// A new element without parent; the caller owns it until it is appended.
// Made and freed only by these functions (the name is kept inside the node).
Node* NewNode(QStringView name);
// Deletes a subtree without recursion: a loaded file may nest deeply.
void DestroyTree(Node* node);
// Appends as the last child of parent (which then owns it).
void AppendChild(Node* parent, Node* child);
// The first child of that name in document order, or null. When the parent
// is indexed, *hash receives the name's FoldedHash (and *hashed is set), so
// that appending a child of that name need not compute it again.
Node* FindChild(const Node* parent, QStringView name, size_t* hash = nullptr, bool* hashed = nullptr);
// As AppendChild, for a child whose name's FoldedHash the caller knows.
void AppendChild(Node* parent, Node* child, size_t hash);
// Detaches a child from its parent; the caller owns it afterwards.
void Unlink(Node* child);

}  // namespace xml
