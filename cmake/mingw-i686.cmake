# 32-bit Windows, the platform the suite ships for: cmake -DCMAKE_TOOLCHAIN_FILE=this.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KV_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
