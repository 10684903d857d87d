; The Windows installer: rs485setup.exe and rs485ctl.exe under Program Files,
; a Start-menu entry, an uninstaller and its entry in "Programs and Features".
; Built by CMake with makensis; /S installs silently.
;   makensis -DVERSION=x.y.z -DVERSION4=x.y.z.0 -DPUBLISHER=... -DICON=... -DSETUP_EXE=... -DCTL_EXE=...
;            -DOUTFILE=... -DSIGN_UNINSTALLER=COMMAND rs485setup.nsi

Unicode true
; 64-bit, like the programs: Wine here runs 64-bit programs only.
Target amd64-unicode
!include "MUI2.nsh"
!include "x64.nsh"
!include "LogicLib.nsh"
!include "FileFunc.nsh"

!define NAME "rs485setup"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${NAME}"
; Held by every running rs485setup.exe and rs485ctl.exe (platform/running_win32.h).
!define RUNNING_MUTEX "Global\rs485setup-running"

Name "${NAME} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${NAME}"
; Over an earlier installation, in its folder: one copy, one uninstall entry.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
; The uninstaller is signed as the programs are, before it is packed.
!uninstfinalize '${SIGN_UNINSTALLER}'

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "Russian"
!insertmacro MUI_LANGUAGE "English"

LangString ProgramRuns ${LANG_RUSSIAN} "Программа rs485setup или rs485ctl сейчас запущена. Закройте её и повторите."
LangString ProgramRuns ${LANG_ENGLISH} "rs485setup or rs485ctl is running. Close it and try again."

VIProductVersion "${VERSION4}"
VIFileVersion "${VERSION4}"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "ProductName" "${NAME}"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "FileDescription" "Установка ${NAME} ${VERSION}"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "LegalCopyright" "© 2026 ${PUBLISHER}"

; A program that runs keeps its file: replacing or removing it now would
; leave a half-installed package. Refused with a message; silently, with exit
; code 2. A mutex that is there but not ours to open (another user's program)
; counts too.
!macro RefuseWhileRunning
  System::Call 'kernel32::OpenMutexW(i 0x00100000, i 0, w "${RUNNING_MUTEX}") p .r0 ?e'
  Pop $1
  ${If} $0 P<> 0
    System::Call 'kernel32::CloseHandle(p r0)'
  ${EndIf}
  ${If} $0 P<> 0
  ${OrIf} $1 = 5
    MessageBox MB_OK|MB_ICONSTOP "$(ProgramRuns)" /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}
!macroend

Function .onInit
  SetRegView 64  ; a 64-bit program: its uninstall entry in the 64-bit view
  !insertmacro RefuseWhileRunning
FunctionEnd

Function un.onInit
  SetRegView 64
  !insertmacro RefuseWhileRunning
FunctionEnd

Section "Install"
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  File "/oname=rs485setup.exe" "${SETUP_EXE}"
  File "/oname=rs485ctl.exe" "${CTL_EXE}"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\${NAME}.lnk" "$INSTDIR\rs485setup.exe"
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${NAME}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\rs485setup.exe,0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  Delete "$SMPROGRAMS\${NAME}.lnk"
  Delete "$INSTDIR\rs485setup.exe"
  Delete "$INSTDIR\rs485ctl.exe"
  Delete "$INSTDIR\uninstall.exe"
  Delete "$INSTDIR\port.out"  ; the log earlier versions wrote here
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
