# The serial layer's sources, named once for the build and the fuzz build.
# The Win32 edge, all of it: the port's I/O, and its opens and the scan.
set(TW_COM_PLATFORM_SOURCES com.cpp open.cpp)
