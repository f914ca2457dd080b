; A product's NSIS setup as a product team writes it: its own file, its own copy of TOVRAND64x86.EXE,
; Tovrand.nsh for the rest. Built by setups/CMakeLists.txt:
;   makensis -DOUTFILE=<setup.exe> -DTOVRAND_EXE=<TOVRAND64x86.EXE> -DTOVRAND_NSIS_DIR=<setups/nsis>
;            [-DARCH=x86] TovrandDemo.nsi
; amd64-unicode, or with ARCH=x86 a 32-bit setup in Program Files (x86); its own keys are in the 32-bit
; view either way: the macros work in the 64-bit view and give the setup back its own, before and after.
!ifndef ARCH
  !define ARCH "amd64"
!endif
Unicode true
Target ${ARCH}-unicode
!addincludedir "${TOVRAND_NSIS_DIR}"
!include "Tovrand.nsh"

!define APPID "PRODUCTNSIS"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\NorvatekDemoNsis"

Name "Norvatek Demo Product (NSIS)"
OutFile "${OUTFILE}"
!if "${ARCH}" == "x86"
  InstallDir "$PROGRAMFILES\Norvatek Demo NSIS"
!else
  InstallDir "$PROGRAMFILES64\Norvatek Demo NSIS"
!endif
RequestExecutionLevel admin
ShowInstDetails show

Var Installed   ; the product was installed before this run

Section "Product"
  SetRegView 32
  ReadRegStr $Installed HKLM "${UNINSTALL_KEY}" "UninstallString"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Norvatek Demo Product (NSIS)"
  SetOutPath "$INSTDIR"
  File "/oname=DemoProduct.txt" "${DEMO_FILE}"
  File "/oname=TOVRAND64x86.EXE" "${TOVRAND_EXE}"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  !insertmacro TovrandInstall "$INSTDIR\TOVRAND64x86.EXE" "${APPID}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe" _?=$INSTDIR'
SectionEnd

; The installer failed: TovrandInstall undid its part, a first install takes back its own files.
Function .onInstFailed
  StrCmp $Installed "" 0 done
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  SetOutPath "$TEMP"   ; the working directory, which RMDir could not remove
  Delete "$INSTDIR\DemoProduct.txt"
  Delete "$INSTDIR\TOVRAND64x86.EXE"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
done:
FunctionEnd

Function .onInstSuccess
  !insertmacro TovrandExitCode
FunctionEnd

Section "Uninstall"
  SetRegView 32
  !insertmacro TovrandUninstall "$INSTDIR\TOVRAND64x86.EXE" "${APPID}"
  Delete "$INSTDIR\DemoProduct.txt"
  ; After the last product's uninstall the installer deletes this copy itself, at once or at the restart.
  Delete "$INSTDIR\TOVRAND64x86.EXE"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd

Function un.onUninstSuccess
  !insertmacro TovrandExitCode
FunctionEnd
