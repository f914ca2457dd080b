; Tovrand.nsh: runs the Pellimar installer TOVRAND64x86.EXE from a product's NSIS setup.
; Build the setup for x64 (Unicode true, Target amd64-unicode): the installer is a 64-bit program and writes
; the 64-bit registry view.
;
;   !insertmacro TovrandInstall   "<own copy>" <AppID>    in an install section, after the own copy is in place
;   !insertmacro TovrandUninstall "<own copy>" <AppID>    in the uninstall section, before the copy is deleted
;   !insertmacro TovrandExitCode                          in .onInstSuccess and un.onUninstSuccess
;
; TovrandInstall lists the AppID under HKLM\SOFTWARE\Norvatek\InstalledApps and runs "<own copy>" /Q <AppID>.
; TovrandUninstall runs "<own copy>" /U /Q <AppID> and then drops the listing. The installer's exit code:
;   0                               success
;   1, 3010, 1641, 0x80070BC2       success, restart required: SetRebootFlag true
;   anything else, or no start      failure: the install is undone (/U /Q /NOREGAPPID <AppID>, the listing
;                                   removed) and the setup aborts with exit code 1603; an uninstall aborts
;                                   with 1603 and keeps the listing, so that running it again finishes the job.
; TovrandExitCode makes a setup that needs a restart end with 3010, as an MSI does (NSIS itself ends 0).
; A silent setup (/S) never restarts the machine itself: its caller does.
; The uninstaller runs in place with "uninstall.exe /S _?=<its folder>"; without _?= it copies itself to
; TEMP, starts the copy and returns at once, before anything was removed.
;
; Uses $0 and $1; AppIDs without blanks or quotes.

!include LogicLib.nsh

!define TOVRAND_INSTALLED_APPS "SOFTWARE\Norvatek\InstalledApps"

; Sets $1 to "ok", "restart" or "failed" for the exit code in $0 (ExecWait leaves the error flag set and
; $0 undefined when the program cannot be started; it prints the code unsigned, 0x80070BC2 = 2147945410).
!macro _TovrandOutcome
  ${If} ${Errors}
    StrCpy $1 "failed"
  ${ElseIf} $0 == 0
    StrCpy $1 "ok"
  ${ElseIf} $0 == 1
  ${OrIf} $0 == 3010
  ${OrIf} $0 == 1641
  ${OrIf} $0 == 2147945410
    StrCpy $1 "restart"
  ${Else}
    StrCpy $1 "failed"
  ${EndIf}
!macroend

!macro TovrandInstall EXE APPID
  SetRegView 64
  WriteRegStr HKLM "${TOVRAND_INSTALLED_APPS}" "${APPID}" "$INSTDIR"
  ClearErrors
  ExecWait '"${EXE}" /Q ${APPID}' $0
  !insertmacro _TovrandOutcome
  DetailPrint "Tovrand: $\"${EXE}$\" /Q ${APPID} ended with exit code $0: $1"
  ${If} $1 == "restart"
    SetRebootFlag true
  ${ElseIf} $1 == "failed"
    ; Whatever the run recorded for this product goes again, and so does its listing.
    ClearErrors
    ExecWait '"${EXE}" /U /Q /NOREGAPPID ${APPID}' $0
    DeleteRegValue HKLM "${TOVRAND_INSTALLED_APPS}" "${APPID}"
    SetErrorLevel 1603
    Abort "The Pellimar driver could not be installed."
  ${EndIf}
!macroend

!macro TovrandUninstall EXE APPID
  SetRegView 64
  ClearErrors
  ExecWait '"${EXE}" /U /Q ${APPID}' $0
  !insertmacro _TovrandOutcome
  DetailPrint "Tovrand: $\"${EXE}$\" /U /Q ${APPID} ended with exit code $0: $1"
  ${If} $1 == "failed"
    SetErrorLevel 1603
    Abort "The Pellimar driver could not be uninstalled."
  ${EndIf}
  ${If} $1 == "restart"
    SetRebootFlag true
  ${EndIf}
  DeleteRegValue HKLM "${TOVRAND_INSTALLED_APPS}" "${APPID}"
!macroend

!macro TovrandExitCode
  ${If} ${RebootFlag}
    SetErrorLevel 3010
  ${EndIf}
!macroend
