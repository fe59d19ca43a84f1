#include <cstddef>
#include <limits>

#include <selfcheck/stack/call_frame_rules.hpp>

#if SELFCHECK_FAST_UNWIND

// The unwinder's lookup of the frame description entry covering `pc` (exported by libgcc).
struct SelfcheckEhBases {
  void* tbase;
  void* dbase;
  void* func;
};
extern "C" const void* _Unwind_Find_FDE(void* pc, SelfcheckEhBases* bases);
namespace selfcheck::detail {
namespace {

// DWARF register numbers on x86-64.
constexpr std::uint64_t kRbp = 6;
constexpr std::uint64_t kRsp = 7;
constexpr std::uint64_t kReturnAddress = 16;
// The call-frame instructions of DWARF's unwind tables, by their opcodes. The first three
// carry an operand in the low six bits of their opcode byte.
enum class CallFrameOp : std::uint8_t {
  advanceLoc = 0x40,                 // DW_CFA_advance_loc
  offset = 0x80,                     // DW_CFA_offset
  restore = 0xc0,                    // DW_CFA_restore
  nop = 0x00,                        // DW_CFA_nop
  setLoc = 0x01,                     // DW_CFA_set_loc
  advanceLoc1 = 0x02,                // DW_CFA_advance_loc1
  advanceLoc2 = 0x03,                // DW_CFA_advance_loc2
  advanceLoc4 = 0x04,                // DW_CFA_advance_loc4
  offsetExtended = 0x05,             // DW_CFA_offset_extended
  restoreExtended = 0x06,            // DW_CFA_restore_extended
  undefined = 0x07,                  // DW_CFA_undefined
  sameValue = 0x08,                  // DW_CFA_same_value
  registerRule = 0x09,               // DW_CFA_register
  rememberState = 0x0a,              // DW_CFA_remember_state
  restoreState = 0x0b,               // DW_CFA_restore_state
  defCfa = 0x0c,                     // DW_CFA_def_cfa
  defCfaRegister = 0x0d,             // DW_CFA_def_cfa_register
  defCfaOffset = 0x0e,               // DW_CFA_def_cfa_offset
  defCfaExpression = 0x0f,           // DW_CFA_def_cfa_expression
  expression = 0x10,                 // DW_CFA_expression
  offsetExtendedSf = 0x11,           // DW_CFA_offset_extended_sf
  defCfaSf = 0x12,                   // DW_CFA_def_cfa_sf
  defCfaOffsetSf = 0x13,             // DW_CFA_def_cfa_offset_sf
  valOffset = 0x14,                  // DW_CFA_val_offset
  valOffsetSf = 0x15,                // DW_CFA_val_offset_sf
  valExpression = 0x16,              // DW_CFA_val_expression
  gnuArgsSize = 0x2e,                // DW_CFA_GNU_args_size
  gnuNegativeOffsetExtended = 0x2f,  // DW_CFA_GNU_negative_offset_extended
};

// --- Reading the unwind tables ----------------------------------------------------------------

// A bounded reader of .eh_frame data; reading past `end` clears `ok` and yields zeros.
struct Reader {
  const std::uint8_t* p;
  const std::uint8_t* end;
  bool ok = true;

  bool need(std::size_t n) {
    if (ok && static_cast<std::size_t>(end - p) >= n) return true;
    ok = false;
    return false;
  }
  template <class T>
  T fixed() {
    T value{};
    if (!need(sizeof value)) return value;
    __builtin_memcpy(&value, p, sizeof value);
    p += sizeof value;
    return value;
  }
  std::uint8_t u8() { return fixed<std::uint8_t>(); }
  std::uint64_t uleb() {
    std::uint64_t value = 0;
    for (unsigned shift = 0;; shift += 7) {
      if (!need(1)) return 0;
      const std::uint8_t byte = *p++;
      if (shift < 64) value |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
      if ((byte & 0x80) == 0) return value;
    }
  }
  std::int64_t sleb() {
    std::uint64_t value = 0;
    unsigned shift = 0;
    std::uint8_t byte = 0;
    do {
      if (!need(1)) return 0;
      byte = *p++;
      if (shift < 64) value |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
      shift += 7;
    } while (byte & 0x80);
    if (shift < 64 && (byte & 0x40)) value |= ~std::uint64_t{0} << shift;
    return static_cast<std::int64_t>(value);
  }
  void skip(std::uint64_t n) {
    if (need(n)) p += n;
  }
};

// Pointer encodings of the augmentation data.
constexpr std::uint8_t kEncOmit = 0xff;
constexpr std::uint8_t kEncPcRel = 0x10;
constexpr std::uint8_t kEncIndirect = 0x80;

// Bytes of a fixed-size encoded value; 0 for a variable or unknown size.
std::size_t encodedSize(std::uint8_t encoding) {
  switch (encoding & 0x0f) {
    case 0x00:
      return 8;  // absptr
    case 0x02:   // udata2
    case 0x0a:
      return 2;  // sdata2
    case 0x03:   // udata4
    case 0x0b:
      return 4;  // sdata4
    case 0x04:   // udata8
    case 0x0c:
      return 8;  // sdata8
    default:
      return 0;
  }
}

// Skips one encoded value (a personality routine's address).
void skipEncoded(Reader& in, std::uint8_t encoding) {
  if (encoding == kEncOmit) return;
  switch (encoding & 0x0f) {
    case 0x01:
      (void)in.uleb();
      return;
    case 0x09:
      (void)in.sleb();
      return;
    default:
      break;
  }
  const std::size_t size = encodedSize(encoding);
  // The aligned form needs the section's alignment; it does not occur on this target.
  if (size == 0 || (encoding & 0x70) == 0x50) {
    in.ok = false;
    return;
  }
  in.skip(size);
}

// Reads an address for DW_CFA_set_loc: absolute or relative to itself, as a compiler emits it.
std::uintptr_t readLocation(Reader& in, std::uint8_t encoding) {
  const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(in.p);
  const std::size_t size = encodedSize(encoding);
  const std::uint8_t application = encoding & 0x70;
  if (size == 0 || (encoding & kEncIndirect) || (application != 0 && application != kEncPcRel)) {
    in.ok = false;
    return 0;
  }
  std::uint64_t value = 0;
  switch (encoding & 0x0f) {
    case 0x02:
      value = in.fixed<std::uint16_t>();
      break;
    case 0x0a:
      value = static_cast<std::uint64_t>(in.fixed<std::int16_t>());
      break;
    case 0x03:
      value = in.fixed<std::uint32_t>();
      break;
    case 0x0b:
      value = static_cast<std::uint64_t>(in.fixed<std::int32_t>());
      break;
    default:
      value = in.fixed<std::uint64_t>();
      break;
  }
  return application == kEncPcRel ? at + value : value;
}

// The rule for one register as the program builds it. Only rsp, rbp and the return address
// matter: the CFA is accepted only when it depends on rsp or rbp, and the caller's rsp is the CFA
// unless a rule says otherwise.
enum class How : std::uint8_t { unchanged, undefined, offset, other };
struct RegisterRule {
  How how = How::unchanged;
  std::int64_t offset = 0;
};
struct Row {
  bool cfa_is_expression = false;
  std::uint64_t cfa_register = kRsp;
  std::int64_t cfa_offset = 0;
  RegisterRule rsp;
  RegisterRule rbp;
  RegisterRule ra;
};

struct Program {
  std::uint8_t fde_encoding;
  std::uint64_t code_alignment;
  std::int64_t data_alignment;
};

template <class R>
auto* ruleOf(R& row, std::uint64_t reg) {
  if (reg == kRsp) return &row.rsp;
  if (reg == kRbp) return &row.rbp;
  return reg == kReturnAddress ? &row.ra : nullptr;
}

void setRule(Row& row, std::uint64_t reg, How how, std::int64_t offset = 0) {
  if (RegisterRule* rule = ruleOf(row, reg)) *rule = {how, offset};
}

// Runs call-frame instructions on `row` while the location is before `pc` (the return address:
// the row in force at the call instruction, pc - 1, is the one wanted). `initial` is the row the
// CIE's instructions left, for DW_CFA_restore. Returns false on an instruction it cannot follow.
bool runProgram(Reader in, const Program& program, std::uintptr_t& location, std::uintptr_t pc,
                Row& row, const Row& initial) {
  constexpr std::size_t kMaxRemembered = 16;
  Row remembered[kMaxRemembered];
  std::size_t depth = 0;
  // DW_CFA_restore: the initial rule when it is "unchanged"; anything else is left to the
  // general unwinder, which does not keep the CIE's rules.
  auto restore = [&](std::uint64_t reg) {
    const RegisterRule* first = ruleOf(initial, reg);
    if (first == nullptr) return;
    setRule(row, reg, first->how == How::unchanged ? How::unchanged : How::other);
  };
  while (in.ok && in.p < in.end && location < pc) {
    const std::uint8_t op = in.u8();
    const std::uint8_t low = op & 0x3f;
    switch (static_cast<CallFrameOp>(op & 0xc0)) {
      case CallFrameOp::advanceLoc:
        location += low * program.code_alignment;
        continue;
      case CallFrameOp::offset: {
        const auto offset = static_cast<std::int64_t>(in.uleb()) * program.data_alignment;
        setRule(row, low, How::offset, offset);
        continue;
      }
      case CallFrameOp::restore:
        restore(low);
        continue;
      default:
        break;
    }
    switch (static_cast<CallFrameOp>(op)) {
      case CallFrameOp::nop:
        break;
      case CallFrameOp::setLoc:
        location = readLocation(in, program.fde_encoding);
        break;
      case CallFrameOp::advanceLoc1:
        location += in.fixed<std::uint8_t>() * program.code_alignment;
        break;
      case CallFrameOp::advanceLoc2:
        location += in.fixed<std::uint16_t>() * program.code_alignment;
        break;
      case CallFrameOp::advanceLoc4:
        location += in.fixed<std::uint32_t>() * program.code_alignment;
        break;
      case CallFrameOp::offsetExtended: {
        const std::uint64_t reg = in.uleb();
        setRule(row, reg, How::offset,
                static_cast<std::int64_t>(in.uleb()) * program.data_alignment);
        break;
      }
      case CallFrameOp::restoreExtended:
        restore(in.uleb());
        break;
      case CallFrameOp::undefined:
        setRule(row, in.uleb(), How::undefined);
        break;
      case CallFrameOp::sameValue:
        setRule(row, in.uleb(), How::unchanged);
        break;
      case CallFrameOp::registerRule: {
        const std::uint64_t reg = in.uleb();
        (void)in.uleb();
        setRule(row, reg, How::other);
        break;
      }
      case CallFrameOp::rememberState:
        if (depth == kMaxRemembered) return false;
        remembered[depth++] = row;
        break;
      case CallFrameOp::restoreState:
        if (depth == 0) return false;
        row = remembered[--depth];
        break;
      case CallFrameOp::defCfa:
        row.cfa_register = in.uleb();
        row.cfa_offset = static_cast<std::int64_t>(in.uleb());
        row.cfa_is_expression = false;
        break;
      case CallFrameOp::defCfaRegister:
        row.cfa_register = in.uleb();
        row.cfa_is_expression = false;
        break;
      case CallFrameOp::defCfaOffset:
        row.cfa_offset = static_cast<std::int64_t>(in.uleb());
        break;
      case CallFrameOp::defCfaExpression:
        row.cfa_is_expression = true;
        in.skip(in.uleb());
        break;
      case CallFrameOp::expression:
      case CallFrameOp::valExpression: {
        const std::uint64_t reg = in.uleb();
        in.skip(in.uleb());
        setRule(row, reg, How::other);
        break;
      }
      case CallFrameOp::offsetExtendedSf: {
        const std::uint64_t reg = in.uleb();
        setRule(row, reg, How::offset, in.sleb() * program.data_alignment);
        break;
      }
      case CallFrameOp::defCfaSf:
        row.cfa_register = in.uleb();
        row.cfa_offset = in.sleb() * program.data_alignment;
        row.cfa_is_expression = false;
        break;
      case CallFrameOp::defCfaOffsetSf:
        row.cfa_offset = in.sleb() * program.data_alignment;
        break;
      case CallFrameOp::valOffset:
      case CallFrameOp::valOffsetSf: {
        const std::uint64_t reg = in.uleb();
        (void)(op == 0x14 ? static_cast<std::int64_t>(in.uleb()) : in.sleb());
        setRule(row, reg, How::other);
        break;
      }
      case CallFrameOp::gnuArgsSize:
        (void)in.uleb();
        break;
      case CallFrameOp::gnuNegativeOffsetExtended: {
        const std::uint64_t reg = in.uleb();
        setRule(row, reg, How::offset,
                -static_cast<std::int64_t>(in.uleb()) * program.data_alignment);
        break;
      }
      default:
        return false;
    }
  }
  return in.ok;
}

template <class T>
bool fits(std::int64_t value) {
  return value >= std::numeric_limits<T>::min() && value <= std::numeric_limits<T>::max();
}

}  // namespace

Rule computeRule(std::uintptr_t pc) {
  SelfcheckEhBases bases{};
  const auto* fde =
      static_cast<const std::uint8_t*>(_Unwind_Find_FDE(reinterpret_cast<void*>(pc - 1), &bases));
  if (fde == nullptr) return kSlowRule;  // no unwind tables, or a signal trampoline

  // The FDE: length, offset back to its CIE, then the address range and augmentation data.
  std::uint32_t fde_length;
  __builtin_memcpy(&fde_length, fde, 4);
  if (fde_length == 0 || fde_length == 0xffffffffu) return kSlowRule;
  Reader fde_in{fde + 4, fde + 4 + fde_length};
  const std::uint8_t* cie_pointer_at = fde_in.p;
  const std::uint32_t cie_offset = fde_in.fixed<std::uint32_t>();
  const std::uint8_t* cie = cie_pointer_at - cie_offset;

  // The CIE: version, augmentation, alignment factors, return-address column, augmentation data.
  std::uint32_t cie_length;
  __builtin_memcpy(&cie_length, cie, 4);
  if (cie_length == 0xffffffffu) return kSlowRule;
  Reader cie_in{cie + 4, cie + 4 + cie_length};
  if (cie_in.fixed<std::uint32_t>() != 0) return kSlowRule;
  const std::uint8_t version = cie_in.u8();
  if (version != 1 && version != 3) return kSlowRule;
  const char* augmentation = reinterpret_cast<const char*>(cie_in.p);
  while (cie_in.ok && cie_in.u8() != 0) {
  }
  Program program{0, 0, 0};
  program.code_alignment = cie_in.uleb();
  program.data_alignment = cie_in.sleb();
  const std::uint64_t ra_column = version == 1 ? cie_in.u8() : cie_in.uleb();
  if (!cie_in.ok || ra_column != kReturnAddress) return kSlowRule;
  const bool has_length = augmentation[0] == 'z';
  if (has_length) {
    const std::uint64_t length = cie_in.uleb();
    Reader data{cie_in.p, cie_in.p};
    if (!cie_in.need(length)) return kSlowRule;
    data.end = cie_in.p + length;
    cie_in.p = data.end;
    for (const char* c = augmentation + 1; *c != '\0' && data.ok; ++c) {
      if (*c == 'R') {
        program.fde_encoding = data.u8();
      } else if (*c == 'L') {
        (void)data.u8();  // the LSDA's encoding: its pointer is in the FDE's augmentation data
      } else if (*c == 'P') {
        skipEncoded(data, data.u8());
      } else if (*c == 'S') {
        return kSlowRule;  // a signal frame
      } else {
        break;  // not needed here; the length covers the rest
      }
    }
    if (!data.ok) return kSlowRule;
  } else if (augmentation[0] != '\0') {
    return kSlowRule;
  }
  const std::size_t address_size = encodedSize(program.fde_encoding);
  if (address_size == 0) return kSlowRule;

  // The FDE's instructions follow its address range and augmentation data.
  fde_in.skip(2 * address_size);
  if (has_length) fde_in.skip(fde_in.uleb());
  if (!fde_in.ok) return kSlowRule;

  Row row;
  std::uintptr_t location = reinterpret_cast<std::uintptr_t>(bases.func);
  const Row before_cie;
  if (!runProgram(cie_in, program, location, pc, row, before_cie)) return kSlowRule;
  const Row initial = row;
  if (!runProgram(fde_in, program, location, pc, row, initial)) return kSlowRule;

  Rule rule{0, 0, 0, kKnown};
  if (row.cfa_is_expression || (row.cfa_register != kRsp && row.cfa_register != kRbp) ||
      !fits<std::int32_t>(row.cfa_offset)) {
    return kSlowRule;
  }
  // A saved or computed stack pointer (a frame that switched stacks) is left to the general
  // unwinder; an unchanged or undefined one is the CFA there too.
  if (row.rsp.how == How::offset || row.rsp.how == How::other) return kSlowRule;
  rule.cfa_offset = static_cast<std::int32_t>(row.cfa_offset);
  if (row.cfa_register == kRbp) rule.flags |= kCfaFromRbp;
  switch (row.ra.how) {
    case How::undefined:
      rule.flags |= kOutermost;
      break;
    case How::offset:
      if (!fits<std::int8_t>(row.ra.offset)) return kSlowRule;
      rule.ra_offset = static_cast<std::int8_t>(row.ra.offset);
      break;
    default:
      return kSlowRule;
  }
  switch (row.rbp.how) {
    case How::unchanged:
    case How::undefined:
      break;  // the unwinder keeps the value of an undefined register too
    case How::offset:
      if (!fits<std::int16_t>(row.rbp.offset)) return kSlowRule;
      rule.rbp_offset = static_cast<std::int16_t>(row.rbp.offset);
      rule.flags |= kRbpSaved;
      break;
    default:
      return kSlowRule;
  }
  return rule;
}

}  // namespace selfcheck::detail

#endif
