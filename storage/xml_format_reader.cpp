#include "storage/xml_format_reader.h"

#include "storage/xml_encodings.h"

#include <QLatin1StringView>

#include <algorithm>

// Written by hand: the files carry element names that begin with digits
// (entry identifiers), which conforming XML parsers reject.

namespace xml {

namespace {

bool IsXmlSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

bool IsBlank(QStringView text) {
  for (QChar c : text)
    if (!IsXmlSpace(c.unicode())) return false;
  return true;
}

// A hand-written reader for the storage format: one pass over the decoded
// text, no recursion. On a fault it stops and keeps what it has built.
class Reader {
 public:
  explicit Reader(QStringView text) : text_(text) {}

  QString Parse(Node** root, Attributes* declaration, bool* hasDeclaration) {
    root_ = root;
    declaration_ = declaration;
    hasDeclaration_ = hasDeclaration;
    if (!ParseDocument() && error_.isEmpty()) Fail(QStringLiteral("malformed document"));
    return error_;
  }

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
    Node* node = NewNode(name);
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

}  // namespace

QString ParseDocument(QStringView text, Node** root, Attributes* declaration, bool* hasDeclaration) {
  return Reader(text).Parse(root, declaration, hasDeclaration);
}

QString DeclaredEncoding(QStringView text) { return Reader::DeclaredEncoding(text); }

}  // namespace xml
