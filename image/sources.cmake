# The image layer's sources, named once for the build and the fuzz build.
set(TW_IMAGE_SOURCES image.cpp srec.cpp crc16.cpp image_crc.cpp) # plain C++
set(TW_IMAGE_PLATFORM_SOURCES image_lock_win32.cpp)              # the Win32 edge
