#pragma once
// File names of Maildir folders (cur/, new/, tmp/), as mail servers and
// Maildir clients use them: "<base>" in new/, "<base>:2,<flags>" in cur/.
// The base name is the part no client changes (a flag change or the move
// from new/ to cur/ keeps it), so it is what an item's entry identifier
// holds.

#include <QString>

namespace vasnik::maildir {

// A unique base name: "<seconds>.M<microseconds>P<pid>Q<count>R<random>.<host>"
// with "/" and ":" of the host name written as \057 and \072.
QString NewBaseName();
// The part of a file name before the info separator ":".
QString BaseOf(const QString& fileName);
// The flags after ":2,", empty when there are none.
QString FlagsOf(const QString& fileName);
// Not a dot-file, and a base that could be an item.
bool IsItemFileName(const QString& fileName);
// Creates dir/cur, dir/new and dir/tmp as needed.
void Create(const QString& directory);
bool IsMaildir(const QString& directory);

}  // namespace vasnik::maildir
