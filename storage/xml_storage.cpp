#include "storage/xml_storage.h"

#include "platform/ansi.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>
#include <QVarLengthArray>

#include <algorithm>
#include <limits>

// The reader and writer are written by hand: the files carry element names
// that begin with digits (entry identifiers), which conforming XML parsers
// reject, and the writer's output must match a fixed layout byte for byte.

namespace {

using Node = XmlStorage::Node;

constexpr char16_t FoldAscii(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
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

bool FoldedEqual(QStringView a, QStringView b) {
  if (a.size() != b.size()) return false;
  const char16_t* p = a.utf16();
  const char16_t* q = b.utf16();
  for (qsizetype i = 0, n = a.size(); i < n; ++i)
    if (FoldAscii(p[i]) != FoldAscii(q[i])) return false;
  return true;
}

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

// The children of one parent that share a (folded) name, in document order.
struct SameNameChain {
  Node* first = nullptr;
  Node* last = nullptr;
};

}  // namespace

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
  QHash<NameKey, SameNameChain> index;
};

namespace {

constexpr qsizetype kIndexThreshold = 8;

// Deletes a subtree without recursion: a loaded file may nest deeply.
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

// The first child of that name in document order, or null.
Node* FindChild(const Node* parent, QStringView name) {
  if (!parent->indexed) {
    for (Node* c = parent->firstChild; c; c = c->next)
      if (FoldedEqual(c->name, name)) return c;
    return nullptr;
  }
  const auto it = parent->index.constFind(NameKey::Lookup(name));
  return it == parent->index.cend() ? nullptr : it->first;
}

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

constexpr bool IsNameChar(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
         c == u'-' || c == u'.' || c == u':' || c == u'_';
}

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

// ---------------------------------------------------------------------------
// Writer

constexpr char kHexDigits[] = "0123456789ABCDEF";

void AppendHex(QByteArray& out, char32_t code, int minDigits) {
  char digits[8];
  int n = 0;
  do {
    digits[n++] = kHexDigits[code & 0xF];
    code >>= 4;
  } while (code != 0 || n < minDigits);
  out.append("&#x");
  while (n > 0) out.append(digits[--n]);
  out.append(';');
}

// The value encoding; the output is ASCII whatever the text holds.
void AppendEscaped(QByteArray& out, QStringView text) {
  const qsizetype n = text.size();
  for (qsizetype i = 0; i < n; ++i) {
    const char16_t c = text[i].unicode();
    switch (c) {
      case u'&': out.append("&amp;"); continue;
      case u'<': out.append("&lt;"); continue;
      case u'>': out.append("&gt;"); continue;
      case u'"': out.append("&quot;"); continue;
      case u'\'': out.append("&apos;"); continue;
      default: break;
    }
    if (c == 9 || c == 10 || c == 13 || (c >= 32 && c <= 127)) {
      out.append(static_cast<char>(c));
    } else if (c < 256) {
      AppendHex(out, c, 2);
    } else if (QChar::isHighSurrogate(c) && i + 1 < n && text[i + 1].isLowSurrogate()) {
      // One reference for the whole character, not one per surrogate.
      AppendHex(out, QChar::surrogateToUcs4(c, text[i + 1].unicode()), 4);
      ++i;
    } else {
      AppendHex(out, c, 4);
    }
  }
}

void AppendName(QByteArray& out, const QString& name) {
  // Names nearly always hold name characters only; skip the escaping then.
  for (QChar c : name) {
    if (!IsNameChar(c.unicode())) {
      // A name read from a file may hold, through references, a character
      // that ends a name, or a "!" that makes "<!--" of a tag; written as
      // itself it would change the document on the next load. Such
      // characters are ASCII, so no surrogate pair is cut.
      const QStringView view(name);
      qsizetype from = 0;
      for (qsizetype i = 0; i < view.size(); ++i) {
        const char16_t d = view[i].unicode();
        if (d == 9 || d == 10 || d == 13 || d == u' ' || d == u'/' || d == u'=' || d == u'?' || d == u'!') {
          AppendEscaped(out, view.sliced(from, i - from));
          AppendHex(out, d, 2);
          from = i + 1;
        }
      }
      AppendEscaped(out, view.sliced(from));
      return;
    }
  }
  out.append(name.toLatin1());
}

enum class OutputEncoding { kSingleByte, kUtf8, kUtf16LE, kUtf16BE };

bool IsUtf8Name(QStringView name) {
  return name.compare(u"UTF-8", Qt::CaseInsensitive) == 0 ||
         name.compare(u"UTF8", Qt::CaseInsensitive) == 0;
}

bool IsUtf16Name(QStringView name) {
  return name.startsWith(u"UTF-16", Qt::CaseInsensitive) || name.startsWith(u"UTF16", Qt::CaseInsensitive);
}

bool IsAnsiName(QStringView name) {
  return name.compare(QLatin1StringView(platform::kAnsiCharsetName), Qt::CaseInsensitive) == 0 ||
         name.compare(u"windows-1252", Qt::CaseInsensitive) == 0 ||
         name.compare(u"cp1252", Qt::CaseInsensitive) == 0;
}

// ---------------------------------------------------------------------------
// Reader

bool IsXmlSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

bool IsBlank(QStringView text) {
  for (QChar c : text)
    if (!IsXmlSpace(c.unicode())) return false;
  return true;
}

// Decodes the reference that starts with "&" at text[at]. Returns the length
// of the reference, or 0 when it is not one we know (it then stays as
// written).
qsizetype DecodeReference(QStringView text, qsizetype at, QString& out) {
  // The longest reference we accept is short; bounding the search for ";"
  // keeps decoding linear on text full of stray ampersands.
  constexpr qsizetype kMaxLength = 32;
  const qsizetype end = std::min(text.size(), at + kMaxLength);
  qsizetype semicolon = at + 1;
  while (semicolon < end && text[semicolon] != u';') ++semicolon;
  if (semicolon >= end) return 0;
  const QStringView body = text.sliced(at + 1, semicolon - at - 1);
  const qsizetype length = semicolon - at + 1;
  static constexpr struct {
    const char16_t* name;
    char16_t character;
  } kNamed[] = {{u"amp", u'&'}, {u"lt", u'<'}, {u"gt", u'>'}, {u"quot", u'"'}, {u"apos", u'\''}};
  for (const auto& entity : kNamed) {
    if (body == QStringView(entity.name)) {
      out.append(QChar(entity.character));
      return length;
    }
  }
  if (body.size() < 2 || body[0] != u'#') return 0;
  const bool hex = body[1] == u'x';
  const QStringView digits = body.sliced(hex ? 2 : 1);
  if (digits.isEmpty()) return 0;
  char32_t code = 0;
  for (QChar d : digits) {
    const char16_t c = d.unicode();
    int v;
    if (c >= u'0' && c <= u'9')
      v = c - u'0';
    else if (hex && c >= u'a' && c <= u'f')
      v = c - u'a' + 10;
    else if (hex && c >= u'A' && c <= u'F')
      v = c - u'A' + 10;
    else
      return 0;
    code = code * (hex ? 16 : 10) + v;
    if (code > 0x10FFFF) return 0;
  }
  // Surrogate codes are taken as single units: the writer emits one for an
  // unpaired surrogate, and a pair of them rebuilds the character.
  if (code < 0x10000) {
    out.append(QChar(static_cast<char16_t>(code)));
  } else {
    out.append(QChar(QChar::highSurrogate(code)));
    out.append(QChar(QChar::lowSurrogate(code)));
  }
  return length;
}

QString DecodeText(QStringView raw) {
  const qsizetype amp = raw.indexOf(u'&');
  if (amp < 0) return raw.toString();
  QString out;
  out.reserve(raw.size());
  out.append(raw.left(amp));
  for (qsizetype i = amp; i < raw.size();) {
    if (raw[i] == u'&') {
      const qsizetype used = DecodeReference(raw, i, out);
      if (used > 0) {
        i += used;
        continue;
      }
    }
    out.append(raw[i++]);
  }
  return out;
}

using Attributes = std::vector<std::pair<QString, QString>>;

// A hand-written reader for the storage format: one pass over the decoded
// text, no recursion. On a fault it stops and keeps what it has built.
class Reader {
 public:
  explicit Reader(QStringView text) : text_(text) {}

  // Parses the whole text. Returns "" or the message of the first fault.
  // *root receives the root element as soon as its start tag is read.
  QString Parse(Node** root, Attributes* declaration, bool* hasDeclaration) {
    root_ = root;
    declaration_ = declaration;
    hasDeclaration_ = hasDeclaration;
    if (!ParseDocument() && error_.isEmpty()) Fail(QStringLiteral("malformed document"));
    return error_;
  }

  // The "encoding" attribute of a declaration at the start of the text.
  static QString DeclaredEncoding(QStringView text) {
    Reader reader(text);
    reader.SkipSpace();
    if (!reader.AtDeclaration()) return {};
    Attributes attributes;
    bool has = false;
    reader.declaration_ = &attributes;
    reader.hasDeclaration_ = &has;
    reader.ParseDeclaration();
    for (const auto& [name, value] : attributes)
      if (name == u"encoding") return value;
    return {};
  }

 private:
  bool AtEnd() const { return pos_ >= text_.size(); }
  bool LookingAt(QStringView s) const { return text_.sliced(pos_).startsWith(s); }
  void SkipSpace() {
    while (!AtEnd() && IsXmlSpace(text_[pos_].unicode())) ++pos_;
  }
  bool AtDeclaration() const {
    return LookingAt(u"<?xml") && pos_ + 5 < text_.size() &&
           (IsXmlSpace(text_[pos_ + 5].unicode()) || text_[pos_ + 5] == u'?');
  }

  bool Fail(const QString& what) {
    if (error_.isEmpty()) {
      const qsizetype upTo = std::min(pos_, text_.size());
      const qsizetype line = text_.first(upTo).count(u'\n') + 1;
      error_ = QStringLiteral("line %1: %2").arg(line).arg(what);
    }
    return false;
  }

  // Skips to just after `terminator`.
  bool SkipPast(QStringView terminator, const char* what) {
    const qsizetype at = text_.indexOf(terminator, pos_);
    if (at < 0) return Fail(QStringLiteral("unterminated %1").arg(QLatin1StringView(what)));
    pos_ = at + terminator.size();
    return true;
  }

  bool SkipDoctype() {
    // Quoted literals and an internal subset in brackets may hold ">".
    int depth = 0;
    while (!AtEnd()) {
      const char16_t c = text_[pos_++].unicode();
      if (c == u'"' || c == u'\'') {
        const qsizetype close = text_.indexOf(QChar(c), pos_);
        if (close < 0) break;
        pos_ = close + 1;
      } else if (c == u'[') {
        ++depth;
      } else if (c == u']') {
        --depth;
      } else if (c == u'>' && depth <= 0) {
        return true;
      }
    }
    return Fail(QStringLiteral("unterminated DOCTYPE"));
  }

  // A name runs up to white space, "/", ">", "=", "<" or a quote; references
  // in it are decoded, since the writer escapes names like values.
  QString ReadName() {
    const qsizetype start = pos_;
    while (!AtEnd()) {
      const char16_t c = text_[pos_].unicode();
      if (IsXmlSpace(c) || c == u'/' || c == u'>' || c == u'=' || c == u'<' || c == u'"' || c == u'\'' ||
          c == u'?')
        break;
      ++pos_;
    }
    return DecodeText(text_.sliced(start, pos_ - start));
  }

  // name="value" pairs up to `end` ("?>" or "/" or ">").
  bool ReadAttributes(Attributes* out) {
    for (;;) {
      SkipSpace();
      if (AtEnd()) return Fail(QStringLiteral("unexpected end of file in a tag"));
      const char16_t c = text_[pos_].unicode();
      if (c == u'>' || c == u'/' || c == u'?') return true;
      const QString name = ReadName();
      if (name.isEmpty()) return Fail(QStringLiteral("unexpected \"%1\" in a tag").arg(QChar(c)));
      SkipSpace();
      if (AtEnd() || text_[pos_] != u'=') return Fail(QStringLiteral("attribute %1 has no value").arg(name));
      ++pos_;
      SkipSpace();
      if (AtEnd() || (text_[pos_] != u'"' && text_[pos_] != u'\''))
        return Fail(QStringLiteral("attribute %1 is not quoted").arg(name));
      const QChar quote = text_[pos_++];
      const qsizetype close = text_.indexOf(quote, pos_);
      if (close < 0) return Fail(QStringLiteral("unterminated value of attribute %1").arg(name));
      if (out) out->emplace_back(name, DecodeText(text_.sliced(pos_, close - pos_)));
      pos_ = close + 1;
    }
  }

  bool ParseDeclaration() {
    pos_ += 5;  // "<?xml"
    declaration_->clear();
    if (!ReadAttributes(declaration_)) return false;
    if (!LookingAt(u"?>")) return Fail(QStringLiteral("malformed XML declaration"));
    pos_ += 2;
    *hasDeclaration_ = true;
    return true;
  }

  // Skips a comment or a processing instruction, and before the root a
  // DOCTYPE. Returns false on a fault; *skipped tells whether anything was
  // skipped.
  bool SkipMarkup(bool* skipped, bool beforeRoot = false) {
    *skipped = true;
    if (LookingAt(u"<!--")) return SkipPast(u"-->", "comment");
    if (LookingAt(u"<?")) return SkipPast(u"?>", "processing instruction");
    if (beforeRoot && LookingAt(u"<!DOCTYPE")) return SkipDoctype();
    *skipped = false;
    return true;
  }

  bool ParseDocument() {
    if (!AtEnd() && text_[0] == QChar(0xFEFF)) ++pos_;
    bool first = true;
    for (;;) {
      SkipSpace();
      if (AtEnd()) return Fail(QStringLiteral("no root element"));
      if (first && AtDeclaration()) {
        if (!ParseDeclaration()) return false;
        first = false;
        continue;
      }
      first = false;
      bool skipped;
      if (!SkipMarkup(&skipped, true)) return false;
      if (skipped) continue;
      if (text_[pos_] != u'<') return Fail(QStringLiteral("text before the root element"));
      break;
    }
    if (!ParseElements()) return false;
    for (;;) {
      SkipSpace();
      if (AtEnd()) return true;
      bool skipped;
      if (!SkipMarkup(&skipped)) return false;
      if (!skipped) return Fail(QStringLiteral("content after the root element"));
    }
  }

  // Reads a start tag at "<". Returns the new element (appended to parent, or
  // made the root) or null on a fault; *empty is set for "<name/>".
  Node* ReadStartTag(Node* parent, bool* empty) {
    ++pos_;
    QString name = ReadName();
    if (name.isEmpty()) {
      Fail(QStringLiteral("element without a name"));
      return nullptr;
    }
    // Attributes are tolerated and ignored: values are never stored in them.
    if (!ReadAttributes(nullptr)) return nullptr;
    if (LookingAt(u"/>")) {
      *empty = true;
      pos_ += 2;
    } else if (LookingAt(u">")) {
      *empty = false;
      pos_ += 1;
    } else {
      Fail(QStringLiteral("malformed start tag of %1").arg(name));
      return nullptr;
    }
    Node* node = NewNode(std::move(name));
    if (parent) {
      AppendChild(parent, node);
    } else {
      DestroyTree(*root_);
      *root_ = node;
    }
    return node;
  }

  bool ParseElements() {
    bool empty;
    Node* current = ReadStartTag(nullptr, &empty);
    if (!current) return false;
    if (empty) return true;
    Node* const root = current;
    while (current) {
      const qsizetype lt = text_.indexOf(u'<', pos_);
      const qsizetype textEnd = lt < 0 ? text_.size() : lt;
      const QStringView raw = text_.sliced(pos_, textEnd - pos_);
      // White space between elements is layout, not data.
      if (!raw.isEmpty() && !IsBlank(raw)) current->value += DecodeText(raw);
      pos_ = textEnd;
      if (AtEnd()) return Fail(QStringLiteral("unexpected end of file inside %1").arg(current->name));
      if (LookingAt(u"</")) {
        pos_ += 2;
        const QString name = ReadName();
        SkipSpace();
        if (AtEnd() || text_[pos_] != u'>') return Fail(QStringLiteral("malformed end tag of %1").arg(name));
        ++pos_;
        if (name != current->name)
          return Fail(QStringLiteral("</%1> does not close <%2>").arg(name, current->name));
        current = current == root ? nullptr : current->parent;
      } else if (LookingAt(u"<![CDATA[")) {
        pos_ += 9;
        const qsizetype close = text_.indexOf(u"]]>", pos_);
        if (close < 0) return Fail(QStringLiteral("unterminated CDATA section"));
        current->value += text_.sliced(pos_, close - pos_);
        pos_ = close + 3;
      } else {
        bool skipped;
        if (!SkipMarkup(&skipped)) return false;
        if (skipped) continue;
        if (LookingAt(u"<!")) return Fail(QStringLiteral("unexpected markup inside %1").arg(current->name));
        Node* child = ReadStartTag(current, &empty);
        if (!child) return false;
        if (!empty) current = child;
      }
    }
    return true;
  }

  QStringView text_;
  qsizetype pos_ = 0;
  QString error_;
  Node** root_ = nullptr;
  Attributes* declaration_ = nullptr;
  bool* hasDeclaration_ = nullptr;
};

struct DecodedFile {
  QString text;
  QString encoding;  // the name to declare when the file declares none
  bool utf16 = false;
  bool bigEndian = false;
  // The declaration names a code page we cannot read: the file was read as
  // ANSI, and it is written back declaring what it was read as, so that our
  // own output always loads again.
  bool unknownEncoding = false;
  QString error;
};

// Reads and decodes the whole file chunk by chunk, so that a large file is
// never held twice (bytes and text) in memory. A byte-order mark selects
// UTF-8 or UTF-16; otherwise the declaration's encoding is used, and the ANSI
// code page when there is none.
DecodedFile DecodeFile(QFile& in) {
  constexpr qint64 kChunk = 1 << 14;
  QByteArray buffer(kChunk, Qt::Uninitialized);
  const auto readChunk = [&]() -> QByteArrayView {
    const qint64 n = in.read(buffer.data(), kChunk);
    return QByteArrayView(buffer.constData(), std::max<qint64>(n, 0));
  };
  const QByteArrayView head = readChunk();
  const auto starts = [&](std::initializer_list<unsigned char> prefix) {
    if (head.size() < qsizetype(prefix.size())) return false;
    qsizetype i = 0;
    for (unsigned char b : prefix)
      if (static_cast<unsigned char>(head[i++]) != b) return false;
    return true;
  };

  DecodedFile file;
  QStringDecoder decoder;  // invalid: the ANSI code page
  qsizetype skip = 0;
  if (starts({0xEF, 0xBB, 0xBF})) {
    decoder = QStringDecoder(QStringConverter::Utf8);
    file.encoding = QStringLiteral("UTF-8");
    skip = 3;
  } else if (starts({0xFF, 0xFE}) || starts({0xFE, 0xFF}) || starts({0x3C, 0x00}) || starts({0x00, 0x3C})) {
    // UTF-16 with a mark, or without one but beginning with "<".
    file.bigEndian = starts({0xFE, 0xFF}) || starts({0x00, 0x3C});
    decoder = QStringDecoder(file.bigEndian ? QStringConverter::Utf16BE : QStringConverter::Utf16LE);
    file.encoding = QStringLiteral("UTF-16");
    file.utf16 = true;
    skip = head[0] == '<' || head[1] == '<' ? 0 : 2;
  } else {
    // The declaration is ASCII in every code page we read.
    const QString declared = Reader::DeclaredEncoding(QString::fromLatin1(head.first(std::min<qsizetype>(head.size(), 1024))));
    if (declared.isEmpty() || IsAnsiName(declared)) {
      file.encoding = QLatin1StringView(platform::kAnsiCharsetName);
    } else {
      file.encoding = declared;
      decoder = QStringDecoder(declared.toLatin1().constData());
      // An unknown code page is read as the ANSI one so that its ASCII part
      // survives; the caller still learns of the fault.
      if (!decoder.isValid()) {
        file.error = QStringLiteral("unknown encoding %1").arg(declared);
        file.encoding = QLatin1StringView(platform::kAnsiCharsetName);
        file.unknownEncoding = true;
      }
    }
  }

  file.text.reserve(file.utf16 ? in.size() / 2 : in.size());
  const auto decode = [&](QByteArrayView bytes) {
    if (decoder.isValid())
      file.text += QString(decoder(bytes));
    else
      file.text += platform::FromAnsi(bytes);
  };
  decode(head.sliced(skip));
  for (QByteArrayView chunk = readChunk(); !chunk.isEmpty(); chunk = readChunk()) decode(chunk);
  if (in.error() != QFileDevice::NoError)
    file.error = QStringLiteral("cannot be read: %1").arg(in.errorString());
  else if (file.error.isEmpty() && decoder.isValid() && decoder.hasError())
    file.error = QStringLiteral("byte sequence invalid in %1").arg(file.encoding);
  return file;
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
  QString error = Reader(file.text).Parse(&root, &attributes, &hasDeclaration);
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
  QByteArray out;
  out.append("<?xml");
  QString encoding;
  for (const auto& [name, value] : declaration_.attributes) {
    out.append(' ');
    AppendName(out, name);
    out.append("=\"");
    AppendEscaped(out, value);
    out.append('"');
    if (name == u"encoding") encoding = value;
  }
  out.append("?>\r\n");

  // Depth-first without recursion; depth counts from the root (0).
  const Node* root = root_.get();
  const Node* node = root;
  qsizetype depth = 0;
  for (;;) {
    out.append(2 * depth, ' ');
    out.append('<');
    AppendName(out, node->name);
    if (node->firstChild) {
      out.append(">\r\n");
      node = node->firstChild;
      ++depth;
      continue;
    }
    if (node->value.isEmpty()) {
      out.append("/>\r\n");
    } else {
      out.append('>');
      AppendEscaped(out, node->value);
      out.append("</");
      AppendName(out, node->name);
      out.append(">\r\n");
    }
    while (node != root && !node->next) {
      node = node->parent;
      --depth;
      out.append(2 * depth, ' ');
      out.append("</");
      AppendName(out, node->name);
      out.append(">\r\n");
    }
    if (node == root) break;
    node = node->next;
  }

  // Everything above is ASCII, so a single-byte code page needs no
  // conversion; UTF-8 only adds its mark.
  OutputEncoding target = OutputEncoding::kSingleByte;
  if (IsUtf8Name(encoding)) {
    target = OutputEncoding::kUtf8;
  } else if (IsUtf16Name(encoding)) {
    const bool be = declaration_.loadedUtf16 ? declaration_.loadedBigEndian
                                              : encoding.endsWith(u"BE", Qt::CaseInsensitive);
    target = be ? OutputEncoding::kUtf16BE : OutputEncoding::kUtf16LE;
  }
  switch (target) {
    case OutputEncoding::kSingleByte:
      return out;
    case OutputEncoding::kUtf8:
      return QByteArray("\xEF\xBB\xBF") + out;
    case OutputEncoding::kUtf16LE:
    case OutputEncoding::kUtf16BE: {
      const bool be = target == OutputEncoding::kUtf16BE;
      QByteArray wide(2 * (out.size() + 1), '\0');
      char* p = wide.data();
      *p++ = be ? '\xFE' : '\xFF';
      *p++ = be ? '\xFF' : '\xFE';
      for (char c : out) {
        *p++ = be ? '\0' : c;
        *p++ = be ? c : '\0';
      }
      return wide;
    }
  }
  return out;
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
