# What both mingw-w64 toolchain files share; they set CMAKE_SYSTEM_PROCESSOR
# and the target triple first. The -posix compilers carry winpthreads, which
# std::thread and std::mutex need.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${ORAMET_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORAMET_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ORAMET_MINGW_TRIPLE}-windres)
# The message compiler, for the clock service's event log texts.
set(ORAMET_WINDMC ${ORAMET_MINGW_TRIPLE}-windmc)

set(CMAKE_FIND_ROOT_PATH /usr/${ORAMET_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
