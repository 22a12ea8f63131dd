# 64-bit Windows: the same tree, for running the Windows stage under Wine where a machine
# cannot run 32-bit code.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KV_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
