#pragma once
#include <QString>

// The name under which a folder or an item travels between computers: the MD5
// digest of the text as 32 upper-case hexadecimal digits. One byte is hashed
// per UTF-16 unit: a unit below 128 gives itself, every other unit gives "?",
// so both sides of a share compute the same key whatever their code page.
QString GetMD5(const QString& text);

// True for a key that can stand as a plain file name below the exchange
// directories: not empty, no path separator, no drive, no "..", no control
// character. The program's own keys (GetMD5) always are; keys that came
// from another computer are checked before they become paths.
bool IsPlainKey(const QString& key);
