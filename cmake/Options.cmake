# Compiler and linker settings shared by every target of the project (not by googletest).
add_compile_definitions(
  UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
  _WIN32_WINNT=0x0A00 WINVER=0x0A00 NTDDI_VERSION=0x0A000000
  # Bounds checks in the standard containers: cheap, and they turn a parser slip into a
  # clean abort instead of a silent out-of-bounds read.
  _GLIBCXX_ASSERTIONS)
add_compile_options(-Wall -Wextra -Werror -fstack-protector-strong)
# Everything static: the DLL and the test programs need nothing beside Windows' own DLLs.
set(TC_LINK_HARDENING -static -fstack-protector-strong
    -Wl,--dynamicbase -Wl,--nxcompat -Wl,--high-entropy-va)
add_link_options(${TC_LINK_HARDENING})

# Console programs with a wide entry point.
function(tc_wide_console target)
  target_link_options(${target} PRIVATE -municode)
endfunction()
