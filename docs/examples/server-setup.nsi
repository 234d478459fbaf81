; Example installer for a MariaDB/MySQL server that uses the three Brelkin
; setup tools through the whole life of an installation: the first install,
; an update over an existing installation, and the uninstall.
;
; Build (Debian's or any makensis 3; the three defines are required):
;   makensis -DTOOLS_DIR=<folder with Quillon.exe, Kestrin.exe, Tolvane.dll>
;            -DSERVER_EXE=<server executable, installed as bin\mysqld.exe>
;            -DOUTFILE=<setup.exe> server-setup.nsi
; Optional: -DSTATE_WAIT_POLLS=<n> -DSTATE_WAIT_MS=<ms> bound the waits for a
; service that is stop or start pending (600 queries 1000 ms apart: about ten
; minutes, on top of the two minutes that Quillon itself waits for a stop).
; Run:
;   setup.exe [/S] /SERVICE=<service name> [/LOG=<path>] [/D=<install folder>]
; /D= comes last and is not quoted, even when it holds blanks. An update
; installs into the folder of the installation: without /D= it finds it, and
; a /D= that names another folder is refused. With /LOG= the installer, and
; later the uninstaller, append one line per tool call to that file: "<tool>
; <arguments>: <exit code or result>", for example "Quillon stop MariaDB: 0".
; The lines Quillon printed follow its call's line, each indented by four
; blanks; they also go to the details window. A log that cannot be written,
; or that is reached through a link, is not written; the run goes on.
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
  !define STATE_WAIT_POLLS 600
!endif
!ifndef STATE_WAIT_MS
  !define STATE_WAIT_MS 1000
!endif

!include LogicLib.nsh
!include FileFunc.nsh
!include x64.nsh

!define DEFAULT_DIR "$PROGRAMFILES64\Example Database Server"
Name "Example Database Server"
OutFile "${OUTFILE}"
InstallDir "${DEFAULT_DIR}"
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
; from both views under "Programs and Features". The entry is also where the
; uninstaller learns the service name and the log: only administrators can
; change it, unlike a file in the folder.
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall"
; Where the service manager keeps the services it has registered (one key a
; service, in no 32-bit view). Only this key's absence says that a service
; is gone: a query can fail for other reasons (rights, for one).
!define SERVICES_KEY "SYSTEM\CurrentControlSet\Services"
; The installation folder's access list: owned by the administrators, who
; with SYSTEM have full control; users may read and run; protected, so that
; nothing is inherited from the folder above (under C:\ that would let
; authenticated users create and change files, the server's and the tools',
; which run with SYSTEM's and the administrators' rights). Children inherit it.
!define FOLDER_SDDL "O:BAD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)"

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
; "install", "update", or "update stopped" (the files of a server found
; stopped are replaced, and it is left so).
Var Mode
; The service's state after WaitWhilePending: "stopped", "gone" (no such
; service: its registration is gone), a pending state when the wait ran out,
; or whatever else Quillon named ("running", "pause", ...), or "unknown".
Var State
; What the start after a failed update did, for the refusal's message.
Var Restored
; Quillon's dependents file of the service, "" when the name has none.
Var DepFile
; "1" when this run created the installation folder.
Var Created

; Appends one line to the log file given with /LOG=, if any.
!macro Log text
  Push "${text}"
  !ifdef __UNINSTALL__
    Call un.LogLine
  !else
    Call LogLine
  !endif
!macroend

; Ends the installation (or uninstallation) with a message; a silent run
; shows none and ends with exit code 2.
!macro Refuse text
  MessageBox MB_OK|MB_ICONSTOP "${text}" /SD IDOK
  Abort
!macroend

; Defines ${un}LogLine: appends the text from the stack and CR LF to
; $LogFile (a full path). The installer runs elevated, so it writes only to
; the file that the path names: the file it opens must be no link (no
; reparse point, one name only) and be reached under that very path (no
; junction or link in the folders above), else the line is dropped. A log
; that cannot be written never fails the run: the error flag is kept as it
; was. Uses $R0 to $R6 (restored).
!macro DefineLogLine un
  Function ${un}LogLine
    Exch $R0
    ${If} $LogFile == ""
      Pop $R0
      Return
    ${EndIf}
    Push $R1
    Push $R2
    Push $R3
    Push $R4
    Push $R5
    Push $R6
    StrCpy $R6 0
    ${IfThen} ${Errors} ${|} StrCpy $R6 1 ${|}
    ; FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, others may read; OPEN_ALWAYS;
    ; FILE_FLAG_OPEN_REPARSE_POINT opens a link itself, not what it names.
    System::Call 'kernel32::CreateFileW(w "$LogFile", i 0x84, i 1, p 0, i 4, i 0x200080, p 0) p .R1'
    ${If} $R1 != -1
      System::Alloc 64
      Pop $R2
      System::Call 'kernel32::GetFileInformationByHandle(p R1, p R2) i .R3'
      ; dwFileAttributes at 0, nNumberOfLinks at 40.
      System::Call '*$R2(i .R4, i, i, i, i, i, i, i, i, i, i .R5)'
      System::Free $R2
      IntOp $R4 $R4 & 0x400
      System::Call 'kernel32::GetFinalPathNameByHandleW(p R1, w .R2, i ${NSIS_MAX_STRLEN}, i 0)'
      ${If} $R3 != 0
      ${AndIf} $R4 == 0
      ${AndIf} $R5 == 1
      ${AndIf} $R2 == "\\?\$LogFile"
        FileSeek $R1 0 END
        FileWrite $R1 "$R0$\r$\n"
      ${EndIf}
      FileClose $R1
    ${EndIf}
    ClearErrors
    ${IfThen} $R6 == 1 ${|} SetErrors ${|}
    Pop $R6
    Pop $R5
    Pop $R4
    Pop $R3
    Pop $R2
    Pop $R1
    Pop $R0
  FunctionEnd
!macroend
!insertmacro DefineLogLine ""
!insertmacro DefineLogLine "un."

; Defines ${un}CheckServiceName: refuses a service name that is not a plain
; name. The name becomes part of paths (Quillon's dependents file, which the
; uninstall deletes) and registry keys: no separators, no characters that
; files or keys cannot carry, not "." or "..", nothing that Quillon would take
; for an option. Uses $R0 to $R4.
!macro DefineCheckServiceName un
  Function ${un}CheckServiceName
    StrLen $R0 $ServiceName
    StrCpy $R1 $ServiceName 1
    ${If} $R0 == 0
    ${OrIf} $R0 > 256
    ${OrIf} $ServiceName == "."
    ${OrIf} $ServiceName == ".."
    ${OrIf} $R1 == "-"
    ${OrIf} $R1 == "/"
      Goto bad
    ${EndIf}
    IntOp $R0 $R0 - 1
    ${For} $R2 0 $R0
      StrCpy $R1 $ServiceName 1 $R2
      ${For} $R3 0 11
        StrCpy $R4 '\/:*?"<>|$\t$\r$\n' 1 $R3
        ${IfThen} $R1 == $R4 ${|} Goto bad ${|}
      ${Next}
    ${Next}
    Return
  bad:
    !insertmacro Refuse "The service name $ServiceName is not a plain service name (no \ / : * ? $\" < > |, no control characters, not . or .., not starting with - or /, at most 256 characters). Nothing was changed."
  FunctionEnd
!macroend
!insertmacro DefineCheckServiceName ""
!insertmacro DefineCheckServiceName "un."

; Defines ${un}Quillon: runs "$INSTDIR\Quillon.exe <command> <service>", the
; command word taken from the stack. Leaves the exit code in $Result ("error"
; when the program did not start) and the first line it printed in
; $QuillonSaid. Logs "Quillon <command> <service>: <exit code>", then each
; line printed (blank lines left out) indented by four blanks; the details
; window shows the same lines. nsExec hands back at most 1023 characters of
; output (NSIS_MAX_STRLEN): a stop or start with many dependents (a line or
; two each) can print more, and the rest is lost for the log. Uses $R5 to $R9.
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
; A query that fails (101) means "gone" only when the service's registration
; is gone; else the state is "unknown". Leaves the state in $State. Uses $R0
; to $R4.
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
      ${Else}
        StrCpy $State "unknown"
        ; KEY_READ; HKEY_LOCAL_MACHINE as the sign-extended handle value.
        System::Call 'advapi32::RegOpenKeyExW(p -2147483646, w "${SERVICES_KEY}\$ServiceName", i 0, i 0x20019, *p .R1) i .R0'
        ${If} $R0 == 0
          System::Call 'advapi32::RegCloseKey(p R1)'
        ${ElseIf} $R0 == 2
          StrCpy $State "gone"
        ${EndIf}
        !insertmacro Log "Registration of $ServiceName: $State"
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

; Defines ${un}DependentsFile: Quillon's dependents file in $DepFile, the
; service name plus ".Dependencies", unless the name has an extension of its
; own (a dot with no blank after it), as the system's PathAddExtensionW
; decides; "" for a name ending in a dot, which has no file. Uses $R0, $R1.
!macro DefineDependentsFile un
  Function ${un}DependentsFile
    StrCpy $R0 "$INSTDIR\$ServiceName"
    System::Call 'shlwapi::PathAddExtensionW(w R0R0, w ".Dependencies")'
    StrCpy $R1 $R0 "" -1
    StrCpy $DepFile $R0
    ${IfThen} $R1 == "." ${|} StrCpy $DepFile "" ${|}
  FunctionEnd
!macroend
!insertmacro DefineDependentsFile ""
!insertmacro DefineDependentsFile "un."

; Defines ${un}StartMeaning: what "Quillon start" said by its exit code
; $Result, in $R0.
!macro DefineStartMeaning un
  Function ${un}StartMeaning
    ${Select} $Result
    ${Case} 0
      StrCpy $R0 "the service was started or ran already (a paused one is left paused), and the dependent services that the stop recorded were started"
    ${Case} 305
      StrCpy $R0 "the service was not started; the record of its dependent services stays"
    ${Case} 306
      StrCpy $R0 "the service runs, but the record of its dependent services could not be read; none of them was started and the record stays"
    ${Case} 307
      StrCpy $R0 "the service runs, but at least one recorded dependent service did not start (named in the log); the record is consumed"
    ${CaseElse}
      StrCpy $R0 "the service was not started (see the guide for the code)"
    ${EndSelect}
    StrCpy $R0 "Quillon start ended with $Result: $R0 ($QuillonSaid)."
  FunctionEnd
!macroend
!insertmacro DefineStartMeaning ""
!insertmacro DefineStartMeaning "un."

; Once an update has run its stop, every failure starts the service again
; (and with it the dependents that the stop recorded) before the run ends:
; a failed update must not leave the server or its dependents down. A start
; of a running service changes nothing. A service still stop pending when
; the wait ran out is not started (a start would count it as started and
; consume the record while it and its dependents go down): the entry notes
; that a start is owed, so that the next run of the setup makes it. Leaves
; what happened in $Restored. Called by FailUpdate and, for the runs that
; NSIS itself ends (a file that cannot be written), by .onInstFailed.
Function StartAgain
  ${If} $Stopped == "1"
    StrCpy $Stopped ""
    ${If} $State == "stop pending"
      WriteRegDWORD HKLM "${UNINSTALL_KEY}\$ServiceName" StartOwed 1
      StrCpy $Restored "The service $ServiceName was still stopping after the wait, so it was not started: it and the dependent services that the stop recorded stay down until it has stopped and is started, by $\"$INSTDIR\Quillon.exe$\" start $ServiceName or by running the setup again."
    ${Else}
      Push start
      Call Quillon
      Call StartMeaning
      StrCpy $Restored $R0
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

; "1" in $R0 when the existing folder $INSTDIR has a protected access list
; (one that inherits nothing: someone set its rights on purpose) and is
; owned by the Administrators group or SYSTEM, else "0". A standard user who
; made the folder owns it and may protect its list too, but cannot give it
; to the administrators. Uses $R1 to $R4.
Function FolderProtected
  StrCpy $R0 0
  ; OWNER_ and DACL_SECURITY_INFORMATION of an SE_FILE_OBJECT.
  System::Call 'advapi32::GetNamedSecurityInfoW(w "$INSTDIR", i 1, i 5, *p .R3, p 0, p 0, p 0, *p .R1) i .R2'
  ${If} $R2 == 0
    System::Call 'advapi32::GetSecurityDescriptorControl(p R1, *i .R2, *i .R4)'
    IntOp $R2 $R2 & 0x1000
    ; WinBuiltinAdministratorsSid (26), WinLocalSystemSid (22).
    System::Call 'advapi32::IsWellKnownSid(p R3, i 26) i .R4'
    ${If} $R4 == 0
      System::Call 'advapi32::IsWellKnownSid(p R3, i 22) i .R4'
    ${EndIf}
    ${If} $R2 != 0
    ${AndIf} $R4 != 0
      StrCpy $R0 1
    ${EndIf}
    System::Call 'kernel32::LocalFree(p R1)'
  ${EndIf}
FunctionEnd

; Gives $INSTDIR the access list FOLDER_SDDL before any file is written: a
; new folder is created with it (no moment without it), an existing one gets
; it with its contents (SetNamedSecurityInfoW passes it on to them). Logs
; "<call> <folder> <list>: <0 or error code>" and leaves that code in $R0.
Function SecureFolder
  System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w "${FOLDER_SDDL}", i 1, *p .R1, p 0) i .R0 ?e'
  Pop $R2
  ${If} $R0 == 0
    StrCpy $R0 $R2
    !insertmacro Log "ConvertStringSecurityDescriptorToSecurityDescriptor ${FOLDER_SDDL}: $R0"
    Return
  ${EndIf}
  ${If} ${FileExists} "$INSTDIR\*.*"
    System::Call 'advapi32::GetSecurityDescriptorOwner(p R1, *p .R3, *i .R2)'
    System::Call 'advapi32::GetSecurityDescriptorDacl(p R1, *i .R2, *p .R4, *i .R2)'
    ; OWNER | DACL | PROTECTED_DACL_SECURITY_INFORMATION
    System::Call 'advapi32::SetNamedSecurityInfoW(w "$INSTDIR", i 1, i 0x80000005, p R3, p 0, p R4, p 0) i .R0'
    StrCpy $R2 SetNamedSecurityInfo
  ${Else}
    ${GetParent} "$INSTDIR" $R2
    CreateDirectory "$R2"
    ; SECURITY_ATTRIBUTES: its size, the descriptor, not inheritable.
    !if ${NSIS_PTR_SIZE} > 4
      System::Call '*(i 24, i 0, p R1, i 0, i 0) p .R3'
    !else
      System::Call '*(i 12, p R1, i 0) p .R3'
    !endif
    System::Call 'kernel32::CreateDirectoryW(w "$INSTDIR", p R3) i .R0 ?e'
    Pop $R2
    System::Free $R3
    ${If} $R0 != 0
      StrCpy $R0 0
      StrCpy $Created 1
    ${Else}
      StrCpy $R0 $R2
    ${EndIf}
    StrCpy $R2 CreateDirectory
  ${EndIf}
  System::Call 'kernel32::LocalFree(p R1)'
  !insertmacro Log "$R2 $INSTDIR ${FOLDER_SDDL}: $R0"
FunctionEnd

Function .onInit
  ; An update goes into the folder of the installation: with no /D= (the
  ; default folder), that folder is taken, also for the directory page.
  ${GetParameters} $R0
  ${GetOptions} $R0 "/SERVICE=" $ServiceName
  ReadRegStr $R1 HKLM "${UNINSTALL_KEY}\$ServiceName" InstallLocation
  ${If} $ServiceName != ""
  ${AndIf} $R1 != ""
  ${AndIf} $INSTDIR == "${DEFAULT_DIR}"
    StrCpy $INSTDIR $R1
  ${EndIf}
FunctionEnd

Section "Server"
  ; Quillon.exe is a 64-bit program: on 32-bit Windows the service could be
  ; registered but never started, stopped or removed by it.
  ${IfNot} ${RunningX64}
    !insertmacro Refuse "The server tools need 64-bit Windows. Nothing was changed."
  ${EndIf}
  ${GetParameters} $R0
  ${GetOptions} $R0 "/LOG=" $LogFile
  ${If} $LogFile != ""
    System::Call 'kernel32::GetFullPathNameW(w "$LogFile", i ${NSIS_MAX_STRLEN}, w .s, p 0)'
    Pop $LogFile
  ${EndIf}
  ${If} $ServiceName == ""
    !insertmacro Refuse "Name the server's service on the command line: /SERVICE=<name>."
  ${EndIf}
  Call CheckServiceName

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
  ; succeeded). Files alone are no installation.
  ReadRegStr $R1 HKLM "${SERVICES_KEY}\$ServiceName" ImagePath
  ReadRegStr $R2 HKLM "${UNINSTALL_KEY}\$ServiceName" UninstallString
  ReadRegStr $R3 HKLM "${UNINSTALL_KEY}\$ServiceName" InstallLocation
  ${If} $R1 != ""
  ${AndIf} $R2 != ""
    StrCpy $Mode "update"
    ${If} $INSTDIR != $R3
      !insertmacro Refuse "$ServiceName is installed in $R3; an update writes only there. Run the setup without /D= or with /D=$R3. Nothing was changed."
    ${EndIf}
  ${Else}
    StrCpy $Mode "install"
    ; A folder that exists already may hold files that standard users put
    ; there (under C:\ they may create folders and files); those would stay
    ; theirs whatever access list the folder gets. Only a folder whose access
    ; list someone protected on purpose is taken.
    ${If} ${FileExists} "$INSTDIR\*.*"
      Call FolderProtected
      ${If} $R0 != 1
        !insertmacro Refuse "The folder $INSTDIR exists already and its access list is not protected by an administrator: files that others could put there would run with the server's rights. Choose a folder that does not exist yet. Nothing was changed."
      ${EndIf}
    ${EndIf}
  ${EndIf}

  ; Standard users must not write where the server, Quillon and the batch
  ; run from with SYSTEM's and the administrators' rights: before any file.
  Call SecureFolder
  ${If} $R0 != 0
    !insertmacro Refuse "The access list of $INSTDIR could not be set (error $R0). Nothing was installed."
  ${EndIf}

  ; Quillon has no create command: the system's own tool registers the
  ; service, before any file is written, so that a failed registration
  ; leaves nothing (the folder goes again if this run created it).
  ${If} $Mode == "install"
    nsExec::Exec '"$SYSDIR\sc.exe" create "$ServiceName" binPath= "\"$INSTDIR\bin\mysqld.exe\"" start= auto'
    Pop $Result
    !insertmacro Log "sc create $ServiceName: $Result"
    ${If} $Result != "0"
      ${IfThen} $Created == 1 ${|} RMDir "$INSTDIR" ${|}
      !insertmacro Refuse "The service $ServiceName could not be registered (sc exit code $Result). No service was registered and no uninstall entry written; run the setup again once the cause is mended."
    ${EndIf}
    StrCpy $Registered "1"
  ${EndIf}

  ; An update leaves the server as it found it. A running server is stopped
  ; for the files and started again; a stopped one (by its administrator, or
  ; after a start that failed) is left stopped with the record of its
  ; dependents, unless the entry says that the last run owes it a start. A
  ; pending state is waited out first; any other state (paused: nothing
  ; resumes it) is refused.
  ${If} $Mode == "update"
    Call WaitWhilePending
    ReadRegDWORD $R1 HKLM "${UNINSTALL_KEY}\$ServiceName" StartOwed
    ${If} $State == "stopped"
    ${AndIf} $R1 != 1
      StrCpy $Mode "update stopped"
    ${ElseIf} $State != "stopped"
    ${AndIf} $State != "running"
      !insertmacro Refuse "The service $ServiceName is $State; an update replaces the files of a stopped or running server only. Nothing was changed."
    ${EndIf}
  ${EndIf}

  ; A record of dependents left by an earlier start that failed (306) would
  ; be replaced by the stop: a start of the running service brings them back
  ; first.
  Call DependentsFile
  ${If} $Mode == "update"
  ${AndIf} $State == "running"
  ${AndIf} $DepFile != ""
  ${AndIf} ${FileExists} "$DepFile"
    Push start
    Call Quillon
    ${If} $Result != "0"
      Call StartMeaning
      !insertmacro Refuse "The record of dependent services that an earlier start left could not be brought back: $R0 Nothing was stopped or replaced."
    ${EndIf}
  ${EndIf}

  ; A running service must be stopped before its files are replaced.
  ; Quillon records the services that depend on it, for the start below.
  ; Whatever the stop ends with, it may have stopped the service or some of
  ; its dependents (408: dependents; 409: the service and every dependent),
  ; so a refusal runs the start first, once the service is no longer
  ; pending: a stop that ran out of time leaves the service stop pending,
  ; and a start then counts as done at once (its dependents fail and their
  ; record is consumed).
  ${If} $Mode == "update"
  ${AndIf} $State == "running"
    Push stop
    Call Quillon
    StrCpy $Stopped "1"
    ${If} $Result != "0"
      StrCpy $R1 $Result
      StrCpy $R2 "Quillon exit code $Result: $QuillonSaid"
      Call WaitWhilePending
      ${If} $R1 == "402"
        !insertmacro FailUpdate "Stopping the service $ServiceName needs administrator rights ($R2). Run the setup as an administrator. No file was replaced."
      ${ElseIf} $R1 == "408"
        StrCpy $R2 "$R2; it refused, a dependent service could not be stopped with it, or it was still stopping after about two minutes"
      ${ElseIf} $R1 == "409"
        StrCpy $R2 "$R2; it and every dependent service were stopped, but a dependent refused its first stop"
      ${EndIf}
      !insertmacro FailUpdate "The stop of the service $ServiceName failed ($R2). No file was replaced."
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
  ; Tolvane.dll runs this batch before the uninstaller removes any file,
  ; and gives up after 45 s, ending only the command interpreter: a stop
  ; started here could outlive it and take the server down after the
  ; uninstall was called off. So the batch stops nothing; the uninstaller
  ; stops the server itself, without that limit.
  FileOpen $0 "$INSTDIR\stop_mysql.bat" w
  FileWrite $0 "@echo off$\r$\n"
  FileWrite $0 "rem The uninstaller stops the server itself, after this batch.$\r$\n"
  FileWrite $0 "exit /b 0$\r$\n"
  FileClose $0
  SetOutPath "$INSTDIR\bin"
  File "/oname=mysqld.exe" "${SERVER_EXE}"
  SetOutPath "$INSTDIR"
  ; Earlier versions kept the service name here; nothing reads it now.
  Delete "$INSTDIR\uninstall.ini"

  ; The uninstaller and its entry come before the start, so that a server
  ; that does not start can still be removed.
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}\$ServiceName" DisplayName "Example Database Server ($ServiceName)"
  WriteRegStr HKLM "${UNINSTALL_KEY}\$ServiceName" UninstallString '"$INSTDIR\uninstall.exe" -c"$INSTDIR\Tolvane.dll"'
  WriteRegStr HKLM "${UNINSTALL_KEY}\$ServiceName" InstallLocation "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}\$ServiceName" SetupLog "$LogFile"
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
  ${If} $Mode == "update stopped"
    Return
  ${EndIf}

  ; Starts the service, and after an update the dependents that the stop
  ; recorded. A start that fails keeps the service, its files and its entry
  ; (the uninstall removes them), and the entry owes the next run a start.
  StrCpy $Stopped ""
  Push start
  Call Quillon
  ${If} $Result != "0"
    WriteRegDWORD HKLM "${UNINSTALL_KEY}\$ServiceName" StartOwed 1
    Call StartMeaning
    !insertmacro Refuse "The service $ServiceName was installed but did not start: $R0 Mend the cause, then run the setup again or $\"$INSTDIR\Quillon.exe$\" start $ServiceName."
  ${EndIf}
  DeleteRegValue HKLM "${UNINSTALL_KEY}\$ServiceName" StartOwed
SectionEnd

; Finds the uninstall entry of the installation in $INSTDIR: its
; InstallLocation is the folder and its UninstallString names this
; uninstaller. Leaves its key name, the service name, in $ServiceName, ""
; when there is none. Uses $R0 to $R2.
Function un.FindEntry
  StrCpy $ServiceName ""
  StrCpy $R0 0
  ${Do}
    EnumRegKey $R1 HKLM "${UNINSTALL_KEY}" $R0
    ${IfThen} $R1 == "" ${|} ${ExitDo} ${|}
    ReadRegStr $R2 HKLM "${UNINSTALL_KEY}\$R1" InstallLocation
    ${If} $R2 == $INSTDIR
      ReadRegStr $R2 HKLM "${UNINSTALL_KEY}\$R1" UninstallString
      ${If} $R2 == '"$INSTDIR\uninstall.exe" -c"$INSTDIR\Tolvane.dll"'
        StrCpy $ServiceName $R1
        ${ExitDo}
      ${EndIf}
    ${EndIf}
    IntOp $R0 $R0 + 1
  ${Loop}
FunctionEnd

; NSIS runs a copy of the uninstaller from a temporary folder and hands it
; this process's arguments, so the -c"<folder>\Tolvane.dll" of the uninstall
; entry reaches the library on the copy's command line.
Section "Uninstall"
  ; The service name and the log come from the uninstall entry, which only
  ; administrators can change: a file in the folder could name another
  ; service, a path outside the folder or a log elsewhere.
  Call un.FindEntry
  ${If} $ServiceName == ""
    !insertmacro Refuse "No uninstall entry names $INSTDIR. Nothing was removed."
  ${EndIf}
  Call un.CheckServiceName
  ReadRegStr $LogFile HKLM "${UNINSTALL_KEY}\$ServiceName" SetupLog

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

  ; The stop runs here, without Tolvane's 45 s limit, and then the wait
  ; while the service is pending: no file goes, and the service is not
  ; removed, until it has stopped. A service that does not stop is started
  ; again (with the dependents the stop recorded) and everything stays; one
  ; still stop pending when the wait ran out cannot be started yet, and the
  ; message says so. A service already gone (an earlier uninstall removed
  ; it, then stopped at its files) leaves only the files to remove.
  Push stop
  Call un.Quillon
  StrCpy $1 $Result
  StrCpy $2 $QuillonSaid
  Call un.WaitWhilePending
  ${If} $State == "stop pending"
    !insertmacro Refuse "The service $ServiceName is still stopping (Quillon stop exit code $1: $2). Nothing was removed. It and the dependent services that the stop recorded are down until it has stopped; then start them with $\"$INSTDIR\Quillon.exe$\" start $ServiceName, or run the uninstall again."
  ${ElseIf} $State != "stopped"
  ${AndIf} $State != "gone"
    Push start
    Call un.Quillon
    Call un.StartMeaning
    !insertmacro Refuse "The service $ServiceName was not stopped (Quillon stop exit code $1: $2; its state: $State). Nothing was removed. $R0"
  ${EndIf}

  ; A delete that ends with 0 has removed the stopped service (or marked it
  ; for removal, while something holds it open). After any other code it
  ; stays unless the query finds it gone.
  ${If} $State == "stopped"
    Push delete
    Call un.Quillon
    StrCpy $1 $Result
    StrCpy $2 $QuillonSaid
    ${If} $1 != "0"
      Call un.WaitWhilePending
      ${If} $State == "stopped"
        Push start
        Call un.Quillon
        Call un.StartMeaning
        !insertmacro Refuse "The service $ServiceName could not be removed (Quillon delete exit code $1: $2). Nothing was removed. $R0"
      ${ElseIf} $State != "gone"
        !insertmacro Refuse "The service $ServiceName could not be removed (Quillon delete exit code $1: $2). Nothing was removed; it was not started again (its state: $State)."
      ${EndIf}
    ${EndIf}
  ${EndIf}

  ; bin holds the server's own files; the folder itself stays when it holds
  ; anything else (data, for example). A file that cannot be removed keeps
  ; the entry, and the server's files go before the tools and the
  ; uninstaller, so that the uninstall can be run again.
  RMDir /r "$INSTDIR\bin"
  Call un.DependentsFile
  ${If} $DepFile != ""
    Delete "$DepFile"
  ${EndIf}
  ${If} ${FileExists} "$INSTDIR\bin\*.*"
    !insertmacro Log "Files left in $INSTDIR\bin"
    !insertmacro Refuse "The service $ServiceName was removed, but not every file in $INSTDIR\bin could be (one may be in use). The uninstaller and its entry stay: run the uninstall again once the files are free."
  ${EndIf}
  Delete "$INSTDIR\Quillon.exe"
  Delete "$INSTDIR\Tolvane.dll"
  Delete "$INSTDIR\stop_mysql.bat"
  Delete "$INSTDIR\uninstall.ini"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  ${If} ${FileExists} "$INSTDIR\Quillon.exe"
  ${OrIf} ${FileExists} "$INSTDIR\Tolvane.dll"
  ${OrIf} ${FileExists} "$INSTDIR\stop_mysql.bat"
  ${OrIf} ${FileExists} "$INSTDIR\uninstall.exe"
    !insertmacro Log "Files left in $INSTDIR"
    !insertmacro Refuse "The service $ServiceName and its server files were removed, but not every file in $INSTDIR could be (one may be in use). The uninstall entry stays; remove what is left by hand, then the entry."
  ${EndIf}
  DeleteRegKey HKLM "${UNINSTALL_KEY}\$ServiceName"

  System::Call '$PLUGINSDIR\Tolvane.dll::UninstUnInitialize(p $HWNDPARENT, p 0, i 0) i .r0 ?u'
  !insertmacro Log "Tolvane UninstUnInitialize: $0"
SectionEnd
