#pragma once
// The process-wide exception hook: every C++ exception raised in the process
// is reported to one notifier at the moment it is thrown, before any handler
// runs, together with the handler frames that were active at that moment.
//
// How it works: this library defines __cxa_throw, so every throw of the
// executable and of the shared libraries it loads (libstdc++, Qt, modules
// opened later) comes here first; the hook inspects the throw and then hands
// it to the C++ runtime's own __cxa_throw. The handler frames are found by
// walking the stack with the unwinder and reading each frame's
// language-specific data (the call-site and action tables the compiler emits
// for try/catch and destructors). Addresses are resolved from the program's
// own debug information through libdw.
//
// Not reported: "throw;" and std::rethrow_exception (no new exception is
// raised), and operating-system faults (SIGSEGV and the like never become C++
// exceptions on Linux, so RaisedException::osException is always false here).
//
// Threads: the notifier runs on the thread that throws; calls from several
// threads are serialised. A throw inside the notifier, or inside the hook's
// own work, is not reported again (thread-local guard), and whatever the
// notifier lets escape is swallowed so the original exception goes on.

#include <QString>
#include <QtGlobal>
#include <functional>
#include <vector>

class LogFile;

enum class FrameKind { AnyException, OnException, AutoException, Finally, Unknown };

// "efkAnyException", "efkOnException", "efkAutoException", "efkFinally",
// "efkUnknown".
QString FrameKindName(FrameKind kind);

// One frame that was ready to act on the exception when it was raised.
//   AnyException:  catch (...);
//   OnException:   typed catch clauses; handles when one of them catches the
//                  thrown type (the class, a base class, a convertible pointer);
//   AutoException: a compiler-generated barrier that ends the exception's way
//                  (the call site lies in a noexcept region: the runtime calls
//                  std::terminate here); it "handles" at the code address;
//   Finally:       destructors only;
//   Unknown:       unreadable tables or a dynamic "throw (...)" filter.
struct HandlerFrame {
  FrameKind kind = FrameKind::Unknown;
  quintptr frameAddress = 0;    // the frame's canonical frame address (CFA)
  quintptr codeAddress = 0;     // the frame's instruction pointer (a return address)
  quintptr handlerAddress = 0;  // the landing pad; codeAddress for AutoException
  bool handles = false;
};

struct RaisedException {
  QString className;       // demangled type of the thrown object
  bool isException = false;  // the thrown object derives from std::exception
  QString message;         // what(), when isException
  bool osException = false;  // always false on Linux
  quintptr address = 0;    // the return address of the throw's call into the runtime
  std::vector<HandlerFrame> frames;  // innermost first, up to the handling frame
};

using ExceptionNotifier = std::function<void(const RaisedException&)>;

// Switches inspection on. Before it (and after DisableExceptionTracking)
// throws pass straight to the runtime and the notifier is not called.
// Call it at program start, before any window.
void EnableExceptionTracking();
void DisableExceptionTracking();
bool ExceptionTrackingEnabled();

// Registers the one notifier, replacing any earlier one. Clearing waits for a
// notifier call running on another thread, so once ClearExceptionNotifier
// returns, whatever the notifier refers to may be destroyed.
void SetExceptionNotifier(ExceptionNotifier notifier);
void ClearExceptionNotifier();

// Where an address lies. Fields that cannot be resolved are empty or 0.
struct CodeLocation {
  QString module;     // file name of the executable or shared library
  QString procedure;  // demangled name of the function
  QString unit;       // file name of the source file
  int line = 0;
};

// Resolves an address of this process from the loaded modules' symbols and
// debug information. The list of modules is cached and read again when an
// address falls in no known module (a library opened since).
CodeLocation ResolveAddress(quintptr address);

// The record titles of one exception report, in order: "", the headline, the
// location, "  Except frame-dump:", three lines per frame up to and including
// the handling frame, "". doc/log_format.md has the exact layout.
std::vector<QString> FormatExceptionReport(const RaisedException& e);

// Adds the report to the log, one record per line, descriptions empty.
void LogException(LogFile& log, const RaisedException& e);
