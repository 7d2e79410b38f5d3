# feroxsig refuses lengths and rates it cannot make a file of, with one line and exit code 2,
# and writes no file then.
# cmake [-DRUN=emulator] -DSIG=feroxsig -DWORK=dir -P feroxsig_check.cmake
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

# sig(EXPECT TEXT args...): exit code EXPECT, TEXT in the output (when not empty).
function(sig expect want)
    execute_process(COMMAND ${RUN} ${SIG} ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                    ERROR_VARIABLE err TIMEOUT 120)
    if(NOT rc STREQUAL expect)
        message(FATAL_ERROR "feroxsig ${ARGN} exited with '${rc}', expected ${expect}\n${out}${err}")
    endif()
    if(want AND NOT "${out}${err}" MATCHES "${want}")
        message(FATAL_ERROR "feroxsig ${ARGN} did not say '${want}':\n${out}${err}")
    endif()
endfunction()

set(bad "${WORK}/bad")
foreach(kind wav dsf dff)
    foreach(seconds nan NaN inf -inf 0 -1 -0.5 1e400 2x 0x)
        sig(2 "SECONDS must be a finite number above 0, not '${seconds}'" ${kind} "${bad}" "${seconds}")
    endforeach()
    foreach(rate nan inf 0 -44100 44100.5 4294967296 48k)
        sig(2 "RATE must be a whole number of Hz above 0, not '${rate}'" ${kind} "${bad}" 0.1 "${rate}")
    endforeach()
    sig(2 "makes more than 256 MiB" ${kind} "${bad}" 1e12)
    sig(2 "is not one whole" ${kind} "${bad}" 1e-9)
endforeach()
sig(2 "BITS must be 16, 24 or 32, not '8'" wav "${bad}" 0.1 44100 8)
sig(2 "usage" wav "${bad}" 0.1 44100 16 extra)
# The command line: what was wrong, then the usage; help and the version on stdout, exit 0.
sig(2 "^feroxsig: no command given\nusage: " )
sig(2 "^feroxsig: unknown command 'wave'\nusage: " wave "${bad}" 1)
sig(2 "^feroxsig: missing arguments for 'info'\nusage: " info)
sig(2 "'44100' is one too many\nusage: " dsf "${bad}" 0.1 2822400 44100)
foreach(help --help -h /?)
    sig(0 "^feroxsig: test signals.*usage: feroxsig wav" ${help})
endforeach()
sig(0 "^feroxsig [0-9.]+ \\(feroxasio release [0-9.]+\\)" --version)
if(EXISTS "${bad}")
    message(FATAL_ERROR "a refused request left a file behind")
endif()

# The edges that are fine.
sig(0 "" wav "${WORK}/one.wav" 0.5 2 16)
sig(0 "WAV PCM 2 Hz 2 ch 16 bits 1 frames" info "${WORK}/one.wav")
sig(0 "" dsf "${WORK}/tone.dsf" 0.01)
sig(0 "DSF DSD 2822400 Hz 2 ch" info "${WORK}/tone.dsf")
