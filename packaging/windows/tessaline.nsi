; SPDX-License-Identifier: GPL-3.0-or-later
; Installer for 64-bit Windows, built by packaging/windows/package.sh, which defines VERSION,
; STAGE (the staged program folder), FILES (the install and uninstall lists made from it),
; OUTFILE and SIZE_KB.

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

!define PRODUCT "Tessaline Serial Data"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\TessalineSerialData"
!define SHORTCUT "$SMPROGRAMS\${PRODUCT}.lnk"

!include "MUI2.nsh"
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

!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_LICENSE "${STAGE}/LICENSE.txt"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; Installed for every user of the machine, so the shortcut goes in the common Start menu.
Function .onInit
  SetShellVarContext all
FunctionEnd

Function un.onInit
  SetShellVarContext all
FunctionEnd

Section "Install"
  !insertmacro TESSALINE_INSTALL_FILES
  WriteUninstaller "$INSTDIR\uninstall.exe"
  ; The shortcut starts in the install folder (the current output path).
  SetOutPath "$INSTDIR"
  CreateShortcut "${SHORTCUT}" "$INSTDIR\tessaline.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "The Tessaline Serial Data developers"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\tessaline.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" ${SIZE_KB}
SectionEnd

; Deletes the installed files one by one and removes folders only once empty (no RMDir /r):
; where the install folder is writable the logger may have saved data files into it, and
; those must survive an uninstall.
Section "Uninstall"
  Delete "${SHORTCUT}"
  !insertmacro TESSALINE_UNINSTALL_FILES
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
