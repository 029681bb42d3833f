#include "app/exception_hook.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTemporaryDir>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/log_file.h"

// The scenarios live outside any anonymous namespace so that the class and
// procedure names in the reports are predictable.
namespace hooktest {

struct BaseError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct DerivedError : BaseError {
  using BaseError::BaseError;
};
struct OtherError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

volatile bool g_throw = true;
volatile int g_sink = 0;

struct Guard {
  __attribute__((noinline)) ~Guard() { g_sink = g_sink + 1; }
};

__attribute__((noinline)) void Thrower() {
  if (g_throw) throw DerivedError("boom");
  g_sink = g_sink + 1;
}

// Only a destructor between the thrower and the catcher.
__attribute__((noinline)) void WithDestructor() {
  Guard guard;
  Thrower();
  g_sink = g_sink + 1;
}

__attribute__((noinline)) void CatchUnrelated() {
  try {
    WithDestructor();
  } catch (const OtherError&) {
    g_sink = g_sink + 1;
  }
  g_sink = g_sink + 1;
}

__attribute__((noinline)) int CatchBase() {
  try {
    CatchUnrelated();
  } catch (const BaseError& e) {
    return 1;
  }
  return 0;
}

__attribute__((noinline)) int CatchAll() {
  try {
    WithDestructor();
  } catch (...) {
    return 1;
  }
  return 0;
}

__attribute__((noinline)) int CatchInSameFunction() {
  try {
    if (g_throw) throw DerivedError("here");
  } catch (const BaseError&) {
    return 1;
  }
  return 0;
}

__attribute__((noinline)) int CatchPointer() {
  try {
    if (g_throw) throw new DerivedError("by pointer");
  } catch (BaseError* e) {
    delete e;
    return 1;
  }
  return 0;
}

__attribute__((noinline)) int CatchFromLibrary() {
  std::vector<int> empty;
  try {
    return empty.at(static_cast<size_t>(g_sink) + 3);
  } catch (const std::out_of_range&) {
    return 1;
  }
}

// The runtime calls std::terminate when an exception leaves a noexcept
// function.
__attribute__((noinline)) void NoexceptBarrier() noexcept {
  WithDestructor();
  g_sink = g_sink + 1;
}

constexpr int kResolveTargetLine = __LINE__ + 1;
__attribute__((noinline)) int ResolveTarget(int x) {
  g_sink = g_sink + x;
  return g_sink * 3;
}

}  // namespace hooktest

namespace {

using hooktest::BaseError;
using hooktest::DerivedError;

std::mutex g_capturedMutex;
std::vector<RaisedException> g_captured;

void Capture(const RaisedException& e) {
  std::lock_guard lock(g_capturedMutex);
  g_captured.push_back(e);
}

class ExceptionHookTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnableExceptionTracking();
    g_captured.clear();
    SetExceptionNotifier(Capture);
  }
  void TearDown() override { ClearExceptionNotifier(); }

  static RaisedException Single() {
    EXPECT_EQ(g_captured.size(), 1u);
    return g_captured.empty() ? RaisedException{} : g_captured.front();
  }
};

std::vector<std::string> Lines(const RaisedException& e) {
  std::vector<std::string> lines;
  for (const QString& line : FormatExceptionReport(e)) lines.push_back(line.toStdString());
  return lines;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The report's frame lines ("    Frame at"), in order.
std::vector<std::string> FrameLines(const std::vector<std::string>& lines) {
  std::vector<std::string> frames;
  for (const std::string& l : lines)
    if (l.rfind("    Frame at $", 0) == 0) frames.push_back(l);
  return frames;
}

// Checks the fixed parts of a report and that the dump ends with the frame
// that handles the exception inside `catcher`.
void ExpectCompleteReport(const RaisedException& e, const std::string& headline, const std::string& thrower,
                          const std::string& kind, const std::string& catcher) {
  const std::vector<std::string> lines = Lines(e);
  ASSERT_GE(lines.size(), 8u);
  EXPECT_EQ(lines.front(), "");
  EXPECT_EQ(lines[1], headline);
  EXPECT_EQ(lines[2].rfind("  Exception occured at $", 0), 0u) << lines[2];
  EXPECT_TRUE(Contains(lines[2], "(Module \"test_exception_hook\", Procedure \"" + thrower)) << lines[2];
  EXPECT_TRUE(Contains(lines[2], "Unit \"test_exception_hook.cpp\", Line ")) << lines[2];
  EXPECT_EQ(lines[3], "  Except frame-dump:");
  EXPECT_EQ((lines.size() - 5) % 3, 0u);
  EXPECT_EQ(lines.back(), "");
  const size_t last = lines.size() - 4;
  EXPECT_EQ(lines[last].rfind("    Frame at $", 0), 0u) << lines[last];
  EXPECT_TRUE(Contains(lines[last], " (type: " + kind + ", handles exception)")) << lines[last];
  EXPECT_EQ(lines[last + 1].rfind("      Handler at $", 0), 0u) << lines[last + 1];
  EXPECT_TRUE(Contains(lines[last + 2], "Module \"test_exception_hook\", Procedure \"" + catcher)) << lines[last + 2];
  EXPECT_TRUE(Contains(lines[last + 2], "Unit \"test_exception_hook.cpp\", Line ")) << lines[last + 2];
  for (size_t i = 4; i < last; i += 3) {
    EXPECT_TRUE(Contains(lines[i], ")") && !Contains(lines[i], "handles")) << lines[i];
    EXPECT_EQ(lines[i + 1].rfind("      Code at $", 0), 0u) << lines[i + 1];
  }
}

// ---- Frames of real throws ---------------------------------------------------------

TEST_F(ExceptionHookTest, TypedHandlerOfBaseClassEndsTheDump) {
  ASSERT_EQ(hooktest::CatchBase(), 1);
  const RaisedException e = Single();
  EXPECT_EQ(e.className, QStringLiteral("hooktest::DerivedError"));
  EXPECT_TRUE(e.isException);
  EXPECT_EQ(e.message, QStringLiteral("boom"));
  EXPECT_FALSE(e.osException);
  EXPECT_NE(e.address, 0u);

  ASSERT_EQ(e.frames.size(), 3u);
  EXPECT_EQ(e.frames[0].kind, FrameKind::Finally);  // WithDestructor
  EXPECT_FALSE(e.frames[0].handles);
  EXPECT_EQ(e.frames[1].kind, FrameKind::OnException);  // CatchUnrelated: catch (OtherError&)
  EXPECT_FALSE(e.frames[1].handles);
  EXPECT_EQ(e.frames[2].kind, FrameKind::OnException);  // CatchBase: catch (BaseError&)
  EXPECT_TRUE(e.frames[2].handles);
  EXPECT_NE(e.frames[2].handlerAddress, 0u);
  // Outer frames have higher frame addresses on a downward-growing stack.
  EXPECT_LT(e.frames[0].frameAddress, e.frames[1].frameAddress);
  EXPECT_LT(e.frames[1].frameAddress, e.frames[2].frameAddress);

  ExpectCompleteReport(e, "Exception hooktest::DerivedError: boom", "hooktest::Thrower()", "efkOnException",
                       "hooktest::CatchBase()");
  const std::vector<std::string> frames = FrameLines(Lines(e));
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_TRUE(Contains(frames[0], "(type: efkFinally)")) << frames[0];
  EXPECT_TRUE(Contains(frames[1], "(type: efkOnException)")) << frames[1];
  const std::vector<std::string> lines = Lines(e);
  EXPECT_TRUE(Contains(lines[6], "Procedure \"hooktest::WithDestructor()")) << lines[6];
  EXPECT_TRUE(Contains(lines[9], "Procedure \"hooktest::CatchUnrelated()")) << lines[9];
}

TEST_F(ExceptionHookTest, CatchAllEndsTheDump) {
  ASSERT_EQ(hooktest::CatchAll(), 1);
  const RaisedException e = Single();
  ASSERT_EQ(e.frames.size(), 2u);
  EXPECT_EQ(e.frames[0].kind, FrameKind::Finally);
  EXPECT_EQ(e.frames[1].kind, FrameKind::AnyException);
  EXPECT_TRUE(e.frames[1].handles);
  ExpectCompleteReport(e, "Exception hooktest::DerivedError: boom", "hooktest::Thrower()", "efkAnyException",
                       "hooktest::CatchAll()");
}

TEST_F(ExceptionHookTest, HandlerInTheThrowingFunctionItself) {
  ASSERT_EQ(hooktest::CatchInSameFunction(), 1);
  const RaisedException e = Single();
  ASSERT_EQ(e.frames.size(), 1u);
  EXPECT_EQ(e.frames[0].kind, FrameKind::OnException);
  EXPECT_TRUE(e.frames[0].handles);
  ExpectCompleteReport(e, "Exception hooktest::DerivedError: here", "hooktest::CatchInSameFunction()",
                       "efkOnException", "hooktest::CatchInSameFunction()");
}

TEST_F(ExceptionHookTest, ThrownPointerMatchesPointerToBase) {
  ASSERT_EQ(hooktest::CatchPointer(), 1);
  const RaisedException e = Single();
  EXPECT_EQ(e.className, QStringLiteral("hooktest::DerivedError*"));
  EXPECT_FALSE(e.isException);  // a pointer is no exception object
  ASSERT_EQ(e.frames.size(), 1u);
  EXPECT_TRUE(e.frames[0].handles);
  EXPECT_EQ(Lines(e)[1], "Exception hooktest::DerivedError*");
}

// A throw inside a shared library (libstdc++) goes through the hook as well.
TEST_F(ExceptionHookTest, ThrowInsideSharedLibraryIsReported) {
  ASSERT_EQ(hooktest::CatchFromLibrary(), 1);
  const RaisedException e = Single();
  EXPECT_EQ(e.className, QStringLiteral("std::out_of_range"));
  EXPECT_TRUE(e.message.contains(QStringLiteral("_M_range_check"))) << e.message.toStdString();
  ASSERT_FALSE(e.frames.empty());
  EXPECT_TRUE(e.frames.back().handles);
  const std::vector<std::string> lines = Lines(e);
  EXPECT_TRUE(Contains(lines[2], "Module \"libstdc++.so")) << lines[2];
  EXPECT_TRUE(Contains(lines[lines.size() - 2], "Procedure \"hooktest::CatchFromLibrary()")) << lines[lines.size() - 2];
}

TEST_F(ExceptionHookTest, ThrowsOnOtherThreadsAreReportedOnThatThread) {
  std::vector<std::thread> threads;
  std::atomic<int> caught{0};
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&caught] {
      for (int k = 0; k < 25; ++k) caught += hooktest::CatchBase();
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(caught.load(), 100);
  std::lock_guard lock(g_capturedMutex);
  ASSERT_EQ(g_captured.size(), 100u);
  for (const RaisedException& e : g_captured) {
    ASSERT_EQ(e.frames.size(), 3u);
    EXPECT_TRUE(e.frames[2].handles);
  }
}

// ---- Re-entrancy and registration ---------------------------------------------------

TEST_F(ExceptionHookTest, ThrowInsideTheNotifierIsNotReportedAgain) {
  std::atomic<int> calls{0};
  SetExceptionNotifier([&calls](const RaisedException&) {
    ++calls;
    try {
      throw std::logic_error("inside the notifier");
    } catch (const std::logic_error&) {
    }
  });
  EXPECT_EQ(hooktest::CatchBase(), 1);
  EXPECT_EQ(calls.load(), 1);
}

TEST_F(ExceptionHookTest, ExceptionEscapingTheNotifierDoesNotDisturbTheThrow) {
  SetExceptionNotifier([](const RaisedException&) { throw std::logic_error("escapes"); });
  try {
    hooktest::Thrower();
    FAIL() << "no exception";
  } catch (const DerivedError& e) {
    EXPECT_STREQ(e.what(), "boom");  // the original, not the notifier's
  }
}

TEST_F(ExceptionHookTest, NoReportWithoutNotifierOrTracking) {
  ClearExceptionNotifier();
  EXPECT_EQ(hooktest::CatchBase(), 1);
  EXPECT_TRUE(g_captured.empty());

  SetExceptionNotifier(Capture);
  DisableExceptionTracking();
  EXPECT_FALSE(ExceptionTrackingEnabled());
  EXPECT_EQ(hooktest::CatchBase(), 1);
  EXPECT_TRUE(g_captured.empty());
  EnableExceptionTracking();
  EXPECT_EQ(hooktest::CatchBase(), 1);
  EXPECT_EQ(g_captured.size(), 1u);
}

// ---- Exceptions nobody catches (in a child process, which ends) ---------------------

int g_reportFd = -1;

void WriteReport(const RaisedException& e) {
  for (const QString& line : FormatExceptionReport(e)) {
    const std::string text = line.toStdString() + "\n";
    [[maybe_unused]] ssize_t n = write(g_reportFd, text.data(), text.size());
  }
}

// Runs `scenario` in a child process whose std::terminate exits with 3, and
// returns the report lines the child produced.
std::vector<std::string> RunUntilTerminate(void (*scenario)(), int* exitCode) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    g_reportFd = fds[1];
    std::set_terminate([] { _exit(3); });
    SetExceptionNotifier(WriteReport);
    scenario();
    _exit(0);
  }
  close(fds[1]);
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fds[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  return lines;
}

// On a thread of its own no frame of the test framework catches it.
TEST_F(ExceptionHookTest, UnhandledExceptionListsEveryFrameWithoutHandler) {
  int exitCode = 0;
  const std::vector<std::string> lines =
      RunUntilTerminate([] { std::thread([] { hooktest::WithDestructor(); }).join(); }, &exitCode);
  EXPECT_EQ(exitCode, 3);
  ASSERT_GE(lines.size(), 8u);
  EXPECT_EQ(lines[1], "Exception hooktest::DerivedError: boom");
  const std::vector<std::string> frames = FrameLines(lines);
  ASSERT_FALSE(frames.empty());
  EXPECT_TRUE(Contains(frames[0], "(type: efkFinally)")) << frames[0];
  for (const std::string& frame : frames) {
    EXPECT_EQ(frame.back(), ')') << frame;
    EXPECT_FALSE(Contains(frame, "handles")) << frame;
  }
  for (const std::string& line : lines) EXPECT_FALSE(Contains(line, "Handler at")) << line;
  EXPECT_EQ(lines.back(), "");
}

TEST_F(ExceptionHookTest, NoexceptFunctionEndsTheDumpAsCompilerGeneratedHandler) {
  int exitCode = 0;
  const std::vector<std::string> lines = RunUntilTerminate([] { hooktest::NoexceptBarrier(); }, &exitCode);
  EXPECT_EQ(exitCode, 3);
  const std::vector<std::string> frames = FrameLines(lines);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_TRUE(Contains(frames[0], "(type: efkFinally)")) << frames[0];
  EXPECT_TRUE(Contains(frames[1], "(type: efkAutoException, handles exception)")) << frames[1];
  ASSERT_GE(lines.size(), 3u);
  EXPECT_TRUE(Contains(lines[lines.size() - 2], "Procedure \"hooktest::NoexceptBarrier()")) << lines[lines.size() - 2];
}

// ---- Report layout --------------------------------------------------------------------

TEST(ExceptionReport, LayoutGoldenLines) {
  RaisedException e;
  e.className = QStringLiteral("EFoo");
  e.isException = true;
  e.message = QStringLiteral("bad > %1 thing");
  e.address = 0x10;
  e.frames = {
      {FrameKind::Finally, 0x20, 0x30, 0x40, true},  // a cleanup never handles
      {FrameKind::OnException, 0x50, 0x60, 0x70, false},
      {FrameKind::Unknown, 0x80, 0x90, 0, false},
      {FrameKind::OnException, 0x7FFF00001234, 0xA0, 0xB0, true},
      {FrameKind::AnyException, 0xC0, 0xD0, 0xE0, true},  // beyond the handler: not listed
  };
  const std::string none = "Module \"\", Procedure \"\", Unit \"\", Line 0";
  const std::vector<std::string> expected = {
      "",
      "Exception EFoo: bad > %1 thing",
      "  Exception occured at $00000010 (" + none + ")",
      "  Except frame-dump:",
      "    Frame at $00000020 (type: efkFinally)",
      "      Code at $00000030",
      "      " + none,
      "    Frame at $00000050 (type: efkOnException)",
      "      Code at $00000060",
      "      " + none,
      "    Frame at $00000080 (type: efkUnknown)",
      "      Code at $00000090",
      "      " + none,
      "    Frame at $7FFF00001234 (type: efkOnException, handles exception)",
      "      Handler at $000000B0",
      "      " + none,
      "",
  };
  EXPECT_EQ(Lines(e), expected);
}

TEST(ExceptionReport, HeadlineVariants) {
  RaisedException plain;
  plain.className = QStringLiteral("int");
  EXPECT_EQ(Lines(plain)[1], "Exception int");
  RaisedException os;
  os.className = QStringLiteral("EAccessViolation");
  os.isException = true;
  os.message = QStringLiteral("Access violation");
  os.osException = true;
  EXPECT_EQ(Lines(os)[1], "Exception EAccessViolation: Access violation (OS Exception)");
  RaisedException empty;
  EXPECT_EQ(Lines(empty), (std::vector<std::string>{"", "Exception ",
                                                    "  Exception occured at $00000000 (Module \"\", Procedure \"\", "
                                                    "Unit \"\", Line 0)",
                                                    "  Except frame-dump:", ""}));
}

TEST(ExceptionReport, CompilerGeneratedAndCatchAllFramesHandleAtTheirAddress) {
  RaisedException e;
  e.frames = {{FrameKind::AutoException, 0x100, 0x200, 0x200, false}};
  std::vector<std::string> lines = Lines(e);
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[4], "    Frame at $00000100 (type: efkAutoException, handles exception)");
  EXPECT_EQ(lines[5], "      Handler at $00000200");
  e.frames = {{FrameKind::AnyException, 0x100, 0x200, 0, false}};
  lines = Lines(e);
  EXPECT_EQ(lines[4], "    Frame at $00000100 (type: efkAnyException, handles exception)");
  EXPECT_EQ(lines[5], "      Handler at $00000200");
}

TEST_F(ExceptionHookTest, LogExceptionWritesTheReportAsRecords) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  LogFile log;
  log.SetFileName(dir.filePath(QStringLiteral("error.log")));
  log.SetAutoSave(true);
  SetExceptionNotifier([&log](const RaisedException& e) {
    Capture(e);
    LogException(log, e);
  });
  ASSERT_EQ(hooktest::CatchBase(), 1);
  ClearExceptionNotifier();

  const std::vector<QString> expected = FormatExceptionReport(Single());
  LogFile reloaded;
  reloaded.SetFileName(dir.filePath(QStringLiteral("error.log")));
  ASSERT_EQ(reloaded.Count(), static_cast<qsizetype>(expected.size()));
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(reloaded.At(static_cast<qsizetype>(i)).title, expected[i]);
    EXPECT_EQ(reloaded.At(static_cast<qsizetype>(i)).severity, LogFile::Severity::Error);
    EXPECT_TRUE(reloaded.At(static_cast<qsizetype>(i)).description.isEmpty());
  }
}

// ---- Address resolution --------------------------------------------------------------

TEST(ResolveAddress, FunctionOfTheTestBinary) {
  const CodeLocation l = ResolveAddress(reinterpret_cast<quintptr>(&hooktest::ResolveTarget));
  EXPECT_EQ(l.module, QStringLiteral("test_exception_hook"));
  EXPECT_EQ(l.procedure, QStringLiteral("hooktest::ResolveTarget(int)"));
  EXPECT_EQ(l.unit, QStringLiteral("test_exception_hook.cpp"));
  EXPECT_GE(l.line, hooktest::kResolveTargetLine);
  EXPECT_LE(l.line, hooktest::kResolveTargetLine + 2);
}

TEST(ResolveAddress, UnknownAddressGivesEmptyFields) {
  for (quintptr address : {quintptr{0}, quintptr{1}, quintptr{0x1000}}) {
    const CodeLocation l = ResolveAddress(address);
    EXPECT_TRUE(l.module.isEmpty());
    EXPECT_TRUE(l.procedure.isEmpty());
    EXPECT_TRUE(l.unit.isEmpty());
    EXPECT_EQ(l.line, 0);
  }
}

TEST(ResolveAddress, LibraryOpenedAfterTheFirstLookup) {
  ASSERT_FALSE(ResolveAddress(reinterpret_cast<quintptr>(&hooktest::ResolveTarget)).module.isEmpty());
  void* library = dlopen("libQt6Network.so.6", RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  void* function = dlsym(library, "_ZN12QHostAddressC1Ev");  // QHostAddress::QHostAddress()
  ASSERT_NE(function, nullptr);
  const CodeLocation l = ResolveAddress(reinterpret_cast<quintptr>(function));
  EXPECT_TRUE(l.module.startsWith(QStringLiteral("libQt6Network.so"))) << l.module.toStdString();
  EXPECT_EQ(l.procedure, QStringLiteral("QHostAddress::QHostAddress()"));
  dlclose(library);
}

}  // namespace
