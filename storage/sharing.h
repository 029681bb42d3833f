#pragma once
// The sharing model: which folders are shared, with whom, under which rights.
//
// There is no in-memory object for a shared folder. The configuration keys
// below "SharedFolders\<folder entry id>\" are the model; the sharing editor
// fills a list of rows and the controller's SaveFolderSettings copies it into
// the configuration, and each reader (editor, mailing, import) reads the keys
// itself, with defaults of its own, at the moment it needs them.

#include <QString>
#include <QStringList>
#include <optional>
#include <stdexcept>
#include <vector>

class FormStorage;

// One row of the sharing editor, as it shows it: the tick is "Enabled", the
// texts stand as the user left them ("Allow"/"Deny" for the rights).
struct SharingRow {
  bool enabled = true;
  QString email;
  QString modify = QStringLiteral("Allow");
  QString read = QStringLiteral("Allow");
  QString write = QStringLiteral("Allow");
};

// Raised when a stored value cannot be parsed ("UserCount" not a number, an
// "Enabled" that is not a Boolean); only outside edits of the file do that.
class SharingFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A Boolean as the configuration stores it: a number (0 false, others true)
// or "True"/"False" in any letter case. Throws SharingFormatError otherwise.
bool ParseBoolean(const QString& text);

// "SharedFolders\" + entryId + "\" + rest
QString SharedFolderKey(const QString& entryId, const QString& rest);

// Writes the folder's section from the rows, in row order: "FolderPath" :=
// caption, "UserCount", then per row i "User<i>\Enabled", "Email", "Modify",
// "Read", "Write". Nothing is deleted: groups at or above the new count stay.
void WriteSharingRows(FormStorage& config, const QString& entryId, const QString& caption,
                      const std::vector<SharingRow>& rows);

// The editor's reading: "Enabled" defaults to "False" (parsed as a Boolean),
// texts to "". Throws SharingFormatError for unparsable values.
std::vector<SharingRow> ReadSharingRows(const FormStorage& config, const QString& entryId);

// The mailing's reading: the addresses of every entry whose "Enabled" is
// exactly "True" and "Read" exactly "Allow", in entry order, duplicates kept.
QStringList ReadRecipients(const FormStorage& config, const QString& entryId);

// The import's reading: the first entry that is enabled ("Enabled" defaults to
// "True", parsed as a Boolean) and whose address equals `sender` exactly.
struct ImportRights {
  bool modify = false;  // changes and deletions of existing items
  bool write = false;   // new items
};
std::optional<ImportRights> FindImportRights(const FormStorage& config, const QString& entryId,
                                             const QString& sender);
