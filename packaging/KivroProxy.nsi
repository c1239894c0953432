; The Windows installers of KivroProxy: the program into Program Files, a
; Start-menu shortcut, an optional "start at logon" entry for the installing
; user, and an uninstaller that removes all of it and, only when the user says
; so, the settings key. The build passes the files and the output name with -D;
; ARCH picks the build: x86 (the 32-bit program, the x86 stub, the 32-bit
; folder and registry view; runs on any Windows) or x64 (the 64-bit program,
; the amd64 stub, the 64-bit folder and view). One script for both, rather than
; one per architecture, so the build the tests run under 64-bit Wine (x64) is
; the same script the 32-bit installer is made from. The amd64 stub is itself
; the x64 check: 32-bit Windows refuses to start it.
;
; Command-line switches (besides NSIS's own /S and /D=folder):
;   installer   /STARTATLOGON    select "Start at logon" (for silent installs)
;   uninstaller /REMOVESETTINGS  remove the settings key without asking (a
;                                silent uninstall otherwise keeps it)

!ifndef ARCH
  !define ARCH x86
!endif
!if "${ARCH}" == "x64"
  Target amd64-unicode
  !define VIEW 64
  !define OTHER "32-bit"
!else if "${ARCH}" == "x86"
  Target x86-unicode
  !define VIEW 32
  !define OTHER "64-bit"
!else
  !error "ARCH is x86 or x64, not ${ARCH}"
!endif
!macro REQUIRE name
  !ifndef ${name}
    !error "pass ${name} with -D${name}=..."
  !endif
!macroend
!insertmacro REQUIRE VERSION
!insertmacro REQUIRE EXE
!insertmacro REQUIRE ICON
!insertmacro REQUIRE README
!insertmacro REQUIRE GUIDE
!insertmacro REQUIRE SHOTS
!insertmacro REQUIRE OUTFILE

!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh
!include x64.nsh

!define APP "KivroProxy"
!define PUBLISHER "Ostraven"
!define SETTINGS_KEY "Software\Ostraven\KivroProxy"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\KivroProxy"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"

Name "${APP} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES${VIEW}\${APP}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
BrandingText "${APP} ${VERSION}"

VIProductVersion "${VERSION}.0.0"
VIAddVersionKey "ProductName" "${APP}"
VIAddVersionKey "CompanyName" "${PUBLISHER}"
VIAddVersionKey "FileDescription" "${APP} installer"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "Copyright (c) 2009-2026 Ostraven"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_FINISHPAGE_RUN "$INSTDIR\KivroProxy.exe"
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\docs\USER-GUIDE.md"
!define MUI_FINISHPAGE_SHOWREADME_TEXT "Open the user guide"
!define MUI_FINISHPAGE_SHOWREADME_NOTCHECKED

!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; Closes every running KivroProxy window (its class name is the program's name)
; the way File > Exit does, so the program stores its state and lets go of its
; files. Asks first unless silent; Cancel aborts. $0: the function's own.
!macro CLOSE_RUNNING prefix
Function ${prefix}CloseRunning
  FindWindow $0 "${APP}"
  ${If} $0 == 0
    Return
  ${EndIf}
  MessageBox MB_OKCANCEL|MB_ICONINFORMATION "${APP} is running. OK closes it and goes on." /SD IDOK IDOK close
  Abort
close:
  ${For} $1 1 20
    FindWindow $0 "${APP}"
    ${If} $0 == 0
      ${Break}
    ${EndIf}
    ; The process holds its files a while after its window has gone: wait
    ; for the process itself. Its shut-down waits up to 2 s for its worker.
    System::Call 'user32::GetWindowThreadProcessId(p r0, *i .r2)'
    System::Call 'kernel32::OpenProcess(i 0x00100000, i 0, i r2) p .r3'
    SendMessage $0 ${WM_CLOSE} 0 0 /TIMEOUT=5000
    ${If} $3 != 0
      System::Call 'kernel32::WaitForSingleObject(p r3, i 10000)'
      System::Call 'kernel32::CloseHandle(p r3)'
    ${Else}
      Sleep 1000
    ${EndIf}
  ${Next}
  FindWindow $0 "${APP}"
  ${If} $0 != 0
    MessageBox MB_OK|MB_ICONSTOP "${APP} could not be closed. Exit it and try again." /SD IDOK
    Abort
  ${EndIf}
FunctionEnd
!macroend
!insertmacro CLOSE_RUNNING ""
!insertmacro CLOSE_RUNNING "un."

Section "KivroProxy (required)" SecMain
  SectionIn RO
  Call CloseRunning
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  File "/oname=KivroProxy.exe" "${EXE}"
  File "/oname=README.md" "${README}"
  SetOutPath "$INSTDIR\docs"
  File "/oname=USER-GUIDE.md" "${GUIDE}"
  SetOutPath "$INSTDIR\docs\screenshots"
  File "${SHOTS}\*.png"
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  DeleteRegValue HKCU "${RUN_KEY}" "${APP}"
  CreateShortcut "$SMPROGRAMS\${APP}.lnk" "$INSTDIR\KivroProxy.exe" "" "$INSTDIR\KivroProxy.exe" 0

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${APP}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\KivroProxy.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

; For the installing user only: the Run key lives under HKEY_CURRENT_USER.
Section /o "Start at logon" SecLogon
  WriteRegStr HKCU "${RUN_KEY}" "${APP}" '"$INSTDIR\KivroProxy.exe"'
SectionEnd

; The 32- and 64-bit programs share the Start-menu shortcut, the Run entry and
; the settings, so only one of them may be installed: uninstalling the other
; would take this one's shortcut and Run entry along. Replacing it silently
; was not taken: its uninstaller may ask questions of its own.
Function RefuseOtherBuild
!if ${VIEW} == 32
  ; A 32-bit Windows has one view only: the key read would be this build's.
  ${IfNot} ${RunningX64}
    Return
  ${EndIf}
  SetRegView 64
!else
  SetRegView 32
!endif
  ReadRegStr $R4 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  SetRegView ${VIEW}
  ${If} $R4 != ""
    MessageBox MB_OK|MB_ICONSTOP "The ${OTHER} ${APP} is installed in $R4. Uninstall it first (answer No to its question to keep your settings), then run this installer again." /SD IDOK
    Abort
  ${EndIf}
FunctionEnd

; After the sections: it needs their indexes.
Function .onInit
  Call RefuseOtherBuild
  SetRegView ${VIEW}
  ; Selected when asked for, or when an earlier installation has the entry, so
  ; an update keeps it; unticking it removes it.
  ReadRegStr $R3 HKCU "${RUN_KEY}" "${APP}"
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/STARTATLOGON" $R1
  ${IfNot} ${Errors}
  ${OrIf} $R3 != ""
    SectionSetFlags ${SecLogon} ${SF_SELECTED}
  ${EndIf}
FunctionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecMain} "The program, its README and user guide, and a Start-menu shortcut."
  !insertmacro MUI_DESCRIPTION_TEXT ${SecLogon} "Start KivroProxy when you log on to Windows. It starts in the tray if it was minimised when it last ended."
!insertmacro MUI_FUNCTION_DESCRIPTION_END

Function un.onInit
  SetRegView ${VIEW}
FunctionEnd

Section "Uninstall"
  Call un.CloseRunning
  SetShellVarContext all
  Delete "$INSTDIR\KivroProxy.exe"
  Delete "$INSTDIR\README.md"
  Delete "$INSTDIR\docs\USER-GUIDE.md"
  Delete "$INSTDIR\docs\screenshots\*.png"
  RMDir "$INSTDIR\docs\screenshots"
  RMDir "$INSTDIR\docs"
  Delete "$INSTDIR\Uninstall.exe"
  ; Not /r: anything the user put in the folder stays, and so does the folder.
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\${APP}.lnk"
  DeleteRegValue HKCU "${RUN_KEY}" "${APP}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"

  ${un.GetParameters} $R0
  ClearErrors
  ${un.GetOptions} $R0 "/REMOVESETTINGS" $R1
  ${If} ${Errors}
    MessageBox MB_YESNO|MB_ICONQUESTION "Also remove your KivroProxy settings (ports, TCP port, synchronisation)?" /SD IDNO IDYES remove
    Goto done
  ${EndIf}
remove:
  DeleteRegKey HKCU "${SETTINGS_KEY}"
  DeleteRegKey /ifempty HKCU "Software\Ostraven"
done:
SectionEnd
