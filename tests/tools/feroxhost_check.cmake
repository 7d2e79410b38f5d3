# feroxhost against the registered simulated-DAC DLL, in a Wine prefix of its own (the DLL
# shares its class identifier with the production build, whose tests use the common prefix).
# cmake -DRUN=wine-run.sh -DHOST=feroxhost.exe -DSIG=feroxsig.exe -DDLL=feroxasio.dll
#       -DPREFIX=dir -DWORK=dir -DPART=host|pcm|dsd|conventions|doctor -DBITS=32|64
#       -P feroxhost_check.cmake
cmake_policy(SET CMP0007 NEW)  # the table's empty fields count
set(ENV{WINEPREFIX} "${PREFIX}")
# Wine reads the arguments' bytes in the locale's character set: UTF-8 for the file names.
set(ENV{LC_ALL} C.UTF-8)
file(MAKE_DIRECTORY "${WORK}")

function(windows_path out unix)
    string(REPLACE "/" "\\" p "${unix}")
    set(${out} "Z:${p}" PARENT_SCOPE)
endfunction()

# run(EXPECT [STDERR text] command...): the exit code must be EXPECT (a crash never is); the
# output must contain `text` when given. Leaves the output in `output`.
function(run expect)
    set(want "")
    if(ARGV1 STREQUAL "STDERR")
        set(want "${ARGV2}")
        list(REMOVE_AT ARGN 0 1)
    endif()
    execute_process(COMMAND ${RUN} ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                    ERROR_VARIABLE err TIMEOUT 300)
    if(NOT rc STREQUAL expect)
        message(FATAL_ERROR "'${ARGN}' exited with '${rc}', expected ${expect}\n${out}${err}")
    endif()
    if(want AND NOT "${out}${err}" MATCHES "${want}")
        message(FATAL_ERROR "'${ARGN}' did not say '${want}':\n${out}${err}")
    endif()
    set(output "${out}${err}" PARENT_SCOPE)
endfunction()

function(expect_in text)
    foreach(want ${ARGN})
        if(NOT text MATCHES "${want}")
            message(FATAL_ERROR "expected '${want}' in:\n${text}")
        endif()
    endforeach()
endfunction()

windows_path(dll "${DLL}")
run(0 regsvr32 /s "${dll}")

# Plays FILE with the capture going to CAPTURE, then checks the capture bit for bit.
function(play_and_compare file capture)
    windows_path(in "${WORK}/${file}")
    windows_path(cap "${WORK}/${capture}")
    file(REMOVE "${WORK}/${capture}")
    set(ENV{FEROX_SIM_CAPTURE} "${cap}")
    run(0 ${HOST} play "${in}")
    expect_in("${output}" "summary: played [0-9.]+ s of [0-9.]+ s" "buffer switches")
    unset(ENV{FEROX_SIM_CAPTURE})
    run(0 ${SIG} compare "${in}" "${cap}")
    message(STATUS "${file}: ${output}")
endfunction()

if(PART STREQUAL "host")
    run(0 ${HOST} list)
    string(REPLACE "/" "\\\\" dllText "${DLL}")
    expect_in("${output}" "ASIO ferox Driver" "CLSID +\\{3739839C-CE45-4C86-8C77-D40451739198\\}"
              "Description +ASIO ferox" "feroxasio.dll +\\(present\\)")
    run(0 ${HOST} probe)
    expect_in("${output}" "driver +Pellinor ASIO 1.03" "init +ok" "channels +2 in, 2 out"
              "PCM out +1 ' channel 1' group 0, Int32LSB" "DSD out +0 ' channel 0' group 0, DSDInt8MSB1"
              "44.1k yes" "768k yes" "DSD64 yes" "DSD512 yes" "io formats +PCM yes, DSD yes")
    run(0 ${HOST} probe "asio FEROX driver")

    # Every bad input: a message and exit code 1, never a crash.
    windows_path(work "${WORK}")
    run(1 STDERR "cannot open '.*missing.wav'" ${HOST} play "${work}\\missing.wav")
    file(WRITE "${WORK}/notes.txt" "these are not audio samples\n")
    run(1 STDERR "unsupported file: not a WAV, DSF or DFF" ${HOST} play "${work}\\notes.txt")
    run(0 ${SIG} wav "${work}\\good.wav" 0.2 44100 16)
    # Byte surgery with coreutils: format tag 3 (offset 20), block alignment 3 (offset 32),
    # a data chunk cut short; a DSF cut inside its samples.
    run(0 ${SIG} dsf "${work}\\good.dsf" 0.1)
    execute_process(
        COMMAND sh -c "set -e; cd '${WORK}'
            cp good.wav float.wav; printf '\\003\\000' | dd of=float.wav bs=1 seek=20 conv=notrunc 2>/dev/null
            cp good.wav align.wav; printf '\\003\\000' | dd of=align.wav bs=1 seek=32 conv=notrunc 2>/dev/null
            head -c 4000 good.wav > cut.wav
            head -c 4000 good.dsf > cut.dsf"
        RESULT_VARIABLE rc)
    if(rc)
        message(FATAL_ERROR "could not make the broken files")
    endif()
    run(1 STDERR "unsupported file: floating-point WAV" ${HOST} play "${work}\\float.wav")
    run(1 STDERR "corrupt header: block alignment" ${HOST} play "${work}\\align.wav")
    run(1 STDERR "truncated data: the data chunk declares" ${HOST} play "${work}\\cut.wav")
    run(1 STDERR "truncated data: the samples need" ${HOST} play "${work}\\cut.dsf")
    run(0 ${SIG} wav "${work}\\low.wav" 0.2 8000 16)
    run(1 STDERR "refuses the sample rate 8000 Hz" ${HOST} play "${work}\\low.wav")
    run(1 STDERR "no ASIO driver named 'No Such Driver'" ${HOST} play --driver "No Such Driver"
        "${work}\\good.wav")
    run(2 STDERR "usage" ${HOST} play)
    run(2 STDERR "SECONDS must be" ${HOST} tone --dsd nonsense)
    run(0 ${HOST} tone 0.3)

    # The user's buffer size: shown, set, offered to hosts, refused when not a choice; a value
    # written by hand that is not a choice is ignored.
    run(0 ${HOST} config)
    expect_in("${output}" "HKEY_CURRENT_USER.+Software.+feroxasio" "buffer +1024 samples a half")
    run(2 STDERR "must be one of 64, 128, 256, 512, 1024 or 2048 \\(not '100'\\)"
        ${HOST} config buffer 100)
    run(2 STDERR "usage" ${HOST} config speed 3)
    run(0 ${HOST} config buffer 256)
    run(0 ${HOST} probe)
    expect_in("${output}" "buffer +256 samples a half"
              "PCM buffers +min 256, max 256, preferred 256, granularity 0"
              "DSD buffers +min 8192, max 8192, preferred 8192, granularity 0")
    # A short tone at a high rate with the simulated DAC's report: the summary carries it.
    windows_path(report "${WORK}/report.txt")
    set(ENV{FEROX_SIM_REPORT} "${report}")
    run(0 ${HOST} tone --rate 768000 0.5)
    unset(ENV{FEROX_SIM_REPORT})
    expect_in("${output}" "device: [0-9]+ underruns, largest gap between writes [0-9.]+ ms")
    file(READ "${WORK}/report.txt" text)
    expect_in("${text}" "bytes=[0-9]+" "writes=[0-9]+" "underruns=[0-9]+" "max_gap_ms=[0-9.]+"
              "turnaround_p99_us=[0-9.]+" "buffer_ms=40")
    run(0 ${HOST} config buffer default)
    expect_in("${output}" "buffer +1024 samples a half .*, the default")
    run(0 reg add "HKCU\\Software\\feroxasio" /v BufferSize /t REG_DWORD /d 100 /f)
    run(0 ${HOST} probe)
    expect_in("${output}" "PCM buffers +min 1024, max 1024, preferred 1024"
              "the stored BufferSize 100 is not one of the choices and is ignored")
    run(0 ${HOST} config reset)
    expect_in("${output}" "every setting is back to the default")
    run(1 reg query "HKCU\\Software\\feroxasio")

    # Without the driver registered at all.
    run(0 regsvr32 /u /s "${dll}")
    run(0 ${HOST} list)
    expect_in("${output}" "No ASIO drivers are installed")
    run(1 STDERR "no ASIO drivers are installed" ${HOST} probe)
    run(1 STDERR "no ASIO drivers are installed" ${HOST} play "${work}\\good.wav")
    run(0 regsvr32 /s "${dll}")
elseif(PART STREQUAL "conventions")
    # One row a case: FAULT (FEROX_SIM_FAULT, - for none) | EXIT | STREAM the text is on (out or
    # err) | TEXT (a regex) | the arguments, space-separated. Every usage error must be one line
    # saying what was wrong followed by the usage; help and --version go to stdout alone; each
    # driver failure text is followed by its hint.
    set(rows
        "-|2|err|no command given|"
        "-|2|err|unknown command 'frob'|frob"
        "-|2|err|'play' is missing an argument|play"
        "-|2|err|'tone' takes at most 1 argument. '2' is one too many|tone 1 2"
        "-|2|err|'config buffer' needs N or default|config buffer"
        "-|2|err|unknown setting 'speed'|config speed 3"
        "-|2|err|'config margin' needs N, minimal or default|config margin"
        "-|2|err|the margin must be minimal, 5, 10, 20 or 40 milliseconds \\(not '15'\\)|config margin 15"
        "-|0|out|margin +minimal \\(one write\\)\n|config margin minimal"
        "-|0|out|margin +20 ms\n|config margin 20"
        "-|0|out|margin +10 ms \\(default\\)|config margin default"
        "-|2|err|'list' takes no --dsd|list --dsd"
        "-|2|err|--driver needs a NAME|play --driver"
        "-|2|err|unknown option '--loud'|tone --loud"
        "-|2|err|--rate takes a sample rate in Hz from 8000 to 50000000, not 'x'|tone --rate x"
        "-|0|out|usage: feroxhost list|--help"
        "-|0|out|usage: feroxhost list|-h"
        "-|0|out|usage: feroxhost list|/?"
        "-|0|out|usage: feroxhost list|play --help"
        "-|0|out|feroxhost [0-9.]+ \\(feroxasio release [0-9.]+, ${BITS}-bit\\)\ndriver +Pellinor ASIO 1.03, version 2 \\(entry 'ASIO ferox Driver'\\)\nThe release number|--version"
        "-|0|out|test tone at -20 dBFS|tone 0.2"
        "absent|1|err|Driver Enum Failure!\nferoxhost: what to do: the DAC was not found|probe"
        "busy|1|err|DAC in use by another program\nferoxhost: what to do: close the other program|probe"
        "no-dsd|1|err|DSD64 stream \\(ASE_HWMalfunction\\): ASIO Pellinor Device refused DSD mode\nferoxhost: what to do: this DAC|probe"
        "no-dsd|1|out|stream +PCM 44.1 kHz ok|probe"
        "slow=60|0|out|the DAC ran out of audio [0-9]+ time|tone 0.3"
        "unplug-after=0.3|1|err|asked for a reset: the device was lost or changed\nferoxhost: what to do: the DAC was unplugged|tone 3"
        "bogus|0|err|FEROX_SIM_FAULT: 'bogus' is not one of|probe")
    windows_path(report "${WORK}/report.txt")
    set(ENV{FEROX_SIM_REPORT} "${report}")
    foreach(row IN LISTS rows)
        string(REPLACE "|" ";" fields "${row}")
        list(GET fields 0 fault)
        list(GET fields 1 expect)
        list(GET fields 2 stream)
        list(GET fields 3 want)
        list(LENGTH fields n)
        set(args "")
        if(n GREATER 4)
            list(GET fields 4 line)
            separate_arguments(args UNIX_COMMAND "${line}")
        endif()
        if(fault STREQUAL "-")
            unset(ENV{FEROX_SIM_FAULT})
        else()
            set(ENV{FEROX_SIM_FAULT} "${fault}")
        endif()
        execute_process(COMMAND ${RUN} ${HOST} ${args} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                        ERROR_VARIABLE err TIMEOUT 120)
        string(REPLACE "\r" "" out "${out}")
        string(REPLACE "\r" "" err "${err}")
        set(where "FEROX_SIM_FAULT=${fault} feroxhost ${args}: exit ${rc}\nstdout:\n${out}\nstderr:\n${err}")
        if(NOT rc STREQUAL expect)
            message(FATAL_ERROR "expected exit ${expect}; ${where}")
        endif()
        if(NOT "${${stream}}" MATCHES "${want}")
            message(FATAL_ERROR "expected '${want}' on std${stream}; ${where}")
        endif()
        if(expect EQUAL 2 AND NOT err MATCHES "^feroxhost: [^\n]+\nusage: feroxhost ")
            message(FATAL_ERROR "a usage error is one line, then the usage; ${where}")
        endif()
        if(expect EQUAL 0 AND fault STREQUAL "-" AND NOT err STREQUAL "")
            message(FATAL_ERROR "nothing is expected on stderr; ${where}")
        endif()
    endforeach()
    unset(ENV{FEROX_SIM_FAULT})
    unset(ENV{FEROX_SIM_REPORT})
elseif(PART STREQUAL "doctor")
    # Entries of other drivers that hosts meet broken, one of each kind, planted in the view of
    # the host's bitness and removed again, whatever happens in between. The DLL of the other
    # bitness is the cross compiler's own runtime of that bitness: a prefix made where 32-bit
    # programs cannot run has no 32-bit system DLLs.
    if(BITS EQUAL 64)
        file(GLOB other /usr/lib/gcc/i686-w64-mingw32/*/libgcc_s_*.dll)
        set(otherBits 32)
        set(listKey "HKLM.SOFTWARE.ASIO")
        set(own 0)
    else()
        file(GLOB other /usr/lib/gcc/x86_64-w64-mingw32/*/libgcc_s_*.dll)
        set(otherBits 64)
        set(listKey "HKLM.SOFTWARE.WOW6432Node.ASIO")
        set(own 1)
    endif()
    if(NOT other)
        message(FATAL_ERROR "no ${otherBits}-bit libgcc DLL of the cross compiler")
    endif()
    list(GET other 0 other)
    windows_path(other "${other}")
    set(gone "HKLM\\SOFTWARE\\ASIO\\Gone Driver")
    set(lost "HKLM\\SOFTWARE\\ASIO\\Lost Driver")
    set(lostClass "HKCR\\CLSID\\{7E57D0C7-0000-4000-8000-00000000D11E}")
    set(odd "HKLM\\SOFTWARE\\ASIO\\Odd Driver")
    set(oddClass "HKCR\\CLSID\\{7E57D0C7-0000-4000-8000-000000000DD0}")
    set(bare "HKLM\\SOFTWARE\\ASIO\\Bare Driver")
    function(unplant)
        foreach(key "${gone}" "${lost}" "${lostClass}" "${odd}" "${oddClass}" "${bare}")
            execute_process(COMMAND ${RUN} reg delete "${key}" /f /reg:${BITS} OUTPUT_QUIET
                            ERROR_QUIET)
        endforeach()
    endfunction()
    unplant()

    # All is well: every check ok, and the report tells the model's own values. The simulated
    # DAC holds 200 ms, so that a machine busy with other tests does not starve it.
    set(ENV{FEROX_SIM_BUFFER_MS} 200)
    windows_path(rep "${WORK}/report.json")
    # The streams' timing depends on how busy the machine is (a verdict on it is a benchmark's
    # business): they run once, with their figures and without a failure; the verdict of the
    # whole, exit 0, comes from a run without them.
    # It changes nothing: a user without settings has none after it either, streams and all.
    execute_process(COMMAND ${RUN} reg delete "HKCU\\Software\\feroxasio" /f OUTPUT_QUIET
                    ERROR_QUIET)
    run(0 ${HOST} doctor --report "${rep}" --seconds 0)
    execute_process(COMMAND ${RUN} ${HOST} doctor --seconds 1 RESULT_VARIABLE rc
                    OUTPUT_VARIABLE streamed ERROR_VARIABLE err TIMEOUT 300)
    execute_process(COMMAND ${RUN} reg query "HKCU\\Software\\feroxasio" RESULT_VARIABLE query
                    OUTPUT_QUIET ERROR_QUIET)
    if(query EQUAL 0)
        message(FATAL_ERROR "the doctor left HKCU\\Software\\feroxasio behind")
    endif()
    message(STATUS "doctor:\n${streamed}")
    if(NOT (rc STREQUAL 0 OR rc STREQUAL 1) OR streamed MATCHES "FAIL")
        message(FATAL_ERROR "doctor with streams exited with '${rc}'\n${streamed}${err}")
    endif()
    expect_in("${streamed}" "(ok|warn) +44.1 kHz PCM stream: [0-9]+ writes, completion interval"
              "(ok|warn) +DSD64 stream: [0-9]+ writes")
    expect_in("${output}" "ok +registration \\(${BITS}-bit view\\): \"ASIO ferox Driver\" -> \\{3739839C"
              "ok +DAC found: USB.VID_5A4E&PID_0C31&MI_00.7&1F2B6C1&0&0000"
              "ok +pin 0 \"ferox DAC\": .*2 ch, 32-32 bit, 44100-768000 Hz"
              "ok +latency property: 200.0 ms" "ok +DSD mode request accepted"
              "ok +44.1 kHz PCM stream skipped: --seconds 0" "doctor: all is well")
    file(READ "${WORK}/report.json" r)
    file(SIZE "${WORK}/report.json" size)
    message(STATUS "report: ${size} bytes")
    foreach(check "doctor;exit=0" "device;found=ON" "device;pins;LENGTH=2"
                  "device;pins;0;data_ranges;0;rates;1=768000" "device;pins;0;name=ferox DAC"
                  "device;pins;1;communication=4" "device;render_pin;latency;hns=2000000.0"
                  "device;render_pin;vendor;dsd;accepted=ON" "driver;rates;pcm;LENGTH=10"
                  "driver;rates;dsd;LENGTH=4" "pace;buffer_ms=200" "registration;${own};entry;dll_bits=${BITS}")
        string(REGEX MATCH "^(.*)=(.*)$" _ "${check}")
        set(path "${CMAKE_MATCH_1}")
        set(want "${CMAKE_MATCH_2}")
        list(GET path -1 last)
        if(last STREQUAL "LENGTH")
            list(REMOVE_AT path -1)
            string(JSON got LENGTH "${r}" ${path})
        else()
            string(JSON got GET "${r}" ${path})
        endif()
        if(NOT got STREQUAL want)
            message(FATAL_ERROR "report ${path}: '${got}', expected '${want}'")
        endif()
    endforeach()

    # The simulated-DAC DLL answering as the limited profile: each difference named, exit 1.
    windows_path(limited "${CMAKE_CURRENT_LIST_DIR}/../../profiles/limited.json")
    set(ENV{FEROX_SIM_PROFILE} "${limited}")
    run(1 ${HOST} doctor --seconds 1)
    unset(ENV{FEROX_SIM_PROFILE})
    expect_in("${output}" "ok +pin 0 \"ferox DAC \\(limited\\)\": .*44100-384000 Hz"
              "warn +the DAC does not tell its latency" "warn +the DAC refused the DSD mode request"
              "ok +rates the driver accepts: PCM 8 of 10" "warn +DSD64 stream skipped: the DAC refuses DSD"
              "warn +44.1 kHz PCM stream: [0-9]+ writes"
              "doctor: warnings above")

    # Broken entries, one of each kind: each named with why and the key to remove; exit 1;
    # nothing changed.
    run(0 reg add "${gone}" /v CLSID /d "{7E57D0C7-0000-4000-8000-0000000060E0}" /f /reg:${BITS})
    run(0 reg add "${lost}" /v CLSID /d "{7E57D0C7-0000-4000-8000-00000000D11E}" /f /reg:${BITS})
    run(0 reg add "${lostClass}\\InprocServer32" /ve /d "C:\\nowhere\\lost.dll" /f /reg:${BITS})
    run(0 reg add "${odd}" /v CLSID /d "{7E57D0C7-0000-4000-8000-000000000DD0}" /f /reg:${BITS})
    run(0 reg add "${oddClass}\\InprocServer32" /ve /d "${other}" /f /reg:${BITS})
    run(0 reg add "${bare}" /v Description /d "no class at all" /f /reg:${BITS})
    execute_process(COMMAND ${RUN} ${HOST} doctor --seconds 0 RESULT_VARIABLE rc
                    OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 300)
    run(0 reg query "${gone}" /reg:${BITS})
    unplant()
    unset(ENV{FEROX_SIM_BUFFER_MS})
    if(NOT rc STREQUAL 1)
        message(FATAL_ERROR "doctor with broken entries exited with '${rc}', expected 1\n${out}${err}")
    endif()
    expect_in("${out}" "warn +ASIO list \\(${BITS}-bit view\\): \"Gone Driver\" is broken: no class key"
              "remove the key ${listKey}.Gone Driver"
              "warn +ASIO list \\(${BITS}-bit view\\): \"Lost Driver\" is broken: DLL missing: C:.nowhere.lost.dll"
              "remove the key ${listKey}.Lost Driver"
              "warn +ASIO list \\(${BITS}-bit view\\): \"Odd Driver\" is broken: DLL of the other bitness: .*libgcc_s_[a-z0-9-]+.dll is ${otherBits}-bit"
              "warn +ASIO list \\(${BITS}-bit view\\): \"Bare Driver\" is broken: no CLSID value"
              "ok +registration \\(${BITS}-bit view\\)" "doctor: warnings above")
elseif(PART STREQUAL "pcm")
    windows_path(work "${WORK}")
    run(0 ${SIG} wav "${work}\\pcm32.wav" 2)
    play_and_compare(pcm32.wav pcm32-capture.wav)
    # A name outside any code page: the host opens and plays it all the same.
    run(0 ${SIG} wav "${work}\\日本語 Ёж.wav" 0.3 48000 24)
    play_and_compare("日本語 Ёж.wav" unicode-capture.wav)
    run(0 ${SIG} wav "${work}\\pcm24.wav" 0.5 96000 24)
    play_and_compare(pcm24.wav pcm24-capture.wav)
    run(0 ${SIG} wav "${work}\\pcm16.wav" 0.5 48000 16)
    play_and_compare(pcm16.wav pcm16-capture.wav)
elseif(PART STREQUAL "dsd")
    windows_path(work "${WORK}")
    run(0 ${SIG} dsf "${work}\\dsd64.dsf" 1)
    play_and_compare(dsd64.dsf dsd64-capture.dsf)
    run(0 ${SIG} dff "${work}\\dsd128.dff" 0.5 5644800)
    play_and_compare(dsd128.dff dsd128-capture.dsf)
    # The carrier of a DSD stream, as the device received it.
    windows_path(cap "${WORK}/dsd-carrier.wav")
    set(ENV{FEROX_SIM_CAPTURE} "${cap}")
    run(0 ${HOST} tone --dsd 0.3)
    unset(ENV{FEROX_SIM_CAPTURE})
    run(0 ${SIG} info "${cap}")
    expect_in("${output}" "WAV PCM 44100 Hz 2 ch 32 bits")
endif()
