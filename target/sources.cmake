# The target layer's sources, named once for the build and the fuzz build.
set(TW_TARGET_SOURCES # plain C++
    target_info.cpp frame.cpp link.cpp handover.cpp worker.cpp program.cpp job.cpp
    target_crc.cpp)
set(TW_TARGET_PLATFORM_SOURCES worker_thread_win32.cpp) # the Win32 edge
