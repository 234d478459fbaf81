; Example installer for a MariaDB/MySQL server that uses the three Brelkin
; setup tools through the whole life of an installation: the first install,
; an update over an existing installation, and the uninstall.
;
; Build (Debian's or any makensis 3; the three defines are required):
;   makensis -DTOOLS_DIR=<folder with Quillon.exe, Kestrin.exe, Tolvane.dll>
;            -DSERVER_EXE=<server executable, installed as bin\mysqld.exe>
;            -DOUTFILE=<setup.exe> server-setup.nsi
; Optional: -DSTATE_WAIT_POLLS=<n> -DSTATE_WAIT_MS=<ms> bound the waits for a
; service that is stop or start pending (120 queries 1000 ms apart: about two
; minutes).
; Run:
;   setup.exe [/S] /SERVICE=<service name> [/LOG=<path>] [/D=<install folder>]
; /D= comes last and is not quoted, even when it holds blanks. With /LOG= the
; installer, and later the uninstaller, append one line per tool call to that
; file: "<tool> <arguments>: <exit code or result>", for example
; "Quillon stop MariaDB: 0". The lines Quillon printed follow its call's line,
; each indented by four blanks; they also go to the details window.
; Uninstall: the command of the uninstall entry, "<folder>\uninstall.exe"
; -c"<folder>\Tolvane.dll", with /S for a silent run.

Unicode true

!ifndef TOOLS_DIR
  !error "TOOLS_DIR must name the folder with Quillon.exe, Kestrin.exe and Tolvane.dll"
!endif
!ifndef SERVER_EXE
  !error "SERVER_EXE must name the server executable"
!endif
!ifndef OUTFILE
  !error "OUTFILE must name the installer to write"
!endif

!ifndef STATE_WAIT_POLLS
  !define STATE_WAIT_POLLS 120
!endif
!ifndef STATE_WAIT_MS
  !define STATE_WAIT_MS 1000
!endif

!include LogicLib.nsh
!include FileFunc.nsh
!include x64.nsh

Name "Example Database Server"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Example Database Server"
RequestExecutionLevel admin
; A file that cannot be written ends the run instead of being skipped, which
; is NSIS's default answer in a silent run. Skipped, an update would leave
; old and new server files side by side and still end with 0.
AllowSkipFiles off
ShowInstDetails show
ShowUninstDetails show

Page directory
Page instfiles
UninstPage instfiles

; A 32-bit installer writes this key in the 32-bit view of the registry
; (HKLM\Software\WOW6432Node\... on 64-bit Windows); Windows lists entries
; from both views under "Programs and Features".
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall"
; What the uninstaller needs to know from the install: the service name and
; the log file.
!define SETUP_INI "$INSTDIR\uninstall.ini"
; Where the service manager keeps the services it has registered (one key a
; service, in no 32-bit view).
!define SERVICES_KEY "SYSTEM\CurrentControlSet\Services"

Var ServiceName
Var LogFile
Var Result
; Quillon's first line of output from its last call, for messages.
Var QuillonSaid
; "1" from an update's stop, whatever it ended with, until the service is
; started again.
Var Stopped
; "1" from this run's registration of the service until its uninstall entry
; is written.
Var Registered
; "install" or "update".
Var Mode
; The service's state after WaitWhilePending: "stopped", "gone" (Quillon
; could not read it: no such service), a pending state when the wait ran out,
; or whatever else Quillon named ("running", "pause", ...).
Var State
; What the start after a failed update said, for the refusal's message.
Var Restored

; Appends one line to the log file given with /LOG=, if any (uses $9).
!macro Log text
  ${If} $LogFile != ""
    FileOpen $9 "$LogFile" a
    FileSeek $9 0 END
    FileWrite $9 "${text}$\r$\n"
    FileClose $9
  ${EndIf}
!macroend

; Ends the installation (or uninstallation) with a message; a silent run
; shows none and ends with exit code 2.
!macro Refuse text
  MessageBox MB_OK|MB_ICONSTOP "${text}" /SD IDOK
  Abort
!macroend

; Defines ${un}Quillon: runs "$INSTDIR\Quillon.exe <command> <service>", the
; command word taken from the stack. Leaves the exit code in $Result ("error"
; when the program did not start) and the first line it printed in
; $QuillonSaid. Logs "Quillon <command> <service>: <exit code>", then each
; line printed (blank lines left out) indented by four blanks; the details
; window shows the same lines. nsExec hands back at most 1023 characters of
; output (NSIS_MAX_STRLEN); Quillon's answers to these commands are shorter.
; Uses $R5 to $R9.
!macro DefineQuillon un
  Function ${un}Quillon
    Pop $R5
    nsExec::ExecToStack '"$INSTDIR\Quillon.exe" $R5 "$ServiceName"'
    Pop $Result
    Pop $R6
    !insertmacro Log "Quillon $R5 $ServiceName: $Result"
    StrCpy $QuillonSaid ""
    StrCpy $R7 ""
    StrCpy $R8 0
    ${Do}
      StrCpy $R9 $R6 1 $R8
      ${If} $R9 == "$\r"
      ${OrIf} $R9 == "$\n"
      ${OrIf} $R9 == ""
        ${If} $R7 != ""
          DetailPrint "$R7"
          !insertmacro Log "    $R7"
          ${IfThen} $QuillonSaid == "" ${|} StrCpy $QuillonSaid $R7 ${|}
        ${EndIf}
        StrCpy $R7 ""
        ${IfThen} $R9 == "" ${|} ${ExitDo} ${|}
      ${Else}
        StrCpy $R7 "$R7$R9"
      ${EndIf}
      IntOp $R8 $R8 + 1
    ${Loop}
  FunctionEnd
!macroend
!insertmacro DefineQuillon ""
!insertmacro DefineQuillon "un."

; Defines ${un}WaitWhilePending: runs "Quillon query <service>" and, while
; it names a pending state, again after STATE_WAIT_MS, at most
; STATE_WAIT_POLLS times in all. Quillon's stop, start and delete count a
; pending service as done, so only the query tells whether it has stopped.
; Leaves the state in $State. Uses $R3 and $R4.
!macro DefineWaitWhilePending un
  Function ${un}WaitWhilePending
    StrCpy $R4 1
    ${Do}
      Push query
      Call ${un}Quillon
      StrLen $R3 "State of service '$ServiceName': "
      StrCpy $State $QuillonSaid $R3
      ${If} $State == "State of service '$ServiceName': "
        StrCpy $State $QuillonSaid "" $R3
      ${ElseIf} $Result == "101"
        StrCpy $State "gone"
      ${Else}
        StrCpy $State "unknown (Quillon exit code $Result)"
      ${EndIf}
      StrCpy $R3 $State "" -8
      ${If} $R3 != " pending"
      ${OrIf} $R4 >= ${STATE_WAIT_POLLS}
        ${ExitDo}
      ${EndIf}
      Sleep ${STATE_WAIT_MS}
      IntOp $R4 $R4 + 1
    ${Loop}
  FunctionEnd
!macroend
!insertmacro DefineWaitWhilePending ""
!insertmacro DefineWaitWhilePending "un."

; Once an update has run its stop, every failure starts the service again
; (and with it the dependents that the stop recorded) before the run ends:
; a failed update must not leave the server or its dependents down. A start
; of a running service changes nothing. Leaves what the start said in
; $Restored. Called by FailUpdate and, for the runs that NSIS itself ends (a
; file that cannot be written), by .onInstFailed.
Function StartAgain
  ${If} $Stopped == "1"
    StrCpy $Stopped ""
    Push start
    Call Quillon
    ${If} $Result == "0"
      StrCpy $Restored "Quillon start brought back the service and the dependent services that the stop had stopped ($QuillonSaid)."
    ${Else}
      StrCpy $Restored "Quillon start could not bring back the service and its dependent services (exit code $Result: $QuillonSaid)."
    ${EndIf}
  ${EndIf}
FunctionEnd

; A first install that fails before its uninstall entry is written removes
; the service it registered and the entry, so that nothing makes the next run
; take it for an update; the files it wrote stay and are written anew by the
; next run.
Function RemoveRegistration
  ${If} $Registered == "1"
    StrCpy $Registered ""
    nsExec::Exec '"$SYSDIR\sc.exe" delete "$ServiceName"'
    Pop $Result
    !insertmacro Log "sc delete $ServiceName: $Result"
    DeleteRegKey HKLM "${UNINSTALL_KEY}\$ServiceName"
  ${EndIf}
FunctionEnd

Function .onInstFailed
  Call StartAgain
  Call RemoveRegistration
FunctionEnd

; Refuses after the update's stop: the service runs again first, and the
; message says what the start did.
!macro FailUpdate text
  Call StartAgain
  !insertmacro Refuse "${text} $Restored"
!macroend

Section "Server"
  ; Quillon.exe is a 64-bit program: on 32-bit Windows the service could be
  ; registered but never started, stopped or removed by it.
  ${IfNot} ${RunningX64}
    !insertmacro Refuse "The server tools need 64-bit Windows. Nothing was changed."
  ${EndIf}
  ${GetParameters} $R0
  ${GetOptions} $R0 "/SERVICE=" $ServiceName
  ${GetOptions} $R0 "/LOG=" $LogFile
  ${If} $ServiceName == ""
    !insertmacro Refuse "Name the server's service on the command line: /SERVICE=<name>."
  ${EndIf}

  ; Kestrin runs from the installer's temporary folder and writes
  ; WindowsVersion.ini beside itself.
  InitPluginsDir
  File "/oname=$PLUGINSDIR\Kestrin.exe" "${TOOLS_DIR}\Kestrin.exe"
  nsExec::Exec '"$PLUGINSDIR\Kestrin.exe"'
  Pop $Result
  !insertmacro Log "Kestrin: $Result"
  ReadINIStr $R1 "$PLUGINSDIR\WindowsVersion.ini" Version VersionMajor
  ReadINIStr $R2 "$PLUGINSDIR\WindowsVersion.ini" Version VersionMinor
  IntOp $R4 $R1 * 100
  IntOp $R4 $R4 + $R2
  ${If} $Result != "0"
  ${OrIf} $R4 < 601
    !insertmacro Refuse "This server needs Windows 7 or later (Windows version $R1.$R2, Kestrin exit code $Result)."
  ${EndIf}

  ; An update is a run over an installation: the service is registered and
  ; its uninstall entry written (the entry only follows a registration that
  ; succeeded). Files alone are no installation: a first install that failed
  ; leaves them, and the next run installs afresh.
  ReadRegStr $R1 HKLM "${SERVICES_KEY}\$ServiceName" ImagePath
  ReadRegStr $R2 HKLM "${UNINSTALL_KEY}\$ServiceName" UninstallString
  ${If} $R1 != ""
  ${AndIf} $R2 != ""
    StrCpy $Mode "update"
  ${Else}
    StrCpy $Mode "install"
  ${EndIf}

  ; An update: the service must be stopped before its files are replaced.
  ; Quillon records the services that depend on it, for the start below.
  ; Whatever the stop ends with, it may have stopped the service or some of
  ; its dependents (408: dependents; 409: the service and every dependent),
  ; so a refusal runs the start first. A stop that ran out of time leaves the
  ; service stop pending, and a start then counts as done at once (its
  ; dependents fail and their record is consumed): so the start waits while
  ; the service is pending.
  ${If} $Mode == "update"
    Push stop
    Call Quillon
    StrCpy $Stopped "1"
    ${If} $Result != "0"
      StrCpy $R1 $Result
      StrCpy $R2 "Quillon exit code $Result: $QuillonSaid"
      Call WaitWhilePending
      ${If} $R1 == "402"
        !insertmacro FailUpdate "Stopping the service $ServiceName needs administrator rights ($R2). Run the setup as an administrator. No file was replaced."
      ${EndIf}
      !insertmacro FailUpdate "The service $ServiceName could not be stopped ($R2). No file was replaced."
    ${EndIf}
    ; A stop ends with 0 also for a service that is start pending, stop
    ; pending or paused, without stopping it.
    Call WaitWhilePending
    ${If} $State != "stopped"
      !insertmacro FailUpdate "The service $ServiceName did not stop (its state: $State). No file was replaced."
    ${EndIf}
  ${EndIf}

  ; Errors that NSIS does not end the run for (the batch, the uninstaller,
  ; the entry) set the error flag; it is read before the start.
  ClearErrors
  SetOutPath "$INSTDIR"
  File "${TOOLS_DIR}\Quillon.exe"
  File "${TOOLS_DIR}\Tolvane.dll"
  ; Tolvane.dll runs this batch before the uninstaller removes any file.
  FileOpen $0 "$INSTDIR\stop_mysql.bat" w
  FileWrite $0 "@echo off$\r$\n"
  FileWrite $0 "rem Stops the server before the uninstaller removes its files.$\r$\n"
  FileWrite $0 '"%~dp0Quillon.exe" stop "$ServiceName"$\r$\n'
  FileWrite $0 "exit /b 0$\r$\n"
  FileClose $0
  SetOutPath "$INSTDIR\bin"
  File "/oname=mysqld.exe" "${SERVER_EXE}"
  SetOutPath "$INSTDIR"

  ; Quillon has no create command: the system's own tool registers the service.
  ${If} $Mode == "install"
    nsExec::Exec '"$SYSDIR\sc.exe" create "$ServiceName" binPath= "\"$INSTDIR\bin\mysqld.exe\"" start= auto'
    Pop $Result
    !insertmacro Log "sc create $ServiceName: $Result"
    ${If} $Result != "0"
      !insertmacro Refuse "The service $ServiceName could not be registered (sc exit code $Result). No service was registered and no uninstall entry written; run the setup again once the cause is mended."
    ${EndIf}
    StrCpy $Registered "1"
  ${EndIf}

  ; The uninstaller and its entry come before the start, so that a server
  ; that does not start can still be removed.
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteINIStr "${SETUP_INI}" Setup Service "$ServiceName"
  WriteINIStr "${SETUP_INI}" Setup Log "$LogFile"
  WriteRegStr HKLM "${UNINSTALL_KEY}\$ServiceName" DisplayName "Example Database Server ($ServiceName)"
  WriteRegStr HKLM "${UNINSTALL_KEY}\$ServiceName" UninstallString '"$INSTDIR\uninstall.exe" -c"$INSTDIR\Tolvane.dll"'
  WriteRegStr HKLM "${UNINSTALL_KEY}\$ServiceName" InstallLocation "$INSTDIR"
  WriteRegDWORD HKLM "${UNINSTALL_KEY}\$ServiceName" NoModify 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}\$ServiceName" NoRepair 1
  ${If} ${Errors}
    ${If} $Mode == "install"
      Call RemoveRegistration
      !insertmacro Refuse "The files, the uninstaller or the uninstall entry of $ServiceName could not all be written in $INSTDIR. The service and the entry were removed again."
    ${EndIf}
    !insertmacro FailUpdate "The files, the uninstaller or the uninstall entry of $ServiceName could not all be written in $INSTDIR."
  ${EndIf}
  StrCpy $Registered ""

  ; Starts the service, and after an update the dependents that the stop
  ; recorded.
  StrCpy $Stopped ""
  Push start
  Call Quillon
  ${If} $Result != "0"
    !insertmacro Refuse "The service $ServiceName did not start (Quillon exit code $Result: $QuillonSaid)."
  ${EndIf}
SectionEnd

; NSIS runs a copy of the uninstaller from a temporary folder and hands it
; this process's arguments, so the -c"<folder>\Tolvane.dll" of the uninstall
; entry reaches the library on the copy's command line.
Section "Uninstall"
  ReadINIStr $ServiceName "${SETUP_INI}" Setup Service
  ReadINIStr $LogFile "${SETUP_INI}" Setup Log

  ; Tolvane checks the rights and runs stop_mysql.bat; -1 means it has shown
  ; why the uninstall must stop. Both exports are __stdcall and take three
  ; 4-byte arguments, the owner window first. The library is loaded from a
  ; copy in the temporary folder, so that the installation folder can go.
  InitPluginsDir
  CopyFiles /SILENT "$INSTDIR\Tolvane.dll" "$PLUGINSDIR\Tolvane.dll"
  System::Call '$PLUGINSDIR\Tolvane.dll::UninstInitialize(p $HWNDPARENT, p 0, i 0) i .r0 ?u'
  !insertmacro Log "Tolvane UninstInitialize: $0"
  ${If} $0 != "0"
    Abort
  ${EndIf}

  Push delete
  Call un.Quillon
  StrCpy $1 $Result
  StrCpy $2 $QuillonSaid
  ; The batch's stop and the delete count a pending service as done: no file
  ; goes until the service has stopped or is gone.
  Call un.WaitWhilePending
  ${If} $1 != "0"
    ; Gone already: an earlier uninstall removed it, then stopped at its
    ; wait. Else nothing is removed, and, as after any failed stop, the start
    ; brings back the server and the dependents that the stop recorded.
    ${If} $State != "gone"
      Push start
      Call un.Quillon
      !insertmacro Refuse "The service $ServiceName could not be removed (Quillon exit code $1: $2). Nothing was removed; Quillon start ended with $Result ($QuillonSaid)."
    ${EndIf}
  ${ElseIf} $State != "stopped"
  ${AndIf} $State != "gone"
    !insertmacro Refuse "The service $ServiceName was removed but has not stopped (its state: $State). No file was removed; run the uninstall again once it has stopped."
  ${EndIf}

  ; bin holds the server's own files; the folder itself stays when it holds
  ; anything else (data, for example).
  RMDir /r "$INSTDIR\bin"
  Delete "$INSTDIR\Quillon.exe"
  ; Quillon's dependents file: the service name plus ".Dependencies", unless
  ; the name has an extension of its own (a dot with no blank after it), as
  ; the system's PathAddExtensionW decides. A name ending in a dot has no file.
  StrCpy $0 "$INSTDIR\$ServiceName"
  System::Call 'shlwapi::PathAddExtensionW(w r0r0, w ".Dependencies")'
  StrCpy $1 $0 "" -1
  ${If} $1 != "."
    Delete "$0"
  ${EndIf}
  Delete "$INSTDIR\Tolvane.dll"
  Delete "$INSTDIR\stop_mysql.bat"
  Delete "${SETUP_INI}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}\$ServiceName"

  System::Call '$PLUGINSDIR\Tolvane.dll::UninstUnInitialize(p $HWNDPARENT, p 0, i 0) i .r0 ?u'
  !insertmacro Log "Tolvane UninstUnInitialize: $0"
SectionEnd
