; The feroxasio setup program: both bitnesses of the driver and of feroxhost in one folder under
; Program Files, each DLL registered by the regsvr32 of its own bitness, into the registry view
; that hosts of that bitness read.
;   makensis -DVERSION=1.2.3 -DSTAGE=dir -DOUTFILE=setup.exe [-DCOPYRIGHT=text] [-DSIM] feroxasio.nsi
; STAGE holds x64\ and x86\ (feroxasio.dll, feroxhost.exe), readme.txt and LICENSE.txt.
; Silent (/S) exit codes: 0 installed, 3010 installed but a restart finishes it, 2 failed (the
; reason in %TEMP%\feroxasio-setup.log), 740 not run as administrator.

Unicode true
ManifestSupportedOS all
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!include LogicLib.nsh
!include x64.nsh
!include FileFunc.nsh
!include MUI2.nsh

!define CLSID "{3739839C-CE45-4C86-8C77-D40451739198}"
!define DRIVER_KEY "SOFTWARE\ASIO\ASIO ferox Driver"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\feroxasio"
; The settings window for everyone, outside any host.
!define SETTINGS_LINK "feroxasio settings.lnk"
!define PUBLISHER "The feroxasio developers"
!ifndef COPYRIGHT
  !define COPYRIGHT "MIT License"
!endif
!ifdef SIM
  !define PRODUCT "feroxasio (simulated DAC)"
!else
  !define PRODUCT "feroxasio"
!endif

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
BrandingText "${PRODUCT} ${VERSION}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} setup"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "${COPYRIGHT}"

!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_LICENSE "${STAGE}\LICENSE.txt"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Var PreviousDir
Var PreviousVersion
; 1 when this replaces an installation in the same folder: a failure then puts it back.
Var Upgrading
; 1 while an installation in another folder waits for this one to be registered before it goes;
; 2 once it is gone.
Var Moving

; ---- Shared by setup and uninstaller (NSIS keeps their functions apart, hence macros)

; The view of the setup program's own registry writes: the native one.
!macro SetNativeView
  ${If} ${RunningX64}
    SetRegView 64
  ${Else}
    SetRegView 32
  ${EndIf}
!macroend

; Our two keys in the current view, when the class still names our DLL: what regsvr32 /u leaves
; behind when the DLL can no longer be loaded. Another installation's registration stays.
!macro DropOwnKeys DLL
  ReadRegStr $1 HKCR "CLSID\${CLSID}\InprocServer32" ""
  ${If} $1 == "${DLL}"
    DeleteRegKey HKCR "CLSID\${CLSID}"
    ReadRegStr $1 HKLM "${DRIVER_KEY}" "CLSID"
    ${If} $1 == "${CLSID}"
      DeleteRegKey HKLM "${DRIVER_KEY}"
    ${EndIf}
  ${EndIf}
!macroend

; Both DLLs unregistered, and their keys gone even where regsvr32 could not load them.
!macro UnregisterInstallation
  ${If} ${RunningX64}
    ${DisableX64FSRedirection}
    ExecWait '"$WINDIR\System32\regsvr32.exe" /u /s "$INSTDIR\x64\feroxasio.dll"'
    ${EnableX64FSRedirection}
    SetRegView 64
    !insertmacro DropOwnKeys "$INSTDIR\x64\feroxasio.dll"
    ExecWait '"$WINDIR\SysWOW64\regsvr32.exe" /u /s "$INSTDIR\x86\feroxasio.dll"'
  ${Else}
    ExecWait '"$SYSDIR\regsvr32.exe" /u /s "$INSTDIR\x86\feroxasio.dll"'
  ${EndIf}
  SetRegView 32
  !insertmacro DropOwnKeys "$INSTDIR\x86\feroxasio.dll"
  !insertmacro SetNativeView
!macroend

; The files in $INSTDIR and their registration taken away. A file a running program holds goes
; when Windows restarts.
!macro RemoveFiles
  !insertmacro UnregisterInstallation
  Delete /REBOOTOK "$INSTDIR\x64\feroxasio.dll"
  Delete /REBOOTOK "$INSTDIR\x64\feroxhost.exe"
  Delete /REBOOTOK "$INSTDIR\x86\feroxasio.dll"
  Delete /REBOOTOK "$INSTDIR\x86\feroxhost.exe"
  Delete "$INSTDIR\readme.txt"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\uninstall.exe"
  ; Only emptied folders go: whatever else someone put there stays.
  RMDir /REBOOTOK "$INSTDIR\x64"
  RMDir /REBOOTOK "$INSTDIR\x86"
  RMDir /REBOOTOK "$INSTDIR"
!macroend

; Everything this program puts in place, taken away again.
!macro RemoveInstallation
  !insertmacro RemoveFiles
  SetShellVarContext all
  Delete "$SMPROGRAMS\${SETTINGS_LINK}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
!macroend

; ---- Setup

; Puts one file of ARCH in place. A file a running host holds (the DLL in a player, feroxhost in a
; console) is swapped in when Windows restarts; the reboot flag says so at the end.
!macro PutFile ARCH NAME
  SetOutPath "$INSTDIR\${ARCH}"
  ClearErrors
  SetOverwrite try
  File "${STAGE}\${ARCH}\${NAME}"
  SetOverwrite on
  ${If} ${Errors}
    File "/oname=${NAME}.new" "${STAGE}\${ARCH}\${NAME}"
    Rename /REBOOTOK "$INSTDIR\${ARCH}\${NAME}.new" "$INSTDIR\${ARCH}\${NAME}"
    DetailPrint "$INSTDIR\${ARCH}\${NAME} is in use: it is replaced when Windows restarts."
  ${EndIf}
!macroend

; Registers the DLL with the given regsvr32 (System32 is the 64-bit one: no redirection); a failure
; returns from the function with its reason in $R9.
!macro Register REGSVR32 DLL WHAT
  StrCpy $R9 ""
  ${If} ${RunningX64}
    ${DisableX64FSRedirection}
  ${EndIf}
  ClearErrors
  ExecWait '"${REGSVR32}" /s "${DLL}"' $0
  ${If} ${Errors}
    StrCpy $R9 "${REGSVR32} could not be started"
  ${EndIf}
  ${If} ${RunningX64}
    ${EnableX64FSRedirection}
  ${EndIf}
  ${If} $R9 != ""
  ${ElseIf} $0 == 3
    StrCpy $R9 "Windows could not load the DLL (regsvr32 exit code 3)"
  ${ElseIf} $0 == 4
    StrCpy $R9 "the DLL has no DllRegisterServer (regsvr32 exit code 4)"
  ${ElseIf} $0 == 5
    StrCpy $R9 "the DLL's DllRegisterServer reported a failure (regsvr32 exit code 5)"
  ${ElseIf} $0 != 0
    StrCpy $R9 "regsvr32 exit code $0"
  ${EndIf}
  ${If} $R9 != ""
    StrCpy $R9 "Registering the ${WHAT} driver ${DLL} failed: $R9."
    Return
  ${EndIf}
!macroend

; Checks in the registry view VIEW that the class names DLL and the ASIO list holds the entry:
; regsvr32 can report success for a DLL of the other bitness, registered in the wrong view.
!macro CheckRegistration VIEW DLL WHAT
  StrCpy $R9 ""
  SetRegView ${VIEW}
  ReadRegStr $1 HKCR "CLSID\${CLSID}\InprocServer32" ""
  ReadRegStr $2 HKLM "${DRIVER_KEY}" "CLSID"
  !insertmacro SetNativeView
  ${If} $1 == ""
    StrCpy $R9 "Registering the ${WHAT} driver ${DLL} failed: its class is not registered."
  ${ElseIf} $1 != "${DLL}"
    StrCpy $R9 "Registering the ${WHAT} driver ${DLL} failed: its class is registered for '$1'."
  ${ElseIf} $2 != "${CLSID}"
    StrCpy $R9 "Registering the ${WHAT} driver ${DLL} failed: the ASIO driver list has no entry."
  ${EndIf}
  ${If} $R9 != ""
    Return
  ${EndIf}
  DetailPrint "Registered the ${WHAT} driver: ${DLL}"
!macroend

; Registers the DLLs in $INSTDIR, each with the regsvr32 of its bitness; $R9 is empty or the reason
; of the first failure.
Function RegisterDrivers
  ${If} ${RunningX64}
    !insertmacro Register "$WINDIR\System32\regsvr32.exe" "$INSTDIR\x64\feroxasio.dll" "64-bit"
    !insertmacro Register "$WINDIR\SysWOW64\regsvr32.exe" "$INSTDIR\x86\feroxasio.dll" "32-bit"
    !insertmacro CheckRegistration 64 "$INSTDIR\x64\feroxasio.dll" "64-bit"
  ${Else}
    !insertmacro Register "$SYSDIR\regsvr32.exe" "$INSTDIR\x86\feroxasio.dll" "32-bit"
  ${EndIf}
  !insertmacro CheckRegistration 32 "$INSTDIR\x86\feroxasio.dll" "32-bit"
FunctionEnd

; Ends the installation: the reason $R9 and the outcome $R8 shown, and kept for silent runs.
Function Fail
  DetailPrint "$R9"
  FileOpen $0 "$TEMP\feroxasio-setup.log" w
  FileWrite $0 "$R9$\r$\n$R8$\r$\n"
  FileClose $0
  MessageBox MB_OK|MB_ICONSTOP "$R9$\r$\n$\r$\n$R8" /SD IDOK
  SetErrorLevel 2
  Abort "$R8"
FunctionEnd

; The files an upgrade replaces; the folder names start with a backslash, or are empty.
!macro ForEachFile MACRO
  !insertmacro ${MACRO} "" readme.txt
  !insertmacro ${MACRO} "" LICENSE.txt
  !insertmacro ${MACRO} "" uninstall.exe
  !insertmacro ${MACRO} "\x64" feroxasio.dll
  !insertmacro ${MACRO} "\x64" feroxhost.exe
  !insertmacro ${MACRO} "\x86" feroxasio.dll
  !insertmacro ${MACRO} "\x86" feroxhost.exe
!macroend

!macro BackUpFile SUB NAME
  ${If} ${FileExists} "$INSTDIR${SUB}\${NAME}"
    CreateDirectory "$PLUGINSDIR\previous${SUB}"
    ClearErrors
    CopyFiles /SILENT /FILESONLY "$INSTDIR${SUB}\${NAME}" "$PLUGINSDIR\previous${SUB}"
    ${If} ${Errors}
    ${OrIfNot} ${FileExists} "$PLUGINSDIR\previous${SUB}\${NAME}"
      StrCpy $R9 "Keeping a copy of $INSTDIR${SUB}\${NAME} failed."
      StrCpy $R8 "${PRODUCT} $PreviousVersion stays installed, unchanged."
      Call Fail
    ${EndIf}
  ${EndIf}
!macroend

; A swap waiting for the restart is dropped: the file in place is still the old one.
!macro RestoreFile SUB NAME
  ${If} ${FileExists} "$INSTDIR${SUB}\${NAME}.new"
    Delete "$INSTDIR${SUB}\${NAME}.new"
  ${ElseIf} ${FileExists} "$PLUGINSDIR\previous${SUB}\${NAME}"
    ClearErrors
    CopyFiles /SILENT /FILESONLY "$PLUGINSDIR\previous${SUB}\${NAME}" "$INSTDIR${SUB}"
    ${If} ${Errors}
    ${AndIf} $R9 == ""
      StrCpy $R9 "$INSTDIR${SUB}\${NAME} could not be put back."
    ${EndIf}
  ${Else}
    Delete /REBOOTOK "$INSTDIR${SUB}\${NAME}"
  ${EndIf}
!macroend

; The installation this one was to replace, put back with its registration; $R9 is empty or why not.
Function RestorePrevious
  !insertmacro UnregisterInstallation
  StrCpy $R9 ""
  !insertmacro ForEachFile RestoreFile
  ${If} $R9 == ""
    Call RegisterDrivers
  ${EndIf}
FunctionEnd

; The installation in $PreviousDir run by its own uninstaller.
Function RemoveElsewhere
  DetailPrint "Removing the installation in $PreviousDir"
  ExecWait '"$PreviousDir\uninstall.exe" /S _?=$PreviousDir'
  Delete "$PreviousDir\uninstall.exe"
  RMDir "$PreviousDir"
FunctionEnd

; The installation in $PreviousDir registered again, over what this one's registration left;
; $R9 is empty or why not. Its files, entry and uninstall key were never touched.
Function RegisterElsewhere
  StrCpy $R6 $INSTDIR
  StrCpy $INSTDIR $PreviousDir
  Call RegisterDrivers
  StrCpy $INSTDIR $R6
FunctionEnd

Function RegistrationFailed
  StrCpy $R8 "${PRODUCT} was not installed."
  ${If} $Moving == 1
    DetailPrint "$R9"
    StrCpy $R7 $R9
    !insertmacro RemoveFiles
    Call RegisterElsewhere
    ${If} $R9 == ""
      StrCpy $R8 "${PRODUCT} $PreviousVersion stays installed in $PreviousDir."
      StrCpy $R9 $R7
    ${Else}
      StrCpy $R9 "$R7$\r$\nPutting back ${PRODUCT} $PreviousVersion failed too: $R9"
      ; Nothing half-registered stays, as after a failed upgrade in place.
      Call RemoveElsewhere
      StrCpy $Moving 2
    ${EndIf}
  ${ElseIf} $Upgrading == 1
    DetailPrint "$R9"
    StrCpy $R7 $R9
    Call RestorePrevious
    ${If} $R9 == ""
      StrCpy $R8 "${PRODUCT} $PreviousVersion stays installed."
      StrCpy $R9 $R7
    ${Else}
      StrCpy $R9 "$R7$\r$\nPutting back ${PRODUCT} $PreviousVersion failed too: $R9"
      StrCpy $Upgrading 0
    ${EndIf}
  ${EndIf}
  ${If} $Moving == 2
    StrCpy $R8 "${PRODUCT} $PreviousVersion was removed from $PreviousDir, and no version of "
    StrCpy $R8 "$R8${PRODUCT} is installed now: install one again."
  ${EndIf}
  ; Nothing half-installed stays: a driver list entry without a loadable DLL only confuses hosts.
  ${If} $Upgrading != 1
  ${AndIf} $Moving != 1
    !insertmacro RemoveInstallation
  ${EndIf}
  Call Fail
FunctionEnd

Function .onInit
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    MessageBox MB_OK|MB_ICONSTOP "Installing ${PRODUCT} needs administrator rights." /SD IDOK
    SetErrorLevel 740
    Quit
  ${EndIf}
  ; An existing installation is replaced where it is, unless /D names another folder.
  ReadRegStr $PreviousDir HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ReadRegStr $PreviousVersion HKLM "${UNINSTALL_KEY}" "DisplayVersion"
  ; A reason left by an earlier run must not pass for this one's.
  Delete "$TEMP\feroxasio-setup.log"
  ${If} $INSTDIR == ""
    ${If} $PreviousDir != ""
      StrCpy $INSTDIR $PreviousDir
    ${ElseIf} ${RunningX64}
      StrCpy $INSTDIR "$PROGRAMFILES64\feroxasio"
    ${Else}
      StrCpy $INSTDIR "$PROGRAMFILES\feroxasio"
    ${EndIf}
  ${EndIf}
FunctionEnd

Section "feroxasio"
  ; Installed elsewhere before: that copy stays as it is until this one is registered, so a
  ; failure leaves it working.
  StrCpy $Moving 0
  ${If} $PreviousDir != ""
  ${AndIf} $PreviousDir != $INSTDIR
  ${AndIf} ${FileExists} "$PreviousDir\uninstall.exe"
    StrCpy $Moving 1
  ${EndIf}
  ; Replaced where it is: a copy of it first, so a failure can put it back.
  StrCpy $Upgrading 0
  ${If} $PreviousDir == $INSTDIR
  ${AndIf} ${FileExists} "$INSTDIR\x86\feroxasio.dll"
    StrCpy $Upgrading 1
    InitPluginsDir
    !insertmacro ForEachFile BackUpFile
  ${EndIf}

  SetOutPath "$INSTDIR"
  File "${STAGE}\readme.txt"
  File "${STAGE}\LICENSE.txt"
  ${If} ${RunningX64}
    !insertmacro PutFile x64 feroxasio.dll
    !insertmacro PutFile x64 feroxhost.exe
  ${EndIf}
  !insertmacro PutFile x86 feroxasio.dll
  !insertmacro PutFile x86 feroxhost.exe
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; What an earlier installation here registered must not pass for this one's registration.
  ${If} ${RunningX64}
    SetRegView 64
    !insertmacro DropOwnKeys "$INSTDIR\x64\feroxasio.dll"
  ${EndIf}
  SetRegView 32
  !insertmacro DropOwnKeys "$INSTDIR\x86\feroxasio.dll"
  !insertmacro SetNativeView
  Call RegisterDrivers
  ${If} $R9 != ""
    Call RegistrationFailed
  ${EndIf}
  ${If} $Moving == 1
    Call RemoveElsewhere
    StrCpy $Moving 2
    ; Its DLLs' unregistration took the class and the list entry, whichever DLL they named.
    Call RegisterDrivers
    ${If} $R9 != ""
      Call RegistrationFailed
    ${EndIf}
  ${EndIf}

  ; Made only once this version is registered: a failure leaves the entry of the version that
  ; stays, whose feroxhost may know no panel command.
  ; feroxhost is a console program: its console starts minimised and goes once the window shows.
  SetShellVarContext all
  ${If} ${RunningX64}
    StrCpy $0 "$INSTDIR\x64\feroxhost.exe"
  ${Else}
    StrCpy $0 "$INSTDIR\x86\feroxhost.exe"
  ${EndIf}
  CreateShortCut "$SMPROGRAMS\${SETTINGS_LINK}" "$0" "panel" "$0" 0 SW_SHOWMINIMIZED "" \
      "The ferox DAC driver's settings: buffer size and status"

  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1

  ${If} ${RebootFlag}
    MessageBox MB_OK|MB_ICONINFORMATION "A running program still uses the driver or feroxhost. \
        The new version takes its place when Windows restarts." /SD IDOK
    SetErrorLevel 3010
  ${EndIf}
SectionEnd

; ---- Uninstaller

Function un.onInit
  !insertmacro SetNativeView
FunctionEnd

Section "Uninstall"
  !insertmacro RemoveInstallation
  ${If} ${RebootFlag}
    SetErrorLevel 3010
  ${EndIf}
SectionEnd
