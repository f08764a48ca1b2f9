; SPDX-License-Identifier: GPL-3.0-or-later
; Installer for 64-bit Windows, built by packaging/windows/make-installer.sh, which defines
; VERSION, VERSION_NUMBERS (its first four numbers), STAGE (the staged program folder), FILES
; (the install and uninstall lists made from it), ICON (tessaline.exe's own), OUTFILE and SIZE_KB.
;
; An install over an earlier one removes the files that the earlier one installed (it kept
; their list in the install folder) and this one does not; data files and anything else the
; installer did not put there stay. Installed again, the same version writes every file anew,
; which repairs an install whose files were deleted or damaged.
;
; Logging at sign-in is an optional component, off unless asked for. On the command line (and
; so in a silent install, /S) /STARTUP selects it with --start alone, the rest from the start
; values, and /STARTOPTIONS="--port COM3 --baud 9600" selects it with those options after
; --start; a value with spaces goes in double quotes inside single ones:
; /STARTOPTIONS='--folder "D:\Lab Data"'. Options tessaline refuses make no Startup shortcut
; and end the install with exit code 2.

Unicode true
; A 64-bit installer: it sees the 64-bit Program Files and registry, not their 32-bit views.
Target amd64-unicode

!macro TESSALINE_REQUIRE NAME
  !ifndef ${NAME}
    !error "${NAME} is not defined: run packaging/windows/package.sh rather than makensis"
  !endif
!macroend
!insertmacro TESSALINE_REQUIRE VERSION
!insertmacro TESSALINE_REQUIRE STAGE
!insertmacro TESSALINE_REQUIRE FILES
!insertmacro TESSALINE_REQUIRE OUTFILE
!insertmacro TESSALINE_REQUIRE SIZE_KB
!insertmacro TESSALINE_REQUIRE VERSION_NUMBERS
!insertmacro TESSALINE_REQUIRE ICON

!define PRODUCT "Tessaline Serial Data"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\TessalineSerialData"
!define SHORTCUT "$SMPROGRAMS\${PRODUCT}.lnk"
!define STARTUP_SHORTCUT "$SMSTARTUP\${PRODUCT}.lnk"
!define PUBLISHER "The Tessaline Serial Data developers"

!include "MUI2.nsh"
!include "FileFunc.nsh"
!include "LogicLib.nsh"
!include "Sections.nsh"
!include "StrFunc.nsh"
!include "TextFunc.nsh"
!include "${FILES}"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
; In place of the NSIS version line at the foot of every page.
BrandingText "${PRODUCT} ${VERSION}"
ShowInstDetails show
ShowUninstDetails show

; The setup file's own name and version, as Explorer shows them.
VIProductVersion "${VERSION_NUMBERS}"
VIFileVersion "${VERSION_NUMBERS}"
VIAddVersionKey /LANG=0 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=0 "FileDescription" "${PRODUCT} ${VERSION} Setup"
VIAddVersionKey /LANG=0 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=0 "LegalCopyright" "Copyright ${PUBLISHER}. GPL-3.0-or-later."

; The program's icon on the installer, the uninstaller and their pages.
!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_LICENSE "${STAGE}/LICENSE.txt"
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; The Startup shortcut's arguments: --start, then whatever /STARTOPTIONS gave.
Var StartOptions
; 1 when /STARTOPTIONS was given: its options replace those of a Startup shortcut already there.
Var StartOptionsGiven

Section "${PRODUCT}" SecProgram
  SectionIn RO
  Call RemoveStaleFiles
  !insertmacro TESSALINE_INSTALL_FILES
  !insertmacro TESSALINE_WRITE_MANIFEST
  WriteUninstaller "$INSTDIR\uninstall.exe"
  ; The shortcut starts in the install folder (the current output path).
  SetOutPath "$INSTDIR"
  CreateShortcut "${SHORTCUT}" "$INSTDIR\tessaline.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\tessaline.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" ${SIZE_KB}
SectionEnd

${StrStr}
; Reads the list an earlier install left and deletes each file on it that this version does not
; install, then its folders as far as they are empty. A file in use goes at the next restart.
; A line that is not a plain path inside the install folder is passed over.
Function RemoveStaleFiles
  ClearErrors
  FileOpen $R2 "$INSTDIR\${MANIFEST}" r
  IfErrors done
  next:
    ClearErrors
    FileRead $R2 $R0
    IfErrors end
    ${TrimNewLines} $R0 $R0
    StrCmp $R0 "" next
    StrCpy $R3 $R0 1
    StrCmp $R3 "\" next
    ${StrStr} $R3 $R0 ".."
    StrCmp $R3 "" 0 next
    ${StrStr} $R3 $R0 ":"
    StrCmp $R3 "" 0 next
    Call TessalineIsCurrentFile
    StrCmp $R1 1 next
    Delete /REBOOTOK "$INSTDIR\$R0"
    StrCpy $R3 $R0
    parent:
      ${GetParent} $R3 $R3
      StrCmp $R3 "" next
      RMDir "$INSTDIR\$R3"
      Goto parent
  end:
  FileClose $R2
  done:
FunctionEnd

!define REFUSED_TEXT "tessaline refuses the options $StartOptions, so it would not start at \
sign-in. The Startup shortcut was neither made nor changed; tessaline --help lists the options."

; The shortcut runs at every sign-in; the logger presses START once its window is up.
Section /o "Start logging at sign-in" SecStartup
  ; Kept as it is on an upgrade that names no options: it may have been edited since.
  ${If} ${FileExists} "${STARTUP_SHORTCUT}"
  ${AndIf} $StartOptionsGiven != 1
    Return
  ${EndIf}
  ; A refused option would fail unseen at each sign-in. Asked for --version as well,
  ; tessaline answers before any window, and only once it has taken every option (exit code 2
  ; otherwise).
  nsExec::Exec '"$INSTDIR\tessaline.exe" $StartOptions --version'
  Pop $0
  ${If} $0 != 0
    DetailPrint "tessaline refuses $StartOptions"
    MessageBox MB_OK|MB_ICONEXCLAMATION "${REFUSED_TEXT}" /SD IDOK
    SetErrorLevel 2
    Return
  ${EndIf}
  SetOutPath "$INSTDIR"
  CreateShortcut "${STARTUP_SHORTCUT}" "$INSTDIR\tessaline.exe" "$StartOptions" \
      "$INSTDIR\tessaline.exe" 0 SW_SHOWNORMAL "" "Logs from sign-in on"
SectionEnd

; Unticked on the components page while the shortcut is there: logging at sign-in ends.
Section "-Startup shortcut left out"
  ${IfNot} ${SectionIsSelected} ${SecStartup}
    Delete "${STARTUP_SHORTCUT}"
  ${EndIf}
SectionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecProgram} "The logger, its Start menu entry and its \
uninstaller."
  !insertmacro MUI_DESCRIPTION_TEXT ${SecStartup} "Starts the logger and presses START whenever \
someone signs in, from the start values (COM1, 9600 baud). Options go in the Startup \
shortcut's Target: tessaline --help lists them."
!insertmacro MUI_FUNCTION_DESCRIPTION_END

; Installed for every user of the machine, so the shortcuts go in the common Start menu and
; Startup folder: the logger starts at anyone's sign-in, and an uninstall by any administrator
; finds the shortcut to remove.
Function .onInit
  SetShellVarContext all
  StrCpy $StartOptions "--start"
  StrCpy $StartOptionsGiven ""
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/STARTOPTIONS=" $1
  ${IfNot} ${Errors}
    StrCpy $StartOptionsGiven 1
    ${If} $1 != ""
      StrCpy $StartOptions "--start $1"
    ${EndIf}
    !insertmacro SelectSection ${SecStartup}
  ${EndIf}
  ClearErrors
  ${GetOptions} $0 "/STARTUP" $1
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${SecStartup}
  ${EndIf}
  ; An upgrade keeps logging at sign-in where it was set up.
  ${If} ${FileExists} "${STARTUP_SHORTCUT}"
    !insertmacro SelectSection ${SecStartup}
  ${EndIf}
FunctionEnd

Function un.onInit
  SetShellVarContext all
FunctionEnd

; Deletes the installed files one by one and removes folders only once empty (no RMDir /r):
; where the install folder is writable the logger may have saved data files into it, and
; those must survive an uninstall.
Section "Uninstall"
  Delete "${SHORTCUT}"
  Delete "${STARTUP_SHORTCUT}"
  !insertmacro TESSALINE_UNINSTALL_FILES
  Delete "$INSTDIR\${MANIFEST}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
