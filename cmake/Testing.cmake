# GoogleTest: the system's package natively, built from Debian's sources when cross-compiling.
option(FEROX_BUILD_TESTS "Build the tests" ON)
if(NOT FEROX_BUILD_TESTS)
    return()
endif()
enable_testing()

if(CMAKE_CROSSCOMPILING)
    set(FEROX_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
    # GoogleTest's own sources do not build warning-free under mingw with -Werror.
    add_subdirectory(${FEROX_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
    foreach(t gtest gtest_main gmock gmock_main)
        if(TARGET ${t})
            target_compile_options(${t} PRIVATE -Wno-error)
            if(NOT TARGET GTest::${t})
                add_library(GTest::${t} ALIAS ${t})
            endif()
        endif()
    endforeach()
else()
    find_package(GTest REQUIRED)
endif()
include(GoogleTest)

# ferox_add_test(name SOURCES ... LIBS ... [ALONE filter]): one test program; natively every case
# is its own ctest test, under Wine the program runs whole (starting Wine once per case would be
# slow). ALONE: the cases matching the gtest filter run with nothing beside them, for those that
# hold a real-time pace a busy sibling could starve. SETTINGS: the program reads and writes this
# user's driver settings, which under Wine every program of the prefix shares: it runs alone
# among those that do (a rate one keeps is the next one's first rate).
function(ferox_add_test name)
    cmake_parse_arguments(T "SETTINGS" "ALONE" "SOURCES;LIBS" ${ARGN})
    if(NOT T_SOURCES)
        return()
    endif()
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
    if(CMAKE_CROSSCOMPILING)
        add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
        set_tests_properties(${name} PROPERTIES TIMEOUT 600)
        if(T_SETTINGS)
            set_tests_properties(${name} PROPERTIES RESOURCE_LOCK wine_registry)
        endif()
    else()
        if(T_ALONE)
            gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 TEST_FILTER "-${T_ALONE}"
                                 PROPERTIES TIMEOUT 120)
            gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 TEST_FILTER "${T_ALONE}"
                                 PROPERTIES TIMEOUT 120 RUN_SERIAL TRUE)
        else()
            gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
        endif()
    endif()
endfunction()
