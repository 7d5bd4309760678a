# The application's sources, named once: all of it is the Win32 edge.
set(TW_APP_PLATFORM_SOURCES app_state.cpp app.cpp main_dialog.cpp port_picker.cpp port_entries.cpp scaling.cpp power_guard.cpp display.cpp taskbar.cpp)
