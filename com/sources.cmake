# The serial layer's sources, named once for the build and the fuzz build.
set(TW_COM_PLATFORM_SOURCES com.cpp) # the Win32 edge, all of it
