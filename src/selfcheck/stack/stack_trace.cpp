#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <dlfcn.h>
#include <iterator>
#include <unwind.h>

#include <selfcheck/stack/stack_trace.hpp>
#include <selfcheck/writer/number_text.hpp>

// NEMRA_HAVE_LIBBACKTRACE is set by the build when it links GCC's libbacktrace.
#if defined(NEMRA_HAVE_LIBBACKTRACE) && __has_include(<backtrace.h>)
#include <backtrace.h>
#define SELFCHECK_HAVE_LIBBACKTRACE 1
#else
#define SELFCHECK_HAVE_LIBBACKTRACE 0
#endif

namespace selfcheck {
namespace {

struct CaptureState {
  void** out;
  std::size_t capacity;
  std::size_t skip;
  std::size_t count;
};

_Unwind_Reason_Code captureOne(_Unwind_Context* context, void* data) {
  auto* state = static_cast<CaptureState*>(data);
  int before_instruction = 0;
  std::uintptr_t pc = _Unwind_GetIPInfo(context, &before_instruction);
  if (pc == 0) return _URC_END_OF_STACK;
  // A return address points after the call; step back into it. The frame a signal interrupted
  // already holds the address of the faulting instruction.
  if (before_instruction == 0) --pc;
  if (state->skip > 0) {
    --state->skip;
    return _URC_NO_REASON;
  }
  if (state->count >= state->capacity) return _URC_END_OF_STACK;
  state->out[state->count++] = reinterpret_cast<void*>(pc);
  return _URC_NO_REASON;
}

// One line of a rendered trace, built in a fixed buffer (names longer than the buffer are cut).
class LineBuffer {
 public:
  void clear() { size_ = 0; }
  void append(std::string_view text) {
    std::size_t n = std::min(text.size(), sizeof data_ - size_);
    std::memcpy(data_ + size_, text.data(), n);
    size_ += n;
  }
  void appendHex(std::uintptr_t value, std::size_t min_digits) {
    append("0x");
    append(hexDigits(value, min_digits).view());
  }
  void appendDecimal(std::size_t value) { append(decimalDigits(value).view()); }
  // A symbol name, demangled when it is a mangled C++ name and `demangle` is set.
  void appendFunction(const char* name, bool demangle) {
    int status = -1;
    char* demangled = demangle && name[0] == '_' && name[1] == 'Z'
                          ? abi::__cxa_demangle(name, nullptr, nullptr, &status)
                          : nullptr;
    append(status == 0 && demangled != nullptr ? demangled : name);
    std::free(demangled);
  }
  std::string_view view() const { return {data_, size_}; }

 private:
  char data_[1024];
  std::size_t size_ = 0;
};

struct RenderState {
  LineSink sink;
  void* context;
  std::size_t number;  // next frame number
  std::uintptr_t pc;
  bool demangle;
  LineBuffer line;
};

void beginLine(RenderState& state) {
  state.line.clear();
  state.line.append("    #");
  state.line.appendDecimal(state.number++);
  state.line.append(" ");
  state.line.appendHex(state.pc, 16);
  state.line.append(" in ");
}

void endLine(RenderState& state) { state.sink(state.context, state.line.view()); }

// What is known of one frame. The strings are copied out of the callbacks that report them.
struct FrameInfo {
  struct Level {
    char function[512];
    char file[512];
    int line;
  };
  // From debug information, innermost first: the inlined calls, then the function itself.
  Level levels[8];
  std::size_t level_count = 0;
  // From the symbol table.
  char symbol[512];
  bool have_symbol = false;
  std::uintptr_t symbol_address = 0;
};

void copyText(char (&out)[512], const char* text) {
  std::size_t n = std::min(std::strlen(text), sizeof out - 1);
  std::memcpy(out, text, n);
  out[n] = '\0';
}

// The symbol table (through dladdr when libbacktrace has none): function name and offset, and the
// module the frame is in.
void renderFromSymbols(RenderState& state, const FrameInfo& info) {
  beginLine(state);
  Dl_info module{};
  const bool have_module = ::dladdr(reinterpret_cast<void*>(state.pc), &module) != 0;
  const char* symbol = info.have_symbol ? info.symbol : nullptr;
  std::uintptr_t symbol_address = info.symbol_address;
  if (symbol == nullptr && have_module && module.dli_sname != nullptr) {
    symbol = module.dli_sname;
    symbol_address = reinterpret_cast<std::uintptr_t>(module.dli_saddr);
  }
  if (symbol != nullptr) {
    state.line.appendFunction(symbol, state.demangle);
    state.line.append("+");
    state.line.appendHex(state.pc - symbol_address, 1);
  } else {
    state.line.append("??");
  }
  if (have_module && module.dli_fname != nullptr) {
    state.line.append(" (");
    state.line.append(module.dli_fname);
    state.line.append("+");
    state.line.appendHex(state.pc - reinterpret_cast<std::uintptr_t>(module.dli_fbase), 1);
    state.line.append(")");
  }
  endLine(state);
}

// One line for each level that debug information gives. The function itself is named from the
// symbol table when it has it: debug information names a function of an anonymous namespace
// without its scope and parameters, the (demangled) symbol does not.
void renderFromDebugInfo(RenderState& state, const FrameInfo& info) {
  for (std::size_t i = 0; i < info.level_count; ++i) {
    const FrameInfo::Level& level = info.levels[i];
    beginLine(state);
    const bool outermost = i + 1 == info.level_count;
    state.line.appendFunction(outermost && info.have_symbol ? info.symbol : level.function,
                              state.demangle);
    if (level.file[0] != '\0') {
      state.line.append(" at ");
      state.line.append(level.file);
      state.line.append(":");
      state.line.appendDecimal(static_cast<std::size_t>(level.line));
    }
    endLine(state);
  }
}

#if SELFCHECK_HAVE_LIBBACKTRACE

void ignoreError(void*, const char*, int) {}

backtrace_state* libbacktraceState() {
  static backtrace_state* state = backtrace_create_state(nullptr, 1, ignoreError, nullptr);
  return state;
}

int addLevel(void* data, std::uintptr_t, const char* filename, int lineno, const char* function) {
  auto& info = *static_cast<FrameInfo*>(data);
  if (function == nullptr || info.level_count == std::size(info.levels)) return 0;
  FrameInfo::Level& level = info.levels[info.level_count++];
  copyText(level.function, function);
  copyText(level.file, filename != nullptr ? filename : "");
  level.line = lineno;
  return 0;
}

void addSymbol(void* data, std::uintptr_t, const char* symbol, std::uintptr_t value,
               std::uintptr_t) {
  auto& info = *static_cast<FrameInfo*>(data);
  if (symbol == nullptr) return;
  copyText(info.symbol, symbol);
  info.have_symbol = true;
  info.symbol_address = value;
}

void describe(std::uintptr_t pc, FrameInfo& info) {
  backtrace_state* bt = libbacktraceState();
  if (bt == nullptr) return;
  backtrace_pcinfo(bt, pc, addLevel, ignoreError, &info);
  backtrace_syminfo(bt, pc, addSymbol, ignoreError, &info);
}

#else

void describe(std::uintptr_t, FrameInfo&) {}

#endif

void renderFrame(RenderState& state) {
  FrameInfo info;
  describe(state.pc, info);
  if (info.level_count > 0) {
    renderFromDebugInfo(state, info);
  } else {
    renderFromSymbols(state, info);
  }
}

void appendLine(void* context, std::string_view line) {
  auto& out = *static_cast<std::string*>(context);
  out += line;
  out += '\n';
}

}  // namespace

[[gnu::noinline]] std::size_t captureFrames(void** out, std::size_t capacity, std::size_t skip) {
  CaptureState state{out, capacity, skip + 1, 0};  // +1: this function's own frame
  _Unwind_Backtrace(captureOne, &state);
  return state.count;
}

StackTrace captureStackTrace(std::size_t skip) {
  StackTrace trace;
  trace.count = captureFrames(trace.frames.data(), kStackTraceFrames, skip + 1);
  return trace;
}

void initStackTraces() {
  // The state is cheap to create; the executable's debug information is read on first use (at
  // the first trace rendered), which can take a noticeable time for a large program and so is not
  // done at start-up. Unwinding once loads what the unwinder needs before any signal handler
  // might.
#if SELFCHECK_HAVE_LIBBACKTRACE
  (void)libbacktraceState();
#endif
  void* frame = nullptr;
  (void)captureFrames(&frame, 1, 0);
}

void renderFrames(void* const* frames, std::size_t count, LineSink sink, void* context,
                  Demangle demangle) {
  RenderState state{};
  state.sink = sink;
  state.context = context;
  state.demangle = demangle == Demangle::yes;
  for (std::size_t i = 0; i < count; ++i) {
    state.pc = reinterpret_cast<std::uintptr_t>(frames[i]);
    renderFrame(state);
  }
}

std::string renderFrames(void* const* frames, std::size_t count) {
  std::string out;
  renderFrames(frames, count, appendLine, &out);
  return out;
}

}  // namespace selfcheck
