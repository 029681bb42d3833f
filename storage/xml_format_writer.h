#pragma once
// The serializer of the storage format: the exact bytes of a file.
// Internal to storage/xml_*.cpp.

#include "storage/xml_document.h"

#include <QByteArray>

namespace xml {

// The declaration line, then the tree from root, in the encoding the
// declaration names (see EncodeOutput).
QByteArray SerializeDocument(const Node* root, const Attributes& declaration, bool loadedUtf16,
                             bool loadedBigEndian);

}  // namespace xml
