# Cross build for 64-bit Windows with mingw-w64: the same program and tests,
# for machines whose kernel runs no 32-bit code and so no 32-bit Wine.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ORAMET_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
