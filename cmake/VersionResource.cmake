# The Windows version resource every shipped binary carries, from project(VERSION): Windows shows
# it in the file's properties, installers and support read it.
if(NOT WIN32)
    return()
endif()
enable_language(RC)

# The licence's copyright line and its name, for the copyright field.
file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE FEROX_LICENSE_LINES LIMIT_COUNT 3)
list(GET FEROX_LICENSE_LINES 0 FEROX_LICENSE_NAME)
list(FILTER FEROX_LICENSE_LINES INCLUDE REGEX "^Copyright")
set(FEROX_RC_COPYRIGHT "${FEROX_LICENSE_LINES}. ${FEROX_LICENSE_NAME}.")

# ferox_version_resource(TARGET DESCRIPTION): the description names what the file is for.
function(ferox_version_resource target description)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "SHARED_LIBRARY")
        set(FEROX_RC_TYPE VFT_DLL)
        set(FEROX_RC_FILE ${target}.dll)
    else()
        set(FEROX_RC_TYPE VFT_APP)
        set(FEROX_RC_FILE ${target}.exe)
    endif()
    set(FEROX_RC_NAME ${target})
    set(FEROX_RC_DESCRIPTION "${description}")
    configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in
                   ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc @ONLY)
    target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
endfunction()

# Packaging reads the version from here rather than parsing this project's files.
file(WRITE ${CMAKE_BINARY_DIR}/feroxasio-version.txt "${PROJECT_VERSION}\n")
