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
#include <limits>

// The document and its paths live here; the format's reader, serializer and
// encodings have files of their own (xml_format_reader.cpp,
// xml_format_writer.cpp, xml_encodings.cpp).

namespace xml {

namespace {

bool FoldedEqual(QStringView a, QStringView b) {
  if (a.size() != b.size()) return false;
  const char16_t* p = a.utf16();
  const char16_t* q = b.utf16();
  for (qsizetype i = 0, n = a.size(); i < n; ++i)
    if (FoldAscii(p[i]) != FoldAscii(q[i])) return false;
  return true;
}

}  // namespace

NameKey NameKey::Lookup(QStringView name) {
  QVarLengthArray<char16_t, 128> folded(name.size());
  const char16_t* p = name.utf16();
  for (qsizetype i = 0, n = name.size(); i < n; ++i) folded[i] = FoldAscii(p[i]);
  NameKey key;
  key.view = name;
  key.hash = qHash(QStringView(folded.data(), folded.size()), QHashSeed::globalSeed());
  return key;
}

bool operator==(const NameKey& a, const NameKey& b) { return a.hash == b.hash && FoldedEqual(a.view, b.view); }

size_t qHash(const NameKey& key, size_t seed) { return ::qHash(quint64(key.hash), seed); }

namespace {

constexpr qsizetype kIndexThreshold = 8;

void AddToIndex(Node* parent, Node* child) {
  const NameKey key = NameKey::Lookup(child->name);
  auto it = parent->index.find(key);
  child->nextSame = nullptr;
  if (it == parent->index.end()) {
    parent->index.insert(NameKey::Owning(child->name, key.hash), SameNameChain{child, child});
    child->prevSame = nullptr;
  } else {
    child->prevSame = it->last;
    it->last->nextSame = child;
    it->last = child;
  }
}

}  // namespace

void DestroyTree(Node* node) {
  if (!node) return;
  std::vector<Node*> pending{node};
  while (!pending.empty()) {
    Node* n = pending.back();
    pending.pop_back();
    for (Node* c = n->firstChild; c; c = c->next) pending.push_back(c);
    delete n;
  }
}

Node* NewNode(QString name) {
  Node* node = new Node;
  node->name = std::move(name);
  return node;
}

Node* FindChild(const Node* parent, QStringView name) {
  if (!parent->indexed) {
    for (Node* c = parent->firstChild; c; c = c->next)
      if (FoldedEqual(c->name, name)) return c;
    return nullptr;
  }
  const auto it = parent->index.constFind(NameKey::Lookup(name));
  return it == parent->index.cend() ? nullptr : it->first;
}

void AppendChild(Node* parent, Node* child) {
  child->parent = parent;
  child->prev = parent->lastChild;
  child->next = nullptr;
  if (parent->lastChild)
    parent->lastChild->next = child;
  else
    parent->firstChild = child;
  parent->lastChild = child;
  ++parent->childCount;

  if (parent->indexed) {
    AddToIndex(parent, child);
  } else if (parent->childCount > kIndexThreshold) {
    parent->indexed = true;
    parent->index.reserve(parent->childCount);
    for (Node* c = parent->firstChild; c; c = c->next) AddToIndex(parent, c);
  }
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

  if (parent->indexed) {
    auto it = parent->index.find(NameKey::Lookup(child->name));
    if (child->prevSame) child->prevSame->nextSame = child->nextSame;
    if (child->nextSame) child->nextSame->prevSame = child->prevSame;
    if (it->first == child && it->last == child) {
      parent->index.erase(it);
    } else {
      if (it->first == child) it->first = child->nextSame;
      if (it->last == child) it->last = child->prevSame;
    }
  }
  child->parent = child->prev = child->next = child->prevSame = child->nextSame = nullptr;
}


// ---------------------------------------------------------------------------
// Paths

namespace {

// The name rule: every character outside [-.0-9:A-Z_a-z] becomes "_" (a
// character above U+FFFF, two UTF-16 units, becomes one "_"). Returns the
// component itself when it is valid, otherwise the fixed name in *buffer.
QStringView ValidName(QStringView component, QString* buffer) {
  const qsizetype n = component.size();
  qsizetype i = 0;
  while (i < n && IsNameChar(component[i].unicode())) ++i;
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
  for (QStringView part : path.tokenize(u'\\')) {
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
    Node* child = FindChild(node, name);
    if (!child) {
      if (!create) return nullptr;
      child = NewNode(name.toString());
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
