# The serial layer's sources, named once for the build and the fuzz build.
# The Win32 edge, all of it: the port's I/O, its opens and the scan, and the
# system's device list.
set(TW_COM_PLATFORM_SOURCES com.cpp open.cpp devices.cpp)
