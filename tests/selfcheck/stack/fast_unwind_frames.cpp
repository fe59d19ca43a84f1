// Built with -fno-omit-frame-pointer, unlike the rest of the test.
#include "fast_unwind_frames.hpp"

namespace fast_unwind_test {

[[gnu::noinline]] int levelFramePointer(const char* pattern, std::size_t at) {
  volatile int local = opaque(at);
  return descend(pattern, at + 1) + local;
}

[[gnu::noinline]] int levelRealigned(const char* pattern, std::size_t at) {
  alignas(64) volatile char aligned[64];
  aligned[0] = static_cast<char>(at);
  auto* variable =
      static_cast<volatile char*>(__builtin_alloca(static_cast<std::size_t>(opaque(at) % 16 + 1)));
  variable[0] = aligned[0];
  return descend(pattern, at + 1) + variable[0];
}

[[gnu::noinline]] int opaque(std::size_t value) {
  asm volatile("" : "+r"(value));
  return static_cast<int>(value);
}

}  // namespace fast_unwind_test

#if defined(__x86_64__)
// The inner frame keeps its caller's rsp and its return address on the new stack and says so:
// CFA = rsp + 24, return address at CFA - 8, caller's rsp at CFA - 16.
asm(R"(
  .text
  .p2align 4
  .type fastUnwindSwitchStack, @function
fastUnwindSwitchStack:
  .cfi_startproc
  lea 8(%rsp), %rax
  mov (%rsp), %rcx
  lea -32(%rsi), %rsp
  mov %rax, 8(%rsp)
  mov %rcx, 16(%rsp)
  .cfi_def_cfa %rsp, 24
  .cfi_offset %rsp, -16
  call *%rdi
  mov 16(%rsp), %rdx
  mov 8(%rsp), %rsp
  .cfi_def_cfa %rsp, 0
  jmp *%rdx
  .cfi_endproc
  .size fastUnwindSwitchStack, .-fastUnwindSwitchStack

  .globl fastUnwindOnOtherStack
  .type fastUnwindOnOtherStack, @function
fastUnwindOnOtherStack:
  .cfi_startproc
  sub $8, %rsp
  .cfi_def_cfa_offset 16
  call fastUnwindSwitchStack
  add $8, %rsp
  .cfi_def_cfa_offset 8
  ret
  .cfi_endproc
  .size fastUnwindOnOtherStack, .-fastUnwindOnOtherStack
)");
#endif
