#pragma once
// The reader of the storage format: one pass over the decoded text of a file,
// without recursion. Internal to storage/xml_*.cpp.

#include "storage/xml_document.h"

#include <QString>
#include <QStringView>

namespace xml {

// Parses the whole text. Returns "" or the message of the first fault
// ("line N: ..."); on a fault the tree built so far is kept. *root receives
// the root element as soon as its start tag is read (the caller owns it); the
// declaration's attributes go to *declaration, *hasDeclaration tells whether
// there was one.
QString ParseDocument(QStringView text, Node** root, Attributes* declaration, bool* hasDeclaration);

// The "encoding" attribute of a declaration at the start of the text, or "".
QString DeclaredEncoding(QStringView text);

}  // namespace xml
