# regsvr32 of the built DLL in the Wine prefix, checked as a host of the same bitness sees it.
# cmake -DRUN=wine-run.sh -DDLL=feroxasio.dll -DCHECK=registration_host_check.exe
#       -DWORK=scratch-dir -DCYCLES=20 -P registration_cycle.cmake
# Starts by unregistering, so it does not depend on what ran before.

function(windows_path out unix)
    string(REPLACE "/" "\\" p "${unix}")
    set(${out} "Z:${p}" PARENT_SCOPE)
endfunction()

# Runs a Windows program; fails unless its exit code is `expect` ("nonzero": anything else).
function(run expect)
    execute_process(COMMAND ${RUN} ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                    ERROR_VARIABLE err TIMEOUT 120)
    if(expect STREQUAL "nonzero")
        if(rc EQUAL 0)
            message(FATAL_ERROR "'${ARGN}' succeeded, expected a failure\n${out}${err}")
        endif()
    elseif(NOT rc STREQUAL expect)
        message(FATAL_ERROR "'${ARGN}' exited with '${rc}', expected ${expect}\n${out}${err}")
    endif()
    set(output "${out}" PARENT_SCOPE)
endfunction()

windows_path(dll "${DLL}")
run(0 regsvr32 /u /s "${dll}")
run(0 ${CHECK} absent "${DLL}")

run(0 regsvr32 /s "${dll}")
run(0 ${CHECK} present "${DLL}")
# Registering again over an existing registration.
run(0 regsvr32 /s "${dll}")
run(0 ${CHECK} present "${DLL}")
run(0 regsvr32 /u /s "${dll}")
run(0 ${CHECK} absent "${DLL}")
# Unregistering what is not registered.
run(0 regsvr32 /u /s "${dll}")

run(0 ${CHECK} snapshot)
set(before "${output}")
foreach(i RANGE 1 ${CYCLES})
    run(0 regsvr32 /s "${dll}")
    run(0 regsvr32 /u /s "${dll}")
endforeach()
run(0 ${CHECK} snapshot)
if(NOT output STREQUAL before)
    message(FATAL_ERROR "${CYCLES} cycles left residue:\nbefore:\n${before}after:\n${output}")
endif()
run(0 ${CHECK} absent "${DLL}")

# Loaded under another file name the DLL cannot find itself: regsvr32 must not report success.
file(MAKE_DIRECTORY "${WORK}")
file(COPY_FILE "${DLL}" "${WORK}/feroxasio-renamed.dll")
windows_path(renamed "${WORK}/feroxasio-renamed.dll")
run(nonzero regsvr32 /s "${renamed}")
run(0 ${CHECK} absent "${DLL}")
message(STATUS "registration of ${DLL}: ${CYCLES} cycles, no residue")
