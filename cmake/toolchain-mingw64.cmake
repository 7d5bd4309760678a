# Cross-build for 64-bit Windows with mingw-w64, programs run under Wine.
# The posix thread model's compilers come first: theirs is the C++ runtime
# with std::thread and std::mutex, which GoogleTest needs; the plain ones
# (win32 threads) still build the product. A compiler or emulator given with
# -D on the command line is kept.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TW_MINGW_TRIPLE x86_64-w64-mingw32)

# Finds the first of the names on the path, or stops configuring with a message.
function(tw_mingw_tool variable)
  if(${variable})
    return()
  endif()
  find_program(found NAMES ${ARGN} NO_CACHE)
  if(NOT found)
    list(JOIN ARGN ", " names)
    message(FATAL_ERROR "No mingw-w64 tool found (looked for ${names}). "
                        "On Debian: apt-get install mingw-w64")
  endif()
  set(${variable} "${found}" PARENT_SCOPE)
endfunction()

tw_mingw_tool(CMAKE_C_COMPILER ${TW_MINGW_TRIPLE}-gcc-posix ${TW_MINGW_TRIPLE}-gcc)
tw_mingw_tool(CMAKE_CXX_COMPILER ${TW_MINGW_TRIPLE}-g++-posix ${TW_MINGW_TRIPLE}-g++)
tw_mingw_tool(CMAKE_RC_COMPILER ${TW_MINGW_TRIPLE}-windres)

# Test programs and tools run under Wine, in a prefix of the build folder.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      "${CMAKE_CURRENT_LIST_DIR}/../tools/testbench/wine-run.sh;${CMAKE_BINARY_DIR}")
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${TW_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
