#pragma once
// Test helper: an X display for programs under test that are driven from
// outside, as a user at the keyboard would: windows are found by title and
// answered with keys through xdotool (XTEST), and the whole screen can be
// saved as a picture when something goes wrong.
//
//   Screen screen;
//   ASSERT_TRUE(screen.Start()) << screen.Error();
//   peer.display = screen.Display();
//   DialogScript answers{screen, {{"^Lintrove$", {"Return"}}, {"^Select Folder$", {"type:Calendar", "Return"}}}};
//   (every message box gets Enter, the folder picker "Calendar" typed, then Enter)
//   Eventually([&] { answers.Poll(); return done(); }, ...);
//
// Start runs its own Xvfb (no window manager: xdotool gives the input focus
// itself); LINTROVE_TEST_DISPLAY names a display that already runs instead,
// for watching a test by hand.

#include <QDeadlineTimer>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QThread>

#include <csignal>
#include <utility>
#include <vector>

class Screen {
 public:
  Screen() = default;
  ~Screen() { Stop(); }
  Screen(const Screen&) = delete;
  Screen& operator=(const Screen&) = delete;

  bool Start() {
    display_ = qEnvironmentVariable("LINTROVE_TEST_DISPLAY");
    if (!display_.isEmpty()) return true;
    server_.setProgram(QStringLiteral("Xvfb"));
    // -displayfd: the server picks a free display and writes its number
    // once it accepts clients.
    server_.setArguments({QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                          QStringLiteral("0"), QStringLiteral("1024x768x24"), QStringLiteral("-nolisten"),
                          QStringLiteral("tcp")});
    server_.setStandardErrorFile(QProcess::nullDevice());
    server_.start();
    if (!server_.waitForStarted(10000)) {
      error_ = QStringLiteral("cannot start Xvfb (Debian package xvfb)");
      return false;
    }
    QDeadlineTimer deadline(20000);
    QByteArray out;
    while (!out.contains('\n') && !deadline.hasExpired() && server_.state() == QProcess::Running) {
      server_.waitForReadyRead(200);
      out += server_.readAllStandardOutput();
    }
    bool ok = false;
    const int number = out.trimmed().toInt(&ok);
    if (!ok) {
      error_ = QStringLiteral("Xvfb did not report its display");
      Stop();
      return false;
    }
    display_ = QStringLiteral(":%1").arg(number);
    return true;
  }

  void Stop() {
    if (server_.state() == QProcess::NotRunning) return;
    ::kill(pid_t(server_.processId()), SIGTERM);
    if (!server_.waitForFinished(5000)) server_.kill();
    server_.waitForFinished(2000);
  }

  QString Display() const { return display_; }
  QString Error() const { return error_; }

  // xdotool with these arguments on this display; its standard output, or
  // a null string when it failed (a search that found nothing fails).
  QString XdoTool(const QStringList& arguments) const {
    QProcess p;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.insert(QStringLiteral("DISPLAY"), display_);
    p.setProcessEnvironment(e);
    p.start(QStringLiteral("xdotool"), arguments);
    if (!p.waitForFinished(10000) || p.exitCode() != 0) return QString();
    return QString::fromUtf8(p.readAllStandardOutput()) + u' ';
  }

  // The visible windows whose title matches the regular expression.
  QStringList Windows(const QString& titlePattern) const {
    return XdoTool({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"), titlePattern})
        .split(u'\n', Qt::SkipEmptyParts)
        .filter(QRegularExpression(QStringLiteral("^\\d+$")));
  }

  // Gives the window the keyboard and types into it: "type:TEXT" types the
  // text, anything else is a key name as xdotool knows it ("Return").
  bool Keys(const QString& window, const QStringList& keys) const {
    if (XdoTool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), window}).isNull()) return false;
    for (const QString& key : keys) {
      const bool typed = key.startsWith(QStringLiteral("type:"));
      const QStringList arguments = typed ? QStringList{QStringLiteral("type"), QStringLiteral("--delay"),
                                                        QStringLiteral("40"), key.mid(5)}
                                          : QStringList{QStringLiteral("key"), key};
      if (XdoTool(arguments).isNull()) return false;
    }
    return true;
  }

  // The whole screen as a PNG (xwd, then ImageMagick's convert when there
  // is one; the raw xwd dump otherwise). The file written, or empty.
  QString Shot(const QString& pathWithoutSuffix) const {
    QProcess shot;
    shot.setStandardOutputFile(pathWithoutSuffix + QStringLiteral(".xwd"));
    shot.start(QStringLiteral("xwd"), {QStringLiteral("-root"), QStringLiteral("-silent"), QStringLiteral("-display"),
                                       display_});
    if (!shot.waitForFinished(10000) || shot.exitCode() != 0) return QString();
    QProcess convert;
    convert.start(QStringLiteral("convert"), {QStringLiteral("xwd:") + pathWithoutSuffix + QStringLiteral(".xwd"),
                                              pathWithoutSuffix + QStringLiteral(".png")});
    if (convert.waitForFinished(20000) && convert.exitCode() == 0) {
      QFile::remove(pathWithoutSuffix + QStringLiteral(".xwd"));
      return pathWithoutSuffix + QStringLiteral(".png");
    }
    return pathWithoutSuffix + QStringLiteral(".xwd");
  }

 private:
  QProcess server_;
  QString display_;
  QString error_;
};

// A user's answers to the windows programs open: each visible window whose
// title matches a rule gets that rule's keys. A window still there a while
// after its keys (they came before it could take them, on a loaded
// machine) gets them again. Poll() looks once and never waits, so it can
// run inside a loop that waits for something else.
class DialogScript {
 public:
  struct Rule {
    QString titlePattern;
    QStringList keys;
  };
  DialogScript(const Screen& screen, std::vector<Rule> rules) : screen_(screen), rules_(std::move(rules)) {}

  void Poll() {
    for (const Rule& rule : rules_)
      for (const QString& window : screen_.Windows(rule.titlePattern)) {
        auto sent = sent_.find(window);
        if (sent != sent_.end() && !sent->hasExpired()) continue;
        // Shown is not yet ready for keys: give the program a moment to lay
        // the window out and take the focus.
        QThread::msleep(300);
        if (!screen_.Keys(window, rule.keys)) continue;  // gone meanwhile
        if (sent == sent_.end()) answered_[rule.titlePattern] += 1;
        sent_[window] = QDeadlineTimer(kRetryMs);
      }
  }
  // How many windows with a title of this rule were answered.
  int Answered(const QString& titlePattern) const { return answered_.value(titlePattern); }

 private:
  static constexpr int kRetryMs = 3000;
  const Screen& screen_;
  std::vector<Rule> rules_;
  QHash<QString, QDeadlineTimer> sent_;
  QHash<QString, int> answered_;
};
