#include "app/exception_hook.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <elfutils/libdwfl.h>
#include <unistd.h>
#include <unwind.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <typeinfo>

#include "app/log_file.h"

// The unwinder's own FDE lookup (libgcc), used to find a frame's personality
// routine; it is exported but declared in no installed header.
extern "C" {
struct LintroveEhBases {
  void* tbase;
  void* dbase;
  void* func;
};
const void* _Unwind_Find_FDE(void* pc, LintroveEhBases* bases);
}

namespace {

using ThrowFn = void (*)(void*, std::type_info*, void (*)(void*));

constinit std::atomic<bool> g_tracking{false};
constinit std::atomic<bool> g_hasNotifier{false};
// Set while this thread is inside the hook (or resolving an address): a throw
// then passes straight to the runtime.
constinit thread_local bool t_inHook = false;
constinit thread_local bool t_resolving = false;

// Never destroyed: a throw during static destruction must still find it.
struct NotifierState {
  std::recursive_mutex mutex;  // serialises notifier calls; Clear waits for them
  std::shared_ptr<const ExceptionNotifier> notifier;
};
NotifierState& Notifiers() {
  static auto* state = new NotifierState;
  return *state;
}

ThrowFn RealThrow() {
  static constinit std::atomic<ThrowFn> real{nullptr};
  ThrowFn fn = real.load(std::memory_order_acquire);
  if (fn == nullptr) {
    fn = reinterpret_cast<ThrowFn>(dlsym(RTLD_NEXT, "__cxa_throw"));
    if (fn == nullptr) std::abort();  // no C++ runtime behind us: nothing can be thrown
    real.store(fn, std::memory_order_release);
  }
  return fn;
}

QString Demangle(const char* name) {
  if (name == nullptr || *name == '\0') return {};
  int status = 0;
  char* demangled = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  if (status != 0 || demangled == nullptr) return QString::fromUtf8(name);
  QString result = QString::fromUtf8(demangled);
  std::free(demangled);
  return result;
}

// ---------------------------------------------------------------------------
// DWARF pointer encodings (as used by .eh_frame and .gcc_except_table)

constexpr uint8_t kEncOmit = 0xff;
constexpr uint8_t kEncIndirect = 0x80;

struct EncodingBases {
  quintptr text = 0;
  quintptr data = 0;
  quintptr func = 0;
};

// A LEB128 number; `shift` ends as the count of bits read and `last` as the
// last byte, which the signed form needs for its sign.
uint64_t ReadLeb(const uint8_t*& p, unsigned& shift, uint8_t& last) {
  uint64_t result = 0;
  shift = 0;
  do {
    last = *p++;
    if (shift < 64) result |= static_cast<uint64_t>(last & 0x7f) << shift;
    shift += 7;
  } while (last & 0x80);
  return result;
}

uint64_t ReadUleb(const uint8_t*& p) {
  unsigned shift;
  uint8_t last;
  return ReadLeb(p, shift, last);
}

int64_t ReadSleb(const uint8_t*& p) {
  unsigned shift;
  uint8_t last;
  uint64_t result = ReadLeb(p, shift, last);
  if (shift < 64 && (last & 0x40)) result |= ~uint64_t{0} << shift;
  return static_cast<int64_t>(result);
}

template <typename T>
T Load(const uint8_t*& p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  p += sizeof v;
  return v;
}

// Size of a value of a fixed-size encoding; 0 for the variable-size ones.
size_t EncodedSize(uint8_t encoding) {
  switch (encoding & 0x0f) {
    case 0x00: return sizeof(void*);
    case 0x02: case 0x0a: return 2;
    case 0x03: case 0x0b: return 4;
    case 0x04: case 0x0c: return 8;
    default: return 0;
  }
}

// Reads one encoded pointer. As the runtime does, a zero value is not
// relocated (a null type entry means catch (...)).
bool ReadEncoded(uint8_t encoding, const uint8_t*& p, const EncodingBases& bases, quintptr& out) {
  if (encoding == kEncOmit) return false;
  const uint8_t* const at = p;
  uint64_t value;
  switch (encoding & 0x0f) {
    case 0x00: value = Load<uintptr_t>(p); break;
    case 0x01: value = ReadUleb(p); break;
    case 0x02: value = Load<uint16_t>(p); break;
    case 0x03: value = Load<uint32_t>(p); break;
    case 0x04: value = Load<uint64_t>(p); break;
    case 0x09: value = static_cast<uint64_t>(ReadSleb(p)); break;
    case 0x0a: value = static_cast<uint64_t>(static_cast<int64_t>(Load<int16_t>(p))); break;
    case 0x0b: value = static_cast<uint64_t>(static_cast<int64_t>(Load<int32_t>(p))); break;
    case 0x0c: value = Load<uint64_t>(p); break;
    default: return false;
  }
  if (value != 0) {
    switch (encoding & 0x70) {
      case 0x00: break;
      case 0x10: value += reinterpret_cast<quintptr>(at); break;
      case 0x20: value += bases.text; break;
      case 0x30: value += bases.data; break;
      case 0x40: value += bases.func; break;
      default: return false;  // aligned: never used in exception tables
    }
    if (encoding & kEncIndirect) value = *reinterpret_cast<const uintptr_t*>(value);
  }
  out = static_cast<quintptr>(value);
  return true;
}

// ---------------------------------------------------------------------------
// Personality of a frame

enum class Personality { Cxx, C, Other, Unreadable };

quintptr SymbolAddress(const char* name) { return reinterpret_cast<quintptr>(dlsym(RTLD_DEFAULT, name)); }

// The personality routine named by the CIE of the frame's FDE. Only the C++
// routine gives the tables their C++ meaning (catch clauses, and std::terminate
// for a call site missing from the table); C's knows cleanups only.
Personality FramePersonality(quintptr pc) {
  LintroveEhBases eh{};
  const auto* fde = static_cast<const uint8_t*>(_Unwind_Find_FDE(reinterpret_cast<void*>(pc), &eh));
  if (fde == nullptr) return Personality::Unreadable;
  const uint8_t* p = fde;
  if (Load<uint32_t>(p) == 0xffffffffu) p += 8;
  const uint8_t* cieField = p;
  const uint32_t ciePointer = Load<uint32_t>(p);
  const uint8_t* cie = cieField - ciePointer;

  p = cie;
  if (Load<uint32_t>(p) == 0xffffffffu) p += 8;
  p += 4;  // CIE id
  const uint8_t version = *p++;
  const char* augmentation = reinterpret_cast<const char*>(p);
  p += std::strlen(augmentation) + 1;
  if (augmentation[0] != 'z') return Personality::Unreadable;
  ReadUleb(p);  // code alignment
  ReadSleb(p);  // data alignment
  if (version == 1)
    ++p;  // return-address register
  else
    ReadUleb(p);
  ReadUleb(p);  // augmentation data length

  const EncodingBases bases{reinterpret_cast<quintptr>(eh.tbase), reinterpret_cast<quintptr>(eh.dbase),
                            reinterpret_cast<quintptr>(eh.func)};
  for (const char* a = augmentation + 1; *a != '\0'; ++a) {
    switch (*a) {
      case 'P': {
        const uint8_t encoding = *p++;
        quintptr routine = 0;
        if (!ReadEncoded(encoding, p, bases, routine)) return Personality::Unreadable;
        static const quintptr cxx = SymbolAddress("__gxx_personality_v0");
        static const quintptr c = SymbolAddress("__gcc_personality_v0");
        if (routine != 0 && routine == cxx) return Personality::Cxx;
        if (routine != 0 && routine == c) return Personality::C;
        return Personality::Other;
      }
      case 'L':
      case 'R':
        ++p;
        break;
      case 'S':
      case 'B':
        break;
      default:
        return Personality::Unreadable;
    }
  }
  return Personality::Unreadable;
}

// ---------------------------------------------------------------------------
// Handler frames from the language-specific data area

struct Thrown {
  const std::type_info* type;
  void* object;
};

// What one catch clause's type does with the thrown object. A pointer is
// matched by its value, as the runtime matches it.
bool Catches(const std::type_info* catchType, const Thrown& thrown) {
  void* object = thrown.object;
  if (thrown.type->__is_pointer_p()) object = *static_cast<void**>(object);
  return catchType->__do_catch(thrown.type, &object, 1);
}

constexpr int kMaxActions = 256;

// Reads the frame's call-site table for `pc` (the address of the call) and
// the action chain of its entry. Returns nothing for a frame that takes no
// part in handling this exception.
std::optional<HandlerFrame> AnalyseFrame(_Unwind_Context* context, const uint8_t* lsda, quintptr pc,
                                         const Thrown& thrown) {
  const Personality personality = FramePersonality(pc);
  HandlerFrame frame;
  if (personality == Personality::Other) {
    frame.kind = FrameKind::Unknown;  // tables of another language
    return frame;
  }

  const quintptr regionStart = _Unwind_GetRegionStart(context);
  const EncodingBases bases{_Unwind_GetTextRelBase(context), _Unwind_GetDataRelBase(context), regionStart};
  const uint8_t* p = lsda;

  quintptr lpStart = regionStart;
  const uint8_t lpEncoding = *p++;
  if (lpEncoding != kEncOmit && !ReadEncoded(lpEncoding, p, bases, lpStart)) {
    frame.kind = FrameKind::Unknown;
    return frame;
  }
  const uint8_t ttEncoding = *p++;
  const uint8_t* typeTable = nullptr;
  if (ttEncoding != kEncOmit) {
    const uint64_t offset = ReadUleb(p);
    typeTable = p + offset;
  }
  const uint8_t csEncoding = *p++;
  const uint64_t csLength = ReadUleb(p);
  const uint8_t* const actionTable = p + csLength;

  bool found = false;
  quintptr landingPad = 0;
  uint64_t action = 0;
  while (p < actionTable) {
    quintptr start = 0, length = 0, pad = 0;
    if (!ReadEncoded(csEncoding, p, {}, start) || !ReadEncoded(csEncoding, p, {}, length) ||
        !ReadEncoded(csEncoding, p, {}, pad)) {
      frame.kind = FrameKind::Unknown;
      return frame;
    }
    const uint64_t entryAction = ReadUleb(p);
    if (pc < regionStart + start) break;  // the table is sorted
    if (pc < regionStart + start + length) {
      found = true;
      landingPad = pad != 0 ? lpStart + pad : 0;
      action = entryAction;
      break;
    }
  }

  if (!found) {
    // For C++ a call site missing from the table is a noexcept region: the
    // runtime ends the exception's way here with std::terminate.
    if (personality != Personality::Cxx) return std::nullopt;
    frame.kind = FrameKind::AutoException;
    frame.handles = true;
    return frame;  // handler address: the code address, filled in by the caller
  }
  if (landingPad == 0) return std::nullopt;
  frame.handlerAddress = landingPad;
  if (personality == Personality::C || action == 0) {
    frame.kind = FrameKind::Finally;
    return frame;
  }

  bool typed = false;
  bool throwList = false;  // a dynamic "throw (...)" filter
  const uint8_t* record = actionTable + action - 1;
  for (int steps = 0; steps < kMaxActions; ++steps) {
    const int64_t filter = ReadSleb(record);
    const uint8_t* displacementAt = record;
    const int64_t displacement = ReadSleb(record);
    if (filter > 0) {
      const size_t size = EncodedSize(ttEncoding);
      if (typeTable == nullptr || size == 0) {
        frame.kind = FrameKind::Unknown;
        return frame;
      }
      const uint8_t* entry = typeTable - static_cast<uint64_t>(filter) * size;
      quintptr typeAddress = 0;
      if (!ReadEncoded(ttEncoding, entry, bases, typeAddress)) {
        frame.kind = FrameKind::Unknown;
        return frame;
      }
      const auto* catchType = reinterpret_cast<const std::type_info*>(typeAddress);
      if (catchType == nullptr) {
        frame.kind = FrameKind::AnyException;
        frame.handles = true;
        return frame;
      }
      typed = true;
      if (Catches(catchType, thrown)) {
        frame.kind = FrameKind::OnException;
        frame.handles = true;
        return frame;
      }
    } else if (filter < 0) {
      throwList = true;
    }
    if (displacement == 0) break;
    record = displacementAt + displacement;
  }
  frame.kind = throwList ? FrameKind::Unknown : typed ? FrameKind::OnException : FrameKind::Finally;
  return frame;
}

constexpr int kMaxFrames = 4096;

struct Walk {
  quintptr throwSite;  // return address of the call into __cxa_throw
  Thrown thrown;
  std::vector<HandlerFrame>* frames;
  bool started = false;
  int walked = 0;
};

_Unwind_Reason_Code VisitFrame(_Unwind_Context* context, void* argument) {
  auto* walk = static_cast<Walk*>(argument);
  int beforeInsn = 0;
  const quintptr ip = _Unwind_GetIPInfo(context, &beforeInsn);
  if (!walk->started) {
    // The hook's own frames come first.
    if (ip != walk->throwSite) return _URC_NO_REASON;
    walk->started = true;
  }
  if (++walk->walked > kMaxFrames) return _URC_END_OF_STACK;
  const auto* lsda = static_cast<const uint8_t*>(_Unwind_GetLanguageSpecificData(context));
  if (lsda == nullptr) return _URC_NO_REASON;

  const quintptr pc = beforeInsn ? ip : ip - 1;
  std::optional<HandlerFrame> frame = AnalyseFrame(context, lsda, pc, walk->thrown);
  if (!frame) return _URC_NO_REASON;
  frame->frameAddress = _Unwind_GetCFA(context);
  frame->codeAddress = ip;
  if (frame->kind == FrameKind::AutoException) frame->handlerAddress = ip;
  try {
    walk->frames->push_back(*frame);
  } catch (...) {
    return _URC_END_OF_STACK;
  }
  return frame->handles ? _URC_END_OF_STACK : _URC_NO_REASON;
}

void Notify(const RaisedException& e) {
  NotifierState& state = Notifiers();
  std::lock_guard lock(state.mutex);
  const std::shared_ptr<const ExceptionNotifier> notifier = state.notifier;
  if (notifier && *notifier) (*notifier)(e);
}

__attribute__((noinline)) void ReportThrow(void* object, std::type_info* type, quintptr site) noexcept {
  try {
    RaisedException e;
    e.address = site;
    e.className = Demangle(type->name());
    void* adjusted = object;
    if (typeid(std::exception).__do_catch(type, &adjusted, 1)) {
      e.isException = true;
      e.message = QString::fromUtf8(static_cast<const std::exception*>(adjusted)->what());
    }
    Walk walk{site, Thrown{type, object}, &e.frames};
    _Unwind_Backtrace(VisitFrame, &walk);
    Notify(e);
  } catch (...) {
    // Nothing may stop the original exception.
  }
}

// ---------------------------------------------------------------------------
// Address resolution

// Separate debug files are looked up locally only: resolving happens while an
// exception is being raised, which is no time to ask a debuginfod server.
int FindDebuginfo(Dwfl_Module* module, void** userdata, const char* moduleName, Dwarf_Addr base,
                  const char* fileName, const char* debuglinkFile, GElf_Word debuglinkCrc,
                  char** debuginfoFileName) {
  const char* urls = std::getenv("DEBUGINFOD_URLS");
  if (urls != nullptr && *urls != '\0') return -1;
  return dwfl_standard_find_debuginfo(module, userdata, moduleName, base, fileName, debuglinkFile,
                                      debuglinkCrc, debuginfoFileName);
}

char* g_debuginfoPath = nullptr;
const Dwfl_Callbacks kCallbacks = {
    .find_elf = dwfl_linux_proc_find_elf,
    .find_debuginfo = FindDebuginfo,
    .section_address = nullptr,
    .debuginfo_path = &g_debuginfoPath,
};

struct Resolver {
  std::mutex mutex;
  Dwfl* dwfl = nullptr;
  pid_t pid = 0;
};
Resolver& GetResolver() {
  static auto* resolver = new Resolver;
  return *resolver;
}

// REQUIRES: resolver.mutex held.
void ReportModules(Resolver& resolver) {
  const pid_t pid = getpid();
  if (resolver.dwfl != nullptr && resolver.pid != pid) {  // a forked child
    dwfl_end(resolver.dwfl);
    resolver.dwfl = nullptr;
  }
  if (resolver.dwfl == nullptr) resolver.dwfl = dwfl_begin(&kCallbacks);
  if (resolver.dwfl == nullptr) return;
  resolver.pid = pid;
  dwfl_report_begin(resolver.dwfl);
  dwfl_linux_proc_report(resolver.dwfl, pid);
  dwfl_report_end(resolver.dwfl, nullptr, nullptr);
}

// GCC moves the unlikely part of a function (often its throw and its
// handlers) into a piece of its own, "name.cold"; it is still that function.
void StripColdPart(std::string& symbol) {
  const size_t cold = symbol.rfind(".cold");
  if (cold == std::string::npos || cold == 0) return;
  const size_t rest = cold + 5;
  if (rest == symbol.size() ||
      (symbol[rest] == '.' && rest + 1 < symbol.size() &&
       symbol.find_first_not_of("0123456789", rest + 1) == std::string::npos))
    symbol.erase(cold);
}

QString BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return QString::fromStdString(slash == std::string::npos ? path : path.substr(slash + 1));
}

QString Address(quintptr address) {
  return QString::number(static_cast<qulonglong>(address), 16).toUpper().rightJustified(8, u'0');
}

QString LocationText(const CodeLocation& l) {
  return QStringLiteral("Module \"") + l.module + QStringLiteral("\", Procedure \"") + l.procedure +
         QStringLiteral("\", Unit \"") + l.unit + QStringLiteral("\", Line ") + QString::number(l.line);
}

// A return address belongs to the instruction after the call; the call itself
// is one byte earlier.
CodeLocation ResolveReturnAddress(quintptr address) {
  return address == 0 ? CodeLocation{} : ResolveAddress(address - 1);
}

}  // namespace

// ---------------------------------------------------------------------------
// The hook on the throw path

// Declared by <cxxabi.h> in the runtime's namespace; defined here with the
// same C name, so the executable's definition comes first in symbol lookup.
namespace __cxxabiv1 {
extern "C" __attribute__((noreturn)) void __cxa_throw(void* object, std::type_info* type, void (*destructor)(void*)) {
  const auto site = reinterpret_cast<quintptr>(__builtin_return_address(0));
  if (g_tracking.load(std::memory_order_relaxed) && g_hasNotifier.load(std::memory_order_acquire) &&
      !t_inHook) {
    t_inHook = true;
    ReportThrow(object, type, site);
    t_inHook = false;
  }
  RealThrow()(object, type, destructor);
  std::abort();  // the runtime's __cxa_throw does not return
}
}  // namespace __cxxabiv1

void EnableExceptionTracking() {
  RealThrow();  // resolve before the first throw needs it
  g_tracking.store(true, std::memory_order_release);
}

void DisableExceptionTracking() { g_tracking.store(false, std::memory_order_release); }

bool ExceptionTrackingEnabled() { return g_tracking.load(std::memory_order_acquire); }

void SetExceptionNotifier(ExceptionNotifier notifier) {
  auto shared = notifier ? std::make_shared<const ExceptionNotifier>(std::move(notifier)) : nullptr;
  NotifierState& state = Notifiers();
  std::lock_guard lock(state.mutex);
  state.notifier = std::move(shared);
  g_hasNotifier.store(state.notifier != nullptr, std::memory_order_release);
}

void ClearExceptionNotifier() { SetExceptionNotifier(nullptr); }

QString FrameKindName(FrameKind kind) {
  switch (kind) {
    case FrameKind::AnyException: return QStringLiteral("efkAnyException");
    case FrameKind::OnException: return QStringLiteral("efkOnException");
    case FrameKind::AutoException: return QStringLiteral("efkAutoException");
    case FrameKind::Finally: return QStringLiteral("efkFinally");
    case FrameKind::Unknown: break;
  }
  return QStringLiteral("efkUnknown");
}

CodeLocation ResolveAddress(quintptr address) {
  CodeLocation location;
  // A throw while resolving (out of memory) would come back here through the
  // notifier on the same thread.
  if (address == 0 || t_resolving) return location;
  t_resolving = true;
  std::string module, symbol, source;
  int line = 0;
  try {
    Resolver& resolver = GetResolver();
    std::lock_guard lock(resolver.mutex);
    if (resolver.dwfl == nullptr || resolver.pid != getpid()) ReportModules(resolver);
    if (resolver.dwfl != nullptr) {
      Dwfl_Module* mod = dwfl_addrmodule(resolver.dwfl, address);
      if (mod == nullptr) {  // a library loaded since the last report
        ReportModules(resolver);
        if (resolver.dwfl != nullptr) mod = dwfl_addrmodule(resolver.dwfl, address);
      }
      if (mod != nullptr) {
        if (const char* name = dwfl_module_info(mod, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr))
          module = name;
        GElf_Off offset = 0;
        GElf_Sym sym;
        if (const char* name = dwfl_module_addrinfo(mod, address, &offset, &sym, nullptr, nullptr, nullptr))
          symbol = name;
        if (Dwfl_Line* row = dwfl_module_getsrc(mod, address)) {
          if (const char* file = dwfl_lineinfo(row, nullptr, &line, nullptr, nullptr, nullptr)) source = file;
        }
      }
    }
    location.module = BaseName(module);
    StripColdPart(symbol);
    location.procedure = Demangle(symbol.c_str());
    location.unit = BaseName(source);
    location.line = line;
  } catch (...) {
    location = CodeLocation{};
  }
  t_resolving = false;
  return location;
}

std::vector<QString> FormatExceptionReport(const RaisedException& e) {
  std::vector<QString> lines;
  lines.emplace_back();

  QString headline = QStringLiteral("Exception ") + e.className;
  if (e.isException) headline += QStringLiteral(": ") + e.message;
  if (e.osException) headline += QStringLiteral(" (OS Exception)");
  lines.push_back(headline);

  lines.push_back(QStringLiteral("  Exception occured at $") + Address(e.address) + QStringLiteral(" (") +
                  LocationText(ResolveReturnAddress(e.address)) + QStringLiteral(")"));
  lines.push_back(QStringLiteral("  Except frame-dump:"));

  for (const HandlerFrame& frame : e.frames) {
    bool handles = false;
    switch (frame.kind) {
      case FrameKind::AnyException:
      case FrameKind::AutoException: handles = true; break;
      case FrameKind::OnException: handles = frame.handles; break;
      case FrameKind::Finally:
      case FrameKind::Unknown: handles = false; break;
    }
    const quintptr location = handles && frame.handlerAddress != 0 ? frame.handlerAddress : frame.codeAddress;
    lines.push_back(QStringLiteral("    Frame at $") + Address(frame.frameAddress) + QStringLiteral(" (type: ") +
                    FrameKindName(frame.kind) +
                    (handles ? QStringLiteral(", handles exception)") : QStringLiteral(")")));
    lines.push_back((handles ? QStringLiteral("      Handler at $") : QStringLiteral("      Code at $")) +
                    Address(location));
    // A landing pad is the first instruction of the handler; the code address
    // is a return address.
    const CodeLocation where =
        location == frame.codeAddress ? ResolveReturnAddress(location) : ResolveAddress(location);
    lines.push_back(QStringLiteral("      ") + LocationText(where));
    if (handles) break;
  }

  lines.emplace_back();
  return lines;
}

void LogException(LogFile& log, const RaisedException& e) {
  log.AddTitles(FormatExceptionReport(e));
}
