# Cross toolchain: 64-bit Windows binaries from Debian's mingw-w64 (posix thread model,
# so std::thread and std::mutex work).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TC_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${TC_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TC_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER  ${TC_MINGW_TRIPLET}-windres)
set(TC_OBJDUMP         ${TC_MINGW_TRIPLET}-objdump)
set(TC_OBJCOPY         ${TC_MINGW_TRIPLET}-objcopy)
set(TC_WIDL            ${TC_MINGW_TRIPLET}-widl)
set(TC_WINDMC          ${TC_MINGW_TRIPLET}-windmc)

# Never search the build host's /usr/include or libraries: glibc headers would shadow mingw's.
set(CMAKE_FIND_ROOT_PATH /usr/${TC_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
