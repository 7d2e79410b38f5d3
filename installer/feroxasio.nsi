; The feroxasio setup program: both bitnesses of the driver and of feroxhost in one folder under
; Program Files, each DLL registered by the regsvr32 of its own bitness, into the registry view
; that hosts of that bitness read.
;   makensis -DVERSION=1.2.3 -DSTAGE=dir -DOUTFILE=setup.exe [-DCOPYRIGHT=text] [-DSIM] feroxasio.nsi
; STAGE holds x64\ and x86\ (feroxasio.dll, feroxhost.exe), readme.txt and LICENSE.txt.
; Silent (/S) exit codes: 0 installed, 3010 installed but a restart finishes it, 2 failed,
; 740 not run as administrator.

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

; Everything this program puts in place, taken away again. A file a running program holds goes
; when Windows restarts.
!macro RemoveInstallation
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

  Delete /REBOOTOK "$INSTDIR\x64\feroxasio.dll"
  Delete /REBOOTOK "$INSTDIR\x64\feroxhost.exe"
  Delete /REBOOTOK "$INSTDIR\x86\feroxasio.dll"
  Delete /REBOOTOK "$INSTDIR\x86\feroxhost.exe"
  Delete "$INSTDIR\readme.txt"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\uninstall.exe"
  SetShellVarContext all
  Delete "$SMPROGRAMS\${SETTINGS_LINK}"
  ; Only emptied folders go: whatever else someone put there stays.
  RMDir /REBOOTOK "$INSTDIR\x64"
  RMDir /REBOOTOK "$INSTDIR\x86"
  RMDir /REBOOTOK "$INSTDIR"
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

; Registers the DLL with the given regsvr32; a failure ends the installation with the reason.
!macro Register REGSVR32 DLL WHAT
  StrCpy $R9 ""
  ClearErrors
  ExecWait '"${REGSVR32}" /s "${DLL}"' $0
  ${If} ${Errors}
    StrCpy $R9 "${REGSVR32} could not be started"
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
    Call RegistrationFailed
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
  ${If} $R9 == ""
    DetailPrint "Registered the ${WHAT} driver: ${DLL}"
  ${Else}
    Call RegistrationFailed
  ${EndIf}
!macroend

Function RegistrationFailed
  DetailPrint "$R9"
  ; Nothing half-installed stays: a driver list entry without a loadable DLL only confuses hosts.
  !insertmacro RemoveInstallation
  MessageBox MB_OK|MB_ICONSTOP "$R9$\r$\n$\r$\n${PRODUCT} was not installed." /SD IDOK
  SetErrorLevel 2
  Abort "${PRODUCT} was not installed."
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
  ; Installed elsewhere before: that copy goes first, so exactly one stays.
  ${If} $PreviousDir != ""
  ${AndIf} $PreviousDir != $INSTDIR
  ${AndIf} ${FileExists} "$PreviousDir\uninstall.exe"
    DetailPrint "Removing the installation in $PreviousDir"
    ExecWait '"$PreviousDir\uninstall.exe" /S _?=$PreviousDir'
    Delete "$PreviousDir\uninstall.exe"
    RMDir "$PreviousDir"
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
  ; feroxhost is a console program: its console starts minimised and goes once the window shows.
  SetShellVarContext all
  ${If} ${RunningX64}
    StrCpy $0 "$INSTDIR\x64\feroxhost.exe"
  ${Else}
    StrCpy $0 "$INSTDIR\x86\feroxhost.exe"
  ${EndIf}
  CreateShortCut "$SMPROGRAMS\${SETTINGS_LINK}" "$0" "panel" "$0" 0 SW_SHOWMINIMIZED "" \
      "The ferox DAC driver's settings: buffer size and status"

  ; What an earlier installation here registered must not pass for this one's registration.
  ${If} ${RunningX64}
    SetRegView 64
    !insertmacro DropOwnKeys "$INSTDIR\x64\feroxasio.dll"
  ${EndIf}
  SetRegView 32
  !insertmacro DropOwnKeys "$INSTDIR\x86\feroxasio.dll"
  !insertmacro SetNativeView
  ${If} ${RunningX64}
    ${DisableX64FSRedirection}
    !insertmacro Register "$WINDIR\System32\regsvr32.exe" "$INSTDIR\x64\feroxasio.dll" "64-bit"
    ${EnableX64FSRedirection}
    !insertmacro Register "$WINDIR\SysWOW64\regsvr32.exe" "$INSTDIR\x86\feroxasio.dll" "32-bit"
    !insertmacro CheckRegistration 64 "$INSTDIR\x64\feroxasio.dll" "64-bit"
  ${Else}
    !insertmacro Register "$SYSDIR\regsvr32.exe" "$INSTDIR\x86\feroxasio.dll" "32-bit"
  ${EndIf}
  !insertmacro CheckRegistration 32 "$INSTDIR\x86\feroxasio.dll" "32-bit"

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
