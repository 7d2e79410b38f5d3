# regsvr32 of the built DLL in the Wine prefix, checked as a host of the same bitness sees it.
# cmake -DRUN=wine-run.sh -DDLL=feroxasio.dll -DCHECK=registration_host_check.exe
#       -DWORK=scratch-dir -DCYCLES=20 -P registration_cycle.cmake
# Starts by unregistering, so it does not depend on what ran before.

function(windows_path out unix)
    string(REPLACE "/" "\\" p "${unix}")
    set(${out} "Z:${p}" PARENT_SCOPE)
endfunction()

# Runs a Windows program; fails unless it exits with 0 (with "!" first: with anything else).
function(run)
    set(args ${ARGN})
    list(GET args 0 first)
    if(first STREQUAL "!")
        list(POP_FRONT args)
    endif()
    execute_process(COMMAND ${RUN} ${args} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                    ERROR_VARIABLE err TIMEOUT 120)
    if((first STREQUAL "!" AND rc STREQUAL "0") OR (NOT first STREQUAL "!" AND NOT rc STREQUAL "0"))
        message(FATAL_ERROR "'${args}' exited with '${rc}'\n${out}${err}")
    endif()
    set(output "${out}" PARENT_SCOPE)
endfunction()

windows_path(dll "${DLL}")
# Unregistering what is not registered, registering again over a registration.
foreach(step "/u" "/u" "" "" "/u")
    run(regsvr32 ${step} /s "${dll}")
    if(step STREQUAL "/u")
        run(${CHECK} absent "${DLL}")
    else()
        run(${CHECK} present "${DLL}")
    endif()
endforeach()

run(${CHECK} snapshot)
set(before "${output}")
foreach(i RANGE 1 ${CYCLES})
    run(regsvr32 /s "${dll}")
    run(regsvr32 /u /s "${dll}")
endforeach()
run(${CHECK} snapshot)
if(NOT output STREQUAL before)
    message(FATAL_ERROR "${CYCLES} cycles left residue:\nbefore:\n${before}after:\n${output}")
endif()

# Loaded under another file name the DLL cannot find itself: regsvr32 must not report success.
file(MAKE_DIRECTORY "${WORK}")
file(COPY_FILE "${DLL}" "${WORK}/feroxasio-renamed.dll")
windows_path(renamed "${WORK}/feroxasio-renamed.dll")
run(! regsvr32 /s "${renamed}")
run(${CHECK} absent "${DLL}")
message(STATUS "registration of ${DLL}: ${CYCLES} cycles, no residue")
