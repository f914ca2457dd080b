; A product's NSIS setup as a product team writes it: its own file, its own copy of TOVRAND64x86.EXE,
; Tovrand.nsh for the rest. Built by setups/CMakeLists.txt:
;   makensis -DOUTFILE=<setup.exe> -DTOVRAND_EXE=<TOVRAND64x86.EXE> -DTOVRAND_NSIS_DIR=<setups/nsis> TovrandDemo.nsi
; amd64-unicode: its registry writes land in the 64-bit view the installer reads, and an x86 setup would
; not even start on a Wine without its 32-bit half (it exits 0 having done nothing).
Unicode true
Target amd64-unicode
!addincludedir "${TOVRAND_NSIS_DIR}"
!include "Tovrand.nsh"

!define APPID "PRODUCTNSIS"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\NorvatekDemoNsis"

Name "Norvatek Demo Product (NSIS)"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Norvatek Demo NSIS"
RequestExecutionLevel admin
ShowInstDetails show

Section "Product"
  SetOutPath "$INSTDIR"
  File "/oname=DemoProduct.txt" "${DEMO_FILE}"
  File "/oname=TOVRAND64x86.EXE" "${TOVRAND_EXE}"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  !insertmacro TovrandInstall "$INSTDIR\TOVRAND64x86.EXE" "${APPID}"
  SetRegView 64
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Norvatek Demo Product (NSIS)"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe" _?=$INSTDIR'
SectionEnd

; The installer failed: TovrandInstall undid its part, the product takes back its own files.
Function .onInstFailed
  SetOutPath "$TEMP"   ; the working directory, which RMDir could not remove
  Delete "$INSTDIR\DemoProduct.txt"
  Delete "$INSTDIR\TOVRAND64x86.EXE"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
FunctionEnd

Function .onInstSuccess
  !insertmacro TovrandExitCode
FunctionEnd

Section "Uninstall"
  !insertmacro TovrandUninstall "$INSTDIR\TOVRAND64x86.EXE" "${APPID}"
  Delete "$INSTDIR\DemoProduct.txt"
  ; After the last product's uninstall the installer deletes this copy itself, at once or at the restart.
  Delete "$INSTDIR\TOVRAND64x86.EXE"
  SetRegView 64
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd

Function un.onUninstSuccess
  !insertmacro TovrandExitCode
FunctionEnd
