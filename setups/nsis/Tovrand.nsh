; Tovrand.nsh: runs the Pellimar installer TOVRAND64x86.EXE from a product's NSIS setup.
; Build the setup for x64 (Unicode true, Target amd64-unicode): the installer is a 64-bit program and writes
; the 64-bit registry view.
;
;   !insertmacro TovrandInstall   "<own copy>" <AppID>    in an install section, after the own copy is in place
;   !insertmacro TovrandUninstall "<own copy>" <AppID>    in the uninstall section, before the copy is deleted
;   !insertmacro TovrandExitCode                          in .onInstSuccess and un.onUninstSuccess
;
; TovrandInstall lists the AppID under HKLM\SOFTWARE\Norvatek\InstalledApps and runs "<own copy>" /Q <AppID>.
; TovrandUninstall runs "<own copy>" /U /Q <AppID>, or the shared copy under Common Files when the own copy
; cannot be started, and then drops the listing. The installer's exit code:
;   0                               success
;   1, 3010, 1641, 0x80070BC2       success, restart required: SetRebootFlag true
;   anything else, or no start      failure: the setup aborts with exit code 1603. An install takes back
;                                   what this run added: /U /Q /NOREGAPPID <AppID> and the listing only when
;                                   the product was not registered (listed) before, so a failed re-run keeps
;                                   an installed product's use. An uninstall keeps the listing, so that
;                                   running it again finishes the job.
; TovrandExitCode makes a setup that needs a restart end with 3010, as an MSI does (NSIS itself ends 0).
; A silent setup (/S) never restarts the machine itself: its caller does.
; The uninstaller runs in place with "uninstall.exe /S _?=<its folder>"; without _?= it copies itself to
; TEMP, starts the copy and returns at once, before anything was removed.
;
; The installer is a 64-bit program and reads the 64-bit registry view: the macros work there and give
; the caller back the view it had, so an x86 setup (whose own keys stay in the 32-bit view) can use them
; as they are. Under WoW64 an x86 setup's $PROGRAMFILES, $COMMONFILES and $SYSDIR name the 32-bit
; folders (Program Files (x86), SysWOW64); the macros use $COMMONFILES64 for the shared copy.
;
; Uses $0 and $1; AppIDs without blanks or quotes.

!include LogicLib.nsh

!define TOVRAND_INSTALLED_APPS "SOFTWARE\Norvatek\InstalledApps"
!define TOVRAND_REGISTRATIONS "SOFTWARE\Norvatek\Pellimar"
!define TOVRAND_SHARED_COPY "$COMMONFILES64\Norvatek Shared\TOVRAND64x86.EXE"

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

; Runs "<EXE>" <ARGS> into $0, or the shared copy when EXE cannot be started (the error flag then stays
; set only when neither could be), and sets $1 as _TovrandOutcome does.
!macro _TovrandRun EXE ARGS
  ClearErrors
  ExecWait '"${EXE}" ${ARGS}' $0
  ${If} ${Errors}
    DetailPrint "Tovrand: $\"${EXE}$\" cannot be started; the shared copy is run."
    ClearErrors
    ExecWait '"${TOVRAND_SHARED_COPY}" ${ARGS}' $0
  ${EndIf}
  !insertmacro _TovrandOutcome
  DetailPrint "Tovrand: ${ARGS} ended with exit code $0: $1"
!macroend

!macro TovrandInstall EXE APPID
  SetRegView 64
  ; What was there before this run, kept on the stack: "r" registered, "l" listed. A failed run takes
  ; back only the rest.
  StrCpy $1 ""
  ClearErrors
  EnumRegKey $0 HKLM "${TOVRAND_REGISTRATIONS}\${APPID}" 0
  ${IfNot} ${Errors}
    StrCpy $1 "r"
  ${EndIf}
  ClearErrors
  ReadRegStr $0 HKLM "${TOVRAND_INSTALLED_APPS}" "${APPID}"
  ${IfNot} ${Errors}
    StrCpy $1 "$1l"
  ${EndIf}
  Push $1
  WriteRegStr HKLM "${TOVRAND_INSTALLED_APPS}" "${APPID}" "$INSTDIR"
  !insertmacro _TovrandRun "${EXE}" "/Q ${APPID}"
  ${If} $1 == "restart"
    SetRebootFlag true
  ${EndIf}
  StrCpy $0 $1
  Pop $1
  ${If} $0 == "failed"
    StrCpy $0 $1 1
    ${If} $0 != "r"
      !insertmacro _TovrandRun "${EXE}" "/U /Q /NOREGAPPID ${APPID}"
    ${EndIf}
    StrCpy $0 $1 1 -1
    ${If} $0 != "l"
      DeleteRegValue HKLM "${TOVRAND_INSTALLED_APPS}" "${APPID}"
    ${EndIf}
    SetRegView lastused
    SetErrorLevel 1603
    Abort "The Pellimar driver could not be installed."
  ${EndIf}
  SetRegView lastused
!macroend

!macro TovrandUninstall EXE APPID
  SetRegView 64
  !insertmacro _TovrandRun "${EXE}" "/U /Q ${APPID}"
  ${If} $1 == "failed"
    SetRegView lastused
    SetErrorLevel 1603
    Abort "The Pellimar driver could not be uninstalled."
  ${EndIf}
  ${If} $1 == "restart"
    SetRebootFlag true
  ${EndIf}
  DeleteRegValue HKLM "${TOVRAND_INSTALLED_APPS}" "${APPID}"
  SetRegView lastused
!macroend

!macro TovrandExitCode
  ${If} ${RebootFlag}
    SetErrorLevel 3010
  ${EndIf}
!macroend
