#pragma once
// Operating-system services the program needs, one small interface with an
// implementation per platform (system_unix.cpp here).

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace platform {

// The per-user application-data folder, without a trailing separator.
// On Linux: the generic data location (honours XDG_DATA_HOME).
QString AppDataDir();

// The folder shared libraries of other vendors are installed in.
// On Linux: the library directory of the install prefix.
QString CommonFilesDir();

// A human-readable name of the operating system ("Debian GNU/Linux 12 (bookworm)").
QString ProductName();

// Full path of the running executable.
QString ExecutablePath();

// Suffix of loadable modules (".so"; ".dll" on Windows) and of executables
// ("" on Linux, ".exe" on Windows).
QString ModuleSuffix();
QString ExecutableSuffix();

// The directory separator the program appends when it builds paths.
inline constexpr QChar kPathDelim = u'/';

// Opens a URL in the default browser, or starts a program found by its bare
// name the way the shell would. Returns false when nothing could be started.
bool ShellOpen(const QString& target);

// Deletes a file or a directory tree; every error is swallowed.
void SilentDelete(const QString& path);

// What tells one version of a file from another even when its size and time
// agree: the file's identity on its volume (device and inode here, volume
// serial and file index on Windows), its size and its modification time to
// the file system's precision. Files written by replacing (a new file
// renamed over the old) get a new identity each time. Empty when the file
// cannot be looked at.
QByteArray FileVersion(const QString& path);

}  // namespace platform
