#include "storage/xml_format_writer.h"

#include "storage/xml_encodings.h"

#include <utility>

// Written by hand: the output must match a fixed layout byte for byte.

namespace xml {

namespace {

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
  // ASCII only here: appended unit by unit, without a converted copy.
  const qsizetype at = out.size();
  out.resize(at + name.size());
  char* p = out.data() + at;
  for (QChar c : name) *p++ = static_cast<char>(c.unicode());
}

}  // namespace

QByteArray SerializeDocument(const Node* root, const Attributes& declaration, bool loadedUtf16,
                             bool loadedBigEndian) {
  QByteArray out;
  out.append("<?xml");
  QString encoding;
  for (const auto& [name, value] : declaration) {
    out.append(' ');
    AppendName(out, name);
    out.append("=\"");
    AppendEscaped(out, value);
    out.append('"');
    if (name == u"encoding") encoding = value;
  }
  out.append("?>\r\n");

  // Depth-first without recursion; depth counts from the root (0).
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

  return EncodeOutput(std::move(out), encoding, loadedUtf16, loadedBigEndian);
}

}  // namespace xml
