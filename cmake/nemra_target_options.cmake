# One place for the language level and the flags every nemra target builds with. Only the language
# level reaches consumers; everything else is private to nemra's own targets.
#
# -ffp-contract=off: GCC fuses a*b + c into one FMA wherever the target has one, which would change
# the last bits of results the library promises bit for bit. All run-time arithmetic of the kernel
# is compiled in the library, so a consumer's own flags cannot change it.
function(nemra_target_options target)
  target_compile_features(${target} PUBLIC cxx_std_23)
  # Hidden by default: a shared library exports only what the headers mark NEMRA_API.
  set_target_properties(${target} PROPERTIES CXX_EXTENSIONS OFF
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  target_compile_options(${target} PRIVATE
    -ffp-contract=off
    -fno-fast-math
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
    $<$<BOOL:${NEMRA_WERROR}>:-Werror>)
endfunction()
