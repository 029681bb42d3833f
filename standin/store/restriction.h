#pragma once
// The filters Items.Restrict understands: a comparison of the subject with a
// quoted text, as the program writes it:
//
//   Subject = 'Pendrix Update Email'
//   [Subject] = 'it''s'          (a doubled quote stands for one)
//   [Subject] = "text"           (double quotes, "" for one)
//
// The property name and the comparison ignore letter case, as Outlook's
// restriction does. Anything else is rejected with a StoreError that quotes
// the filter, rather than silently matching everything or nothing.

#include <QString>

namespace vasnik {

class Restriction {
 public:
  // Throws StoreError for a filter of another form.
  static Restriction Parse(const QString& filter);

  bool Matches(const QString& subject) const;
  const QString& Subject() const { return subject_; }

 private:
  QString subject_;
};

}  // namespace vasnik
