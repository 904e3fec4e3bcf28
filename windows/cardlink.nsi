; The Cardlink installer for Windows x86_64, from the files that windows/packaging.cmake puts in
; STAGE:  makensis -DVERSION=1.0.0 -DSTAGE=DIR -DOUTFILE=FILE windows/cardlink.nsi
; Installs into Program Files\Cardlink with a Start-menu shortcut to Cardflash.exe and an
; uninstaller that Windows lists under its programs. /S installs and uninstalls silently.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Cardlink"

Name "Cardlink ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Cardlink"
RequestExecutionLevel admin
ShowInstDetails show

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Cardlink"
  SetRegView 64
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  File "${STAGE}/Cardflash.exe"
  File "${STAGE}/Cardflash.com"
  File "${STAGE}/Cardlink.dll"
  File "${STAGE}/hidapi.dll"
  File "${STAGE}/README.txt"
  SetOutPath "$INSTDIR\sdk"
  File "${STAGE}/sdk/cardlink.h"
  File "${STAGE}/sdk/cardlink_export.h"
  File "${STAGE}/sdk/libCardlink.dll.a"
  File "${STAGE}/sdk/Cardlink.def"
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\Cardflash.lnk" "$INSTDIR\Cardflash.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Cardlink ${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Cardflash.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetRegView 64
  SetShellVarContext all
  Delete "$SMPROGRAMS\Cardflash.lnk"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  Delete "$INSTDIR\sdk\cardlink.h"
  Delete "$INSTDIR\sdk\cardlink_export.h"
  Delete "$INSTDIR\sdk\libCardlink.dll.a"
  Delete "$INSTDIR\sdk\Cardlink.def"
  RMDir "$INSTDIR\sdk"
  Delete "$INSTDIR\Cardflash.exe"
  Delete "$INSTDIR\Cardflash.com"
  Delete "$INSTDIR\Cardlink.dll"
  Delete "$INSTDIR\hidapi.dll"
  Delete "$INSTDIR\README.txt"
  ; TI's image, which the user put here (README.txt)
  Delete "$INSTDIR\RAM_BSL_00.08.08.39.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
SectionEnd
