#include "storage/xml_storage.h"

#include "platform/ansi.h"
#include "storage/xml_document.h"
#include "storage/xml_encodings.h"
#include "storage/xml_format_reader.h"
#include "storage/xml_format_writer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QVarLengthArray>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <new>

// The document and its paths live here; the format's reader, serializer and
// encodings have files of their own (xml_format_reader.cpp,
// xml_format_writer.cpp, xml_encodings.cpp).

namespace xml {

namespace {

constexpr qsizetype kIndexThreshold = 8;

bool FoldedEqual(QStringView a, QStringView b) {
  if (a.size() != b.size()) return false;
  // Nearly always the same spelling: compare exactly first, which is fast.
  if (std::memcmp(a.utf16(), b.utf16(), size_t(a.size()) * sizeof(char16_t)) == 0) return true;
  const char16_t* p = a.utf16();
  const char16_t* q = b.utf16();
  for (qsizetype i = 0, n = a.size(); i < n; ++i)
    if (FoldAscii(p[i]) != FoldAscii(q[i])) return false;
  return true;
}

}  // namespace

size_t FoldedHash(QStringView name) {
  // Folded into a stack buffer and hashed by Qt's seeded string hash: names
  // come from files that other computers write, so the hash must not be one
  // whose collisions can be chosen.
  // Four UTF-16 units at a time: a unit below 0x8000 whose low 15 bits lie
  // in 'A'..'Z' gets 0x20 added; no lane can carry into the next.
  const qsizetype n = name.size();
  QVarLengthArray<char16_t, 128> folded(n);
  const char16_t* p = name.utf16();
  char16_t* q = folded.data();
  qsizetype i = 0;
  constexpr quint64 kLow15 = 0x7FFF7FFF7FFF7FFFull;
  constexpr quint64 kHigh = 0x8000800080008000ull;
  for (; i + 4 <= n; i += 4) {
    quint64 w;
    std::memcpy(&w, p + i, sizeof w);
    const quint64 low = w & kLow15;
    const quint64 atLeastA = low + 0x7FBF7FBF7FBF7FBFull;     // high bit: low >= 'A'
    const quint64 aboveZ = low + 0x7FA57FA57FA57FA5ull;       // high bit: low > 'Z'
    const quint64 upper = atLeastA & ~aboveZ & ~w & kHigh;
    w += upper >> 10;  // 0x8000 >> 10 == 0x20
    std::memcpy(q + i, &w, sizeof w);
  }
  for (; i < n; ++i) q[i] = FoldAscii(p[i]);
  return qHashBits(q, size_t(n) * sizeof(char16_t), QHashSeed::globalSeed());
}

ChildIndex::ChildIndex(qsizetype expected) {
  size_t capacity = 16;
  while (capacity * 3 < size_t(expected) * 4 + 4) capacity *= 2;
  slots_ = std::make_unique<Slot[]>(capacity);
  mask_ = capacity - 1;
}

ChildIndex::Slot* ChildIndex::Find(size_t hash, QStringView name) const {
  for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
    Slot& slot = slots_[i];
    if (!slot.first) return nullptr;
    if (slot.hash == hash && FoldedEqual(slot.first->name, name)) return &slot;
  }
}

void ChildIndex::Place(const Slot& slot) {
  size_t i = slot.hash & mask_;
  while (slots_[i].first) i = (i + 1) & mask_;
  slots_[i] = slot;
}

void ChildIndex::Grow() {
  std::unique_ptr<Slot[]> old = std::move(slots_);
  const size_t oldCapacity = mask_ + 1;
  slots_ = std::make_unique<Slot[]>(oldCapacity * 2);
  mask_ = oldCapacity * 2 - 1;
  for (size_t i = 0; i < oldCapacity; ++i)
    if (old[i].first) Place(old[i]);
}

void ChildIndex::Add(size_t hash, Node* child) {
  child->nextSame = nullptr;
  if (Slot* slot = Find(hash, child->name)) {
    child->prevSame = slot->last;
    slot->last->nextSame = child;
    slot->last = child;
    return;
  }
  child->prevSame = nullptr;
  // At most three quarters full, so that a probe stays short.
  if ((used_ + 1) * 4 > (mask_ + 1) * 3) Grow();
  Place(Slot{hash, child, child});
  ++used_;
}

void ChildIndex::Remove(size_t hash, Node* child) {
  Slot* slot = Find(hash, child->name);
  if (child->prevSame) child->prevSame->nextSame = child->nextSame;
  if (child->nextSame) child->nextSame->prevSame = child->prevSame;
  if (slot->first != child || slot->last != child) {
    if (slot->first == child) slot->first = child->nextSame;
    if (slot->last == child) slot->last = child->prevSame;
    return;
  }
  // The chain is gone: free its slot and shift back the slots after it that
  // would otherwise no longer be reached from their home slot.
  size_t hole = size_t(slot - slots_.get());
  for (size_t j = (hole + 1) & mask_; slots_[j].first; j = (j + 1) & mask_) {
    const size_t home = slots_[j].hash & mask_;
    // Moves when its home is not cyclically within (hole, j].
    const bool reachable = hole <= j ? (home > hole && home <= j) : (home > hole || home <= j);
    if (reachable) continue;
    slots_[hole] = slots_[j];
    hole = j;
  }
  slots_[hole] = Slot{};
  --used_;
}

void DestroyTree(Node* node) {
  if (!node) return;
  std::vector<Node*> pending{node};
  while (!pending.empty()) {
    Node* n = pending.back();
    pending.pop_back();
    for (Node* c = n->firstChild; c; c = c->next) pending.push_back(c);
    n->~Node();
    ::operator delete(n);
  }
}

Node* NewNode(QStringView name) {
  // One allocation for the element and its name: the characters follow the
  // node, and the name views them without a string block of its own. The
  // name is never changed and no copy of it outlives the node.
  static_assert(sizeof(Node) % alignof(char16_t) == 0);
  void* memory = ::operator new(sizeof(Node) + size_t(name.size()) * sizeof(char16_t));
  Node* node = new (memory) Node;
  auto* chars = reinterpret_cast<QChar*>(node + 1);
  std::copy_n(name.data(), name.size(), chars);
  node->name = QString::fromRawData(chars, name.size());
  return node;
}

Node* FindChild(const Node* parent, QStringView name, size_t* hash, bool* hashed) {
  if (!parent->index) {
    for (Node* c = parent->firstChild; c; c = c->next)
      if (FoldedEqual(c->name, name)) return c;
    return nullptr;
  }
  const size_t h = FoldedHash(name);
  if (hash) {
    *hash = h;
    *hashed = true;
  }
  const ChildIndex::Slot* slot = parent->index->Find(h, name);
  return slot ? slot->first : nullptr;
}

namespace {

void Link(Node* parent, Node* child) {
  child->parent = parent;
  child->prev = parent->lastChild;
  child->next = nullptr;
  if (parent->lastChild)
    parent->lastChild->next = child;
  else
    parent->firstChild = child;
  parent->lastChild = child;
  ++parent->childCount;
}

void BuildIndex(Node* parent) {
  parent->index = std::make_unique<ChildIndex>(parent->childCount);
  for (Node* c = parent->firstChild; c; c = c->next) parent->index->Add(FoldedHash(c->name), c);
}

}  // namespace

void AppendChild(Node* parent, Node* child) {
  Link(parent, child);
  if (parent->index)
    parent->index->Add(FoldedHash(child->name), child);
  else if (parent->childCount > kIndexThreshold)
    BuildIndex(parent);
}

void AppendChild(Node* parent, Node* child, size_t hash) {
  Link(parent, child);
  if (parent->index)
    parent->index->Add(hash, child);
  else if (parent->childCount > kIndexThreshold)
    BuildIndex(parent);
}

void Unlink(Node* child) {
  Node* parent = child->parent;
  if (child->prev)
    child->prev->next = child->next;
  else
    parent->firstChild = child->next;
  if (child->next)
    child->next->prev = child->prev;
  else
    parent->lastChild = child->prev;
  --parent->childCount;
  if (parent->index) parent->index->Remove(FoldedHash(child->name), child);
  child->parent = child->prev = child->next = child->prevSame = child->nextSame = nullptr;
}

// ---------------------------------------------------------------------------
// Paths

namespace {

// The name rule: every character outside [-.0-9:A-Z_a-z] becomes "_" (a
// character above U+FFFF, two UTF-16 units, becomes one "_"). Returns the
// component itself when it is valid, otherwise the fixed name in *buffer.
// IsNameChar as a table: the check runs on every character of every path.
constexpr auto kNameCharTable = [] {
  std::array<bool, 128> table{};
  for (char16_t c = 0; c < 128; ++c) table[c] = IsNameChar(c);
  return table;
}();

QStringView ValidName(QStringView component, QString* buffer) {
  const qsizetype n = component.size();
  qsizetype i = 0;
  const char16_t* p = component.utf16();
  // Four units at a time while all of them are ASCII name characters.
  for (; i + 4 <= n; i += 4) {
    quint64 w;
    std::memcpy(&w, p + i, sizeof w);
    if ((w & 0xFF80FF80FF80FF80ull) != 0) break;
    if (!(kNameCharTable[p[i]] & kNameCharTable[p[i + 1]] & kNameCharTable[p[i + 2]] & kNameCharTable[p[i + 3]]))
      break;
  }
  while (i < n && p[i] < 128 && kNameCharTable[p[i]]) ++i;
  if (i == n) return component;
  buffer->clear();
  buffer->reserve(n);
  buffer->append(component.left(i));
  for (; i < n; ++i) {
    const QChar c = component[i];
    if (IsNameChar(c.unicode())) {
      buffer->append(c);
      continue;
    }
    buffer->append(u'_');
    if (c.isHighSurrogate() && i + 1 < n && component[i + 1].isLowSurrogate()) ++i;
  }
  return *buffer;
}

using Components = QVarLengthArray<QStringView, 16>;

// Splits at "\" and normalises: empty components and "." are dropped, a
// component of n dots removes the n-1 components before it.
void AppendComponents(QStringView path, Components& out) {
  // Paths are short: a plain scan costs less than a library search per part.
  const char16_t* p = path.utf16();
  for (qsizetype from = 0, n = path.size(); from < n;) {
    qsizetype to = from;
    while (to < n && p[to] != u'\\') ++to;
    const QStringView part = path.sliced(from, to - from);
    from = to + 1;
    if (part.isEmpty()) continue;
    qsizetype dots = 0;
    while (dots < part.size() && part[dots] == u'.') ++dots;
    if (dots == part.size()) {
      out.resize(out.size() - std::min<qsizetype>(dots - 1, out.size()));
      continue;
    }
    out.append(part);
  }
}

// Strict decimal: an optional sign and at least one digit, within int.
bool ParseDecimal(QStringView text, int* result) {
  qsizetype i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) negative = text[i++] == u'-';
  if (i == text.size()) return false;
  const qint64 limit = negative ? -qint64(std::numeric_limits<int>::min()) : std::numeric_limits<int>::max();
  qint64 value = 0;
  for (; i < text.size(); ++i) {
    const char16_t c = text[i].unicode();
    if (c < u'0' || c > u'9') return false;
    value = value * 10 + (c - u'0');
    if (value > limit) return false;
  }
  *result = static_cast<int>(negative ? -value : value);
  return true;
}

Attributes DefaultDeclaration() {
  return {{QStringLiteral("version"), QStringLiteral("1.0")},
          {QStringLiteral("encoding"), QString::fromLatin1(platform::kAnsiCharsetName)},
          {QStringLiteral("standalone"), QStringLiteral("no")}};
}

bool IsReadOnlyFile(const QString& fileName) {
  // The mode bits, not access(): run as root, access() says every file is
  // writable.
  if (!QFileInfo::exists(fileName)) return false;
  const QFile::Permissions writeBits = QFile::WriteOwner | QFile::WriteGroup | QFile::WriteOther;
  return (QFile::permissions(fileName) & writeBits) == 0;
}

}  // namespace

}  // namespace xml

using namespace xml;

// ---------------------------------------------------------------------------
// XmlStorage

XmlStorageError::XmlStorageError(const QString& message) : std::runtime_error(message.toStdString()) {}

XmlStorage::XmlStorage(QString rootName) : rootName_(std::move(rootName)), root_(nullptr, &DestroyTree) {
  ResetDocument();
}

XmlStorage::~XmlStorage() { Flush(); }

void XmlStorage::ResetDocument() {
  root_.reset(NewNode(rootName_));
  declaration_ = Declaration{DefaultDeclaration()};
}

void XmlStorage::SetFileName(const QString& fileName) {
  QString name = fileName;
  if (!name.isEmpty() && QFileInfo(name).suffix().isEmpty()) name += QStringLiteral(".xml");
  if (name == fileName_ && !name.isEmpty()) return;  // an empty name always empties the document
  fileName_ = name;
  readOnly_ = false;
  damaged_ = false;
  ResetDocument();
  if (name.isEmpty() || !QFileInfo::exists(name)) return;

  readOnly_ = IsReadOnlyFile(name);
  QFile file(name);
  if (!file.open(QIODevice::ReadOnly)) {
    damaged_ = true;
    throw XmlStorageError(QStringLiteral("%1: cannot be read: %2").arg(name, file.errorString()));
  }
  const QString error = Load(file);
  if (!error.isEmpty()) {
    damaged_ = true;
    throw XmlStorageError(QStringLiteral("%1: %2").arg(name, error));
  }
}

QString XmlStorage::Load(QFile& in) {
  DecodedFile file = DecodeFile(in);
  Node* root = nullptr;
  Attributes attributes;
  bool hasDeclaration = false;
  QString error = xml::ParseDocument(file.text, &root, &attributes, &hasDeclaration);
  if (error.isEmpty()) error = file.error;
  if (root) root_.reset(root);

  // The declaration goes back as it was read, completed.
  const auto has = [&](QStringView name) {
    return std::any_of(attributes.begin(), attributes.end(), [&](const auto& a) { return a.first == name; });
  };
  if (!has(u"version")) attributes.insert(attributes.begin(), {QStringLiteral("version"), QStringLiteral("1.0")});
  if (!has(u"encoding")) attributes.emplace_back(QStringLiteral("encoding"), file.encoding);
  // The declaration must name what the file will be written in: a code page
  // we could not read, or a name that contradicts the byte-order mark the
  // file was read by, is replaced by the encoding actually used.
  const bool utf8ByMark = file.encoding == QStringLiteral("UTF-8");
  for (auto& attribute : attributes) {
    if (attribute.first != u"encoding") continue;
    const bool contradicts = (file.utf16 && !IsUtf16Name(attribute.second)) || (utf8ByMark && !IsUtf8Name(attribute.second));
    if (file.unknownEncoding || contradicts) attribute.second = file.encoding;
  }
  if (!has(u"standalone")) attributes.emplace_back(QStringLiteral("standalone"), QStringLiteral("no"));
  declaration_ = Declaration{std::move(attributes), file.utf16, file.bigEndian};
  return error;
}

QString XmlStorage::FileName() const { return fileName_; }

bool XmlStorage::IsReadOnly() const { return readOnly_; }

void XmlStorage::SetOnChange(std::function<void()> callback) { onChange_ = std::move(callback); }

void XmlStorage::Changed() {
  if (onChange_) onChange_();
}

XmlStorage::Node* XmlStorage::Resolve(QStringView path, bool create, bool* created) const {
  Components parts;
  AppendComponents(root_->name, parts);
  AppendComponents(path, parts);
  if (parts.isEmpty()) return nullptr;
  Node* node = root_.get();
  QString buffer;
  const qsizetype last = parts.size() - 1;
  for (qsizetype i = 0; i <= last; ++i) {
    // The root's own name may lead the path; it is matched exactly.
    if (i == 0 && i < last && parts[0] == root_->name) continue;
    const QStringView name = ValidName(parts[i], &buffer);
    size_t hash = 0;
    bool hashed = false;
    Node* child = FindChild(node, name, &hash, &hashed);
    if (!child) {
      if (!create) return nullptr;
      child = NewNode(name);
      if (hashed)
        AppendChild(node, child, hash);  // the look-up's hash, not computed twice
      else
        AppendChild(node, child);
      *created = true;
    }
    node = child;
  }
  return node;
}

QString XmlStorage::ReadString(const QString& path, const QString& def) const {
  const Node* node = Resolve(path, false, nullptr);
  return node ? node->value : def;
}

void XmlStorage::WriteString(const QString& path, const QString& value) {
  if (readOnly_) return;
  bool created = false;
  Node* node = Resolve(path, true, &created);
  if (!node || (!created && node->value == value)) return;
  node->value = value;
  Changed();
}

int XmlStorage::ReadInteger(const QString& path, int def) const {
  const Node* node = Resolve(path, false, nullptr);
  if (!node) return def;
  int value;
  return ParseDecimal(node->value, &value) ? value : -1;
}

void XmlStorage::WriteInteger(const QString& path, int value) { WriteString(path, QString::number(value)); }

QStringList XmlStorage::ReadKeys(const QString& path) const {
  QStringList keys;
  const Node* node = Resolve(path, false, nullptr);
  if (!node) return keys;
  keys.reserve(node->childCount);
  // Copies: an element's name views the element's own memory, and the
  // caller may delete the elements it names while it holds the list.
  for (const Node* child = node->firstChild; child; child = child->next)
    keys.append(QString(child->name.constData(), child->name.size()));
  return keys;
}

void XmlStorage::DeleteValue(const QString& path) {
  if (readOnly_) return;
  Node* node = Resolve(path, false, nullptr);
  if (!node || node == root_.get()) return;
  Unlink(node);
  DestroyTree(node);
  Changed();
}

QByteArray XmlStorage::Serialize() const {
  return xml::SerializeDocument(root_.get(), declaration_.attributes, declaration_.loadedUtf16,
                                declaration_.loadedBigEndian);
}

bool XmlStorage::Flush() {
  if (fileName_.isEmpty() || readOnly_) return true;
  // Marked read-only after it was bound: still not ours to overwrite.
  if (IsReadOnlyFile(fileName_)) return true;
  if (!QDir().mkpath(QFileInfo(fileName_).absolutePath())) return false;
  if (damaged_ && QFileInfo::exists(fileName_)) {
    // The partial document must not silently replace what it came from.
    const QString aside = fileName_ + QStringLiteral(".damaged");
    QFile::remove(aside);
    if (!QFile::copy(fileName_, aside)) return false;
  }
  // Atomic replacement: a temporary file in the same directory, synced to
  // disk and renamed over the old file; on any failure the old file stays.
  QSaveFile file(fileName_);
  if (!file.open(QIODevice::WriteOnly)) return false;
  const QByteArray bytes = Serialize();
  if (file.write(bytes) != bytes.size()) {
    file.cancelWriting();  // the temporary file is removed, the old one stays
    return false;
  }
  if (!file.commit()) return false;
  damaged_ = false;
  return true;
}

// ---------------------------------------------------------------------------
// FormStorage

FormStorage::FormStorage(XmlStorage& storage, QString prefix) : storage_(storage), prefix_(std::move(prefix)) {}

QString FormStorage::ReadString(const QString& path, const QString& def) const {
  return storage_.ReadString(prefix_ + path, def);
}

void FormStorage::WriteString(const QString& path, const QString& value) {
  storage_.WriteString(prefix_ + path, value);
}

int FormStorage::ReadInteger(const QString& path, int def) const { return storage_.ReadInteger(prefix_ + path, def); }

void FormStorage::WriteInteger(const QString& path, int value) { storage_.WriteInteger(prefix_ + path, value); }
