# The setup program and the release files, as Windows and hosts see them, under Wine.
# cmake -DRUN=wine-run.sh -DPREFIX=dir -DPACKAGE=build/package -DVERSION=x.y.z -DNSI=feroxasio.nsi
#       -DCHECK_DLL=check_dll.cmake -DOBJDUMP=objdump -DWINDRES=windres -DWORK=dir
#       -DPART=binaries|install|upgrade|failure -P installer_check.cmake
# Every part but the first leaves the prefix as it found it: nothing of ours installed.
set(ENV{WINEPREFIX} "${PREFIX}")
file(MAKE_DIRECTORY "${WORK}")
set(setup "${PACKAGE}/feroxasio-${VERSION}-setup.exe")
set(clsid "{3739839C-CE45-4C86-8C77-D40451739198}")
set(driver_key "HKLM\\SOFTWARE\\ASIO\\ASIO ferox Driver")
set(uninstall_key "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\feroxasio")
set(default_dir "C:\\Program Files\\feroxasio")
# view, folder and object format of each bitness the prefix's Windows runs
set(bitnesses "64:x64:pei-x86-64" "32:x86:pei-i386")
if(PART STREQUAL "windows32")
    set(bitnesses "32:x86:pei-i386")
endif()

function(windows_path out unix)
    string(REPLACE "/" "\\" p "${unix}")
    set(${out} "Z:${p}" PARENT_SCOPE)
endfunction()

# Where a C:\ path of the prefix lives.
function(unix_path out windows)
    string(REGEX REPLACE "^[Cc]:" "${PREFIX}/drive_c" p "${windows}")
    string(REPLACE "\\" "/" p "${p}")
    set(${out} "${p}" PARENT_SCOPE)
endfunction()

# The settings window's entry in every user's Start menu.
set(settings_link "${PREFIX}/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/feroxasio settings.lnk")

function(fail)
    string(JOIN "" text ${ARGN})
    message(FATAL_ERROR "${text}")
endfunction()

# run(EXPECT command...): the exit code must be EXPECT; the output is left in `output`. Exit codes
# reach us modulo 256 (3010 arrives as 194).
function(run expect)
    execute_process(COMMAND ${RUN} ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                    ERROR_VARIABLE err TIMEOUT 300)
    if(NOT rc STREQUAL expect)
        string(JOIN " " command ${ARGN})
        fail("'${command}' exited with '${rc}', expected ${expect}\n${out}${err}")
    endif()
    set(output "${out}${err}" PARENT_SCOPE)
endfunction()

# The uninstaller hands over to a copy of itself and returns: wait for every program in the prefix.
function(settle)
    execute_process(COMMAND wineserver -w)
endfunction()

function(expect_in text)
    foreach(want ${ARGN})
        string(FIND "${text}" "${want}" at)
        if(at EQUAL -1)
            fail("expected '${want}' in:\n${text}")
        endif()
    endforeach()
endfunction()

# expect_key(VIEW KEY NAME=DATA...): the key holds these values (an empty NAME is the default
# value). Leaves the listing in `values`.
function(expect_key view key)
    execute_process(COMMAND ${RUN} reg query "${key}" /reg:${view}
                    RESULT_VARIABLE rc OUTPUT_VARIABLE text ERROR_QUIET TIMEOUT 120)
    string(REPLACE "\r" "" text "${text}")
    foreach(pair ${ARGN})
        string(REGEX MATCH "^([^=]*)=(.*)$" _ "${pair}")
        set(name "${CMAKE_MATCH_1}")
        set(data "${CMAKE_MATCH_2}")
        if(name STREQUAL "")
            set(name "\\(Default\\)")
        endif()
        string(REGEX MATCH "\n    ${name}    REG_[A-Z_]+    ([^\n]*)" _ "${text}")
        if(NOT CMAKE_MATCH_1 STREQUAL data)
            fail("${key} (${view}-bit view): '${name}' is not '${data}':\n${text}")
        endif()
    endforeach()
    set(values "${text}" PARENT_SCOPE)
endfunction()

function(expect_no_key view key)
    execute_process(COMMAND ${RUN} reg query "${key}" /reg:${view}
                    RESULT_VARIABLE rc OUTPUT_VARIABLE text ERROR_QUIET TIMEOUT 120)
    if(rc EQUAL 0)
        fail("${key} (${view}-bit view) is left:\n${text}")
    endif()
endfunction()

# One working installation in DIR made by VERSION: each DLL registered in its own view and found
# there by the host of its bitness; the one uninstall entry names DIR. A third argument says which
# Start-menu entry: the SHA-256 of the one an earlier setup made, or "none".
function(expect_installed dir version)
    foreach(b ${bitnesses})
        string(REPLACE ":" ";" b "${b}")
        list(GET b 0 view)
        list(GET b 1 arch)
        list(GET b 2 format)
        set(dll "${dir}\\${arch}\\feroxasio.dll")
        string(TOLOWER "${dll}" stored)
        expect_key(${view} "HKCR\\CLSID\\${clsid}\\InprocServer32" "=${stored}"
                   ThreadingModel=Apartment)
        expect_key(${view} "${driver_key}" "CLSID=${clsid}" "Description=ASIO ferox")
        unix_path(file "${dll}")
        execute_process(COMMAND ${OBJDUMP} -f "${file}" OUTPUT_VARIABLE header RESULT_VARIABLE rc)
        if(NOT rc EQUAL 0 OR NOT header MATCHES "file format ${format}")
            fail("${dll} is not a ${format} file:\n${header}")
        endif()
        run(0 "${dir}\\${arch}\\feroxhost.exe" list)
        expect_in("${output}" "(${view}-bit view)" "ASIO ferox Driver" "${stored}  (present)")
        # Without the DAC the driver is created and says so itself.
        run(1 "${dir}\\${arch}\\feroxhost.exe" probe)
        expect_in("${output}" "driver        Pellinor ASIO" "ASIO Pellinor Driver Enum Failure!")
    endforeach()
    expect_key(64 "${uninstall_key}" DisplayName=feroxasio "DisplayVersion=${version}"
               "Publisher=The feroxasio developers" "InstallLocation=${dir}"
               "UninstallString=\"${dir}\\uninstall.exe\""
               "QuietUninstallString=\"${dir}\\uninstall.exe\" /S" NoModify=0x1 NoRepair=0x1)
    if(NOT values MATCHES "EstimatedSize    REG_DWORD    0x[1-9a-f]")
        fail("no EstimatedSize:\n${values}")
    endif()
    unix_path(udir "${dir}")
    set(files uninstall.exe readme.txt LICENSE.txt x86/feroxhost.exe)
    if(PART STREQUAL "windows32")
        if(EXISTS "${udir}/x64")
            fail("a 64-bit folder on 32-bit Windows")
        endif()
    else()
        expect_no_key(32 "${uninstall_key}")
        list(APPEND files x64/feroxhost.exe)
    endif()
    foreach(f ${files})
        if(NOT EXISTS "${udir}/${f}")
            fail("${dir}: ${f} is missing")
        endif()
    endforeach()
    set(want_entry "")
    if(ARGC GREATER 2)
        set(want_entry "${ARGV2}")
    endif()
    if(want_entry STREQUAL "none")
        if(EXISTS "${settings_link}")
            fail("a Start-menu entry ${version} did not have: ${settings_link}")
        endif()
    elseif(NOT EXISTS "${settings_link}")
        fail("no Start-menu entry ${settings_link}")
    elseif(NOT want_entry STREQUAL "")
        file(SHA256 "${settings_link}" entry)
        if(NOT entry STREQUAL want_entry)
            fail("the Start-menu entry is not the one ${version} made: ${settings_link}")
        endif()
    endif()
endfunction()

# Nothing of ours in either view and no folder DIR. (The ASIO list key itself stays, as it
# does on Windows: other drivers' entries live there.)
function(expect_absent dir)
    foreach(view 32 64)
        expect_no_key(${view} "HKCR\\CLSID\\${clsid}")
        expect_no_key(${view} "${driver_key}")
        expect_no_key(${view} "${uninstall_key}")
    endforeach()
    expect_absent_folder("${dir}")
    if(EXISTS "${settings_link}")
        fail("the Start-menu entry is left: ${settings_link}")
    endif()
endfunction()

function(expect_absent_folder dir)
    unix_path(udir "${dir}")
    if(EXISTS "${udir}")
        file(GLOB_RECURSE left "${udir}/*")
        fail("${dir} is left: ${left}")
    endif()
endfunction()

function(uninstall dir)
    run(0 "${dir}\\uninstall.exe" /S)
    settle()
endfunction()

# A setup program of another version, or from other files, built like the real one (or from the
# script given fourth).
function(make_setup out version stage)
    set(nsi "${NSI}")
    if(ARGC GREATER 3)
        set(nsi "${ARGV3}")
    endif()
    execute_process(COMMAND makensis -V2 -DVERSION=${version} -DSTAGE=${stage} -DOUTFILE=${out}
                            ${nsi} RESULT_VARIABLE rc OUTPUT_VARIABLE log ERROR_VARIABLE log)
    if(NOT rc EQUAL 0)
        fail("makensis failed:\n${log}")
    endif()
endfunction()

windows_path(setup_w "${setup}")

if(PART STREQUAL "binaries")
    # What ships: stripped, versioned, the same exports, the debug information beside it.
    set(debug "${PACKAGE}/feroxasio-${VERSION}-debug")
    string(REPLACE "." ", " rc_version "${VERSION}")
    foreach(arch x64 x86)
        foreach(bin feroxasio.dll feroxhost.exe)
            set(file "${PACKAGE}/stage/${arch}/${bin}")
            execute_process(COMMAND ${OBJDUMP} -h "${file}" OUTPUT_VARIABLE sections)
            if(sections MATCHES "\\.debug_" OR NOT sections MATCHES "\\.gnu_debuglink")
                fail("${file}: debug sections in it, or no link to its debug file:\n${sections}")
            endif()
            execute_process(COMMAND ${OBJDUMP} -h "${debug}/${arch}/${bin}.debug"
                            OUTPUT_VARIABLE sections)
            if(NOT sections MATCHES "\\.debug_info")
                fail("${debug}/${arch}/${bin}.debug holds no debug information")
            endif()
            execute_process(COMMAND ${WINDRES} -J coff -O rc -i "${file}"
                            OUTPUT_VARIABLE resource RESULT_VARIABLE rc)
            if(bin STREQUAL "feroxasio.dll")
                set(description "ASIO driver for the ferox USB DAC")
            else()
                set(description "ASIO host for checking and playing")
            endif()
            expect_in("${resource}" "FILEVERSION ${rc_version}, 0" "PRODUCTVERSION ${rc_version}, 0"
                      "\"FileVersion\", \"${VERSION}\"" "\"ProductVersion\", \"${VERSION}\""
                      "\"ProductName\", \"feroxasio\"" "\"FileDescription\", \"${description}\""
                      "\"OriginalFilename\", \"${bin}\"" "MIT License")
        endforeach()
        set(dll "${PACKAGE}/stage/${arch}/feroxasio.dll")
        execute_process(COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${OBJDUMP} -DDLL=${dll}
            "-DEXPORTS=DllCanUnloadNow\;DllGetClassObject\;DllMain\;DllRegisterServer\;DllUnregisterServer\;FeroxDiagnose"
            -P ${CHECK_DLL} RESULT_VARIABLE rc OUTPUT_VARIABLE log ERROR_VARIABLE log)
        if(NOT rc EQUAL 0)
            fail("${log}")
        endif()
        file(SIZE "${dll}" size)
        if(size GREATER 600000)
            fail("${dll} is ${size} bytes")
        endif()
    endforeach()

    execute_process(COMMAND ${WINDRES} -J coff -O rc -i "${setup}" OUTPUT_VARIABLE resource)
    expect_in("${resource}" "\"FileVersion\", \"${VERSION}\"" "\"ProductName\", \"feroxasio\"")

    # The zip: exactly these entries, the same files, the readme in Windows line ends.
    file(REMOVE_RECURSE "${WORK}/zip")
    file(MAKE_DIRECTORY "${WORK}/zip")
    execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf "${PACKAGE}/feroxasio-${VERSION}.zip"
                    WORKING_DIRECTORY "${WORK}/zip" RESULT_VARIABLE rc)
    file(GLOB_RECURSE entries RELATIVE "${WORK}/zip" "${WORK}/zip/*")
    list(SORT entries)
    set(want LICENSE.txt readme.txt x64/feroxasio.dll x64/feroxhost.exe x86/feroxasio.dll
             x86/feroxhost.exe)
    if(NOT rc EQUAL 0 OR NOT entries STREQUAL want)
        fail("the zip holds '${entries}', expected '${want}'")
    endif()
    foreach(f ${want})
        file(SHA256 "${WORK}/zip/${f}" a)
        file(SHA256 "${PACKAGE}/stage/${f}" b)
        if(NOT a STREQUAL b)
            fail("${f} in the zip differs from the one the setup program carries")
        endif()
    endforeach()
    execute_process(COMMAND awk "!/\r$/" "${WORK}/zip/readme.txt" OUTPUT_VARIABLE bare)
    if(NOT bare STREQUAL "")
        fail("readme.txt has lines without CR:\n${bare}")
    endif()
    file(READ "${WORK}/zip/readme.txt" readme)
    expect_in("${readme}" "feroxasio ${VERSION}"
              "  regsvr32 \"C:\\Program Files\\feroxasio\\x64\\feroxasio.dll\""
              "  %windir%\\SysWOW64\\regsvr32 \"C:\\Program Files\\feroxasio\\x86\\feroxasio.dll\"")
elseif(PART STREQUAL "install" OR PART STREQUAL "windows32")
    # A machine that never saw the driver, then the removal. On 32-bit Windows (a prefix of its
    # own) only the 32-bit half applies, and the one registry view takes everything.
    expect_absent("${default_dir}")
    run(0 "${setup_w}" /S)
    settle()
    expect_installed("${default_dir}" "${VERSION}")
    uninstall("${default_dir}")
    expect_absent("${default_dir}")
elseif(PART STREQUAL "upgrade")
    # Twice over itself, then over an older version: one installation, of the new version.
    run(0 "${setup_w}" /S)
    run(0 "${setup_w}" /S)
    settle()
    expect_installed("${default_dir}" "${VERSION}")
    uninstall("${default_dir}")
    make_setup("${WORK}/old-setup.exe" 0.9.0 "${PACKAGE}/stage")
    windows_path(old_w "${WORK}/old-setup.exe")
    run(0 "${old_w}" /S)
    settle()
    expect_installed("${default_dir}" 0.9.0)
    run(0 "${setup_w}" /S)
    settle()
    expect_installed("${default_dir}" "${VERSION}")
    # Told another folder, it moves there and the old folder goes. (/D= is read only unquoted,
    # hence a folder without spaces.)
    set(moved "C:\\feroxasio-moved")
    run(0 "${setup_w}" /S "/D=${moved}")
    settle()
    expect_installed("${moved}" "${VERSION}")
    expect_absent_folder("${default_dir}")
    uninstall("${moved}")
    expect_absent("${moved}")
elseif(PART STREQUAL "failure")
    # The 32-bit DLL replaced by the 64-bit DLL (regsvr32 hands that to its 64-bit self, which
    # registers it in the wrong view and reports success), then by a file no Windows loads. The
    # 64-bit DLL is registered by then, and goes again with everything else.
    foreach(case wrong-bitness text)
        file(REMOVE_RECURSE "${WORK}/stage")
        file(COPY "${PACKAGE}/stage/" DESTINATION "${WORK}/stage")
        if(case STREQUAL "text")
            file(WRITE "${WORK}/stage/x86/feroxasio.dll" "not a DLL\n")
        else()
            file(COPY_FILE "${PACKAGE}/stage/x64/feroxasio.dll" "${WORK}/stage/x86/feroxasio.dll")
        endif()
        make_setup("${WORK}/broken-setup.exe" "${VERSION}" "${WORK}/stage")
        windows_path(broken_w "${WORK}/broken-setup.exe")
        run(2 "${broken_w}" /S)
        settle()
        expect_absent("${default_dir}")
    endforeach()
    # The same failure as an upgrade: version 0.9.0 comes back, files, registration and its own
    # entry, which runs another command than this version's (an earlier feroxhost may have no
    # panel).
    file(READ "${NSI}" script)
    string(REPLACE "\"panel\"" "\"list\"" earlier "${script}")
    if(earlier STREQUAL script)
        fail("${NSI} makes no entry running \"panel\"")
    endif()
    file(WRITE "${WORK}/earlier.nsi" "${earlier}")
    make_setup("${WORK}/old-setup.exe" 0.9.0 "${PACKAGE}/stage" "${WORK}/earlier.nsi")
    windows_path(old_w "${WORK}/old-setup.exe")
    run(0 "${old_w}" /S)
    settle()
    file(SHA256 "${settings_link}" old_entry)
    run(2 "${broken_w}" /S)
    settle()
    expect_installed("${default_dir}" 0.9.0 "${old_entry}")
    run(0 cmd /c "type %TEMP%\\feroxasio-setup.log")
    expect_in("${output}" "Registering the 32-bit driver ${default_dir}\\x86\\feroxasio.dll failed: "
              "feroxasio 0.9.0 stays installed.")
    # Told another folder, the failure leaves 0.9.0 where it was, and nothing in that folder.
    set(moved "C:\\feroxasio-moved")
    run(2 "${broken_w}" /S "/D=${moved}")
    settle()
    expect_installed("${default_dir}" 0.9.0 "${old_entry}")
    expect_absent_folder("${moved}")
    run(0 cmd /c "type %TEMP%\\feroxasio-setup.log")
    expect_in("${output}" "Registering the 32-bit driver ${moved}\\x86\\feroxasio.dll failed: "
              "feroxasio 0.9.0 stays installed in ${default_dir}.")
    # An earlier version without an entry gets none from a failed upgrade.
    file(REMOVE "${settings_link}")
    run(2 "${broken_w}" /S)
    settle()
    expect_installed("${default_dir}" 0.9.0 none)
    uninstall("${default_dir}")
    expect_absent("${default_dir}")
    # A DLL deleted by hand cannot unregister itself: the uninstaller still takes its keys.
    run(0 "${setup_w}" /S)
    settle()
    unix_path(dll "${default_dir}\\x64\\feroxasio.dll")
    file(REMOVE "${dll}")
    uninstall("${default_dir}")
    expect_absent("${default_dir}")
else()
    fail("unknown PART '${PART}'")
endif()
message(STATUS "installer ${PART}: ok")
