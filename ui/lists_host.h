#pragma once
// ListsHost: what the main window's lists need from the controller that
// owns them — the parts of the window that are not theirs, and the save.

#include <QString>

class ListsHost {
 public:
  virtual ~ListsHost() = default;
  // The monitored-folder list changed: it must reach the disk soon.
  virtual void ScheduleSave() = 0;
  // The hint line at the foot of the window (simple markup).
  virtual void SetHintText(const QString& text) = 0;
  // The settings panel's caption band.
  virtual QString ItemsPanelCaptionText() const = 0;
  virtual void SetItemsPanelCaptionText(const QString& text) = 0;
};
