// The unwinding rule of one frame, computed from the call-frame information of the unwind tables.
// Private to the stack capture.
#ifndef SELFCHECK_STACK_CALL_FRAME_RULES_HPP
#define SELFCHECK_STACK_CALL_FRAME_RULES_HPP

#include <cstdint>

#if defined(__x86_64__) && defined(__linux__)
#define SELFCHECK_FAST_UNWIND 1
#else
#define SELFCHECK_FAST_UNWIND 0
#endif

#if SELFCHECK_FAST_UNWIND

namespace selfcheck::detail {

// How to unwind one frame, packed in 64 bits so that a cache slot holds it in one word.
struct Rule {
  std::int32_t cfa_offset;  // the canonical frame address is rsp or rbp plus this
  std::int16_t rbp_offset;  // where the caller's rbp is saved, from the CFA (when kRbpSaved)
  std::int8_t ra_offset;    // where the return address is, from the CFA
  std::uint8_t flags;
};
static_assert(sizeof(Rule) == sizeof(std::uint64_t));

constexpr std::uint8_t kKnown = 1;       // set in every rule, so that no rule packs to 0
constexpr std::uint8_t kCfaFromRbp = 2;  // the CFA is rbp + cfa_offset, not rsp + cfa_offset
constexpr std::uint8_t kRbpSaved = 4;    // the caller's rbp is at CFA + rbp_offset, else unchanged
constexpr std::uint8_t kOutermost = 8;   // no return address: the last frame of the stack
constexpr std::uint8_t kSlow = 16;       // this frame needs the general unwinder

constexpr Rule kSlowRule{0, 0, 0, kKnown | kSlow};

// The rule for the frame whose return address is `pc`, from the unwind tables; kSlowRule for a
// frame the walk does not model.
Rule computeRule(std::uintptr_t pc);

}  // namespace selfcheck::detail

#endif

#endif
