# nlohmann/json, header-only, from Debian's nlohmann-json3-dev. The cross builds must not see
# the build machine's /usr/include as a whole, so every build reaches the library through a
# folder of the build tree that holds only a link to its own folder.
find_path(FEROX_JSON_ROOT nlohmann/json.hpp PATHS /usr/include /usr/local/include
          NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(FEROX_JSON_INCLUDE ${CMAKE_BINARY_DIR}/json-include)
file(MAKE_DIRECTORY ${FEROX_JSON_INCLUDE})
if(NOT EXISTS ${FEROX_JSON_INCLUDE}/nlohmann)
    file(CREATE_LINK ${FEROX_JSON_ROOT}/nlohmann ${FEROX_JSON_INCLUDE}/nlohmann SYMBOLIC)
endif()
add_library(ferox_json INTERFACE)
target_include_directories(ferox_json SYSTEM INTERFACE ${FEROX_JSON_INCLUDE})
