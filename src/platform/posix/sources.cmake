# The POSIX stand-in for Win32; included by src/platform/CMakeLists.txt on non-Windows builds.
set(FEROX_POSIX_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/kernel.cpp
    ${CMAKE_CURRENT_LIST_DIR}/modules.cpp
    ${CMAKE_CURRENT_LIST_DIR}/registry.cpp
)
