#pragma once
// The address check of the sharing editor's Add action.

#include <QString>

// True when every character is "-", ".", a digit, an ASCII letter or "_";
// the empty text passes.
bool CheckAllowed(const QString& text);

// True for an address whose part before the first "@" is not empty and
// whose part after it has at least 4 characters, a first dot with one or
// more characters before it and two or more after it, no ".." anywhere, and
// only the characters CheckAllowed accepts on either side. Nothing is trimmed.
bool CheckEmail(const QString& address);
