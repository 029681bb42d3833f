#pragma once
#include <QString>

// The name under which a folder or an item travels between computers: the MD5
// digest of the text as 32 upper-case hexadecimal digits. One byte is hashed
// per UTF-16 unit: a unit below 128 gives itself, every other unit gives "?",
// so both sides of a share compute the same key whatever their code page.
QString GetMD5(const QString& text);
