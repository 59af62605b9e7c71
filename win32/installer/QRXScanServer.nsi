; The installer of the QRX Scan Server, built by scripts/package-win.sh with
; makensis: -DVERSION=x.y.z -DFILES=<folder with ScanServer.exe,
; qrx-client.exe, Server.ini, README.txt> -DOUTFILE=<setup.exe>.
;
; Installs the 32-bit server to Program Files (x86)\QRX Scan Server, starts
; it watched ("ScanServer.exe --watch", which starts it again after a crash)
; at every user's logon (HKLM Run) and at the end of the install,
; registers its event source and an uninstaller. Server.ini is written only
; when there is none.
; Refuses (exit code 2) while the MSI package is installed: one of the two
; owns a desk. Silent: setup.exe /S, uninstall.exe /S.

Unicode true
!include "MUI2.nsh"
!include "LogicLib.nsh"

!define PRODUCT "QRX Scan Server"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define RUN_VALUE "QRXScanServer"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\QRXScanServer"
!define FIREWALL_RULE "QRX Scan Server"
!define LOG_FOLDER "C:\qrx"
; The MSI package's UpgradeCode (QRXScanServer.wxs): a desk where the
; package is installed keeps it, and this setup refuses.
!define MSI_UPGRADE_CODE "{F304B6A9-6A66-422E-9C31-5D222311CA5E}"
; The event source of the server's events in the Application log; its
; messages are ScanServer.exe's message table.
!define EVENT_SOURCE_KEY "SYSTEM\CurrentControlSet\Services\EventLog\Application\QRXScanServer"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
; package-win.sh's signing: the uninstaller is signed as soon as it is made,
; so the copy packed into the setup, and written at install, carries it.
!ifdef SIGN_COMMAND
  !uninstfinalize '"${SIGN_COMMAND}" "%1"' = 0
!endif
InstallDir "$PROGRAMFILES32\${PRODUCT}"
; An upgrade goes where the installed copy is.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel admin
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${PRODUCT} setup"
VIAddVersionKey "LegalCopyright" ""

!define MUI_COMPONENTSPAGE_SMALLDESC
!define MUI_COMPONENTSPAGE_TEXT_TOP "The log, if you choose its folder, holds every card request whole: names, ID numbers and photographs. It is bounded by MaxLogSize in Server.ini (64 MiB, and the older sock.log.1), except while another program holds one of them open so that it cannot be rotated."
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; Refuses a desk where the MSI package is installed.
Function .onInit
  System::Call 'msi::MsiEnumRelatedProductsW(w "${MSI_UPGRADE_CODE}", i 0, i 0, w .r1) i .r0'
  ${If} $0 == 0
    MessageBox MB_ICONSTOP "${PRODUCT} is installed on this PC from its MSI package ($1). Remove it in Apps and features (or msiexec /x $1 /qn) before running this setup, or upgrade it with a newer MSI package." /SD IDOK
    SetErrorLevel 2
    Abort
  ${EndIf}
FunctionEnd

; Ends every running copy; it holds the files and the single-copy guard.
; Waits (up to 10 s) until the program file can be removed, which is when
; the copy has ended.
!macro StopServer
  nsExec::ExecToLog 'taskkill /F /IM ScanServer.exe'
  Pop $0
  StrCpy $1 0
  ${Do}
    Delete "$INSTDIR\ScanServer.exe"
    ${IfNot} ${FileExists} "$INSTDIR\ScanServer.exe"
    ${OrIf} $1 >= 40
      ${Break}
    ${EndIf}
    IntOp $1 $1 + 1
    Sleep 250
  ${Loop}
!macroend

Section "-Server" SecServer
  SectionIn RO
  !insertmacro StopServer
  SetOutPath "$INSTDIR"
  SetOverwrite on
  File "${FILES}/ScanServer.exe"
  File "${FILES}/qrx-client.exe"
  File "${FILES}/README.txt"
  ; The settings as shipped, kept to tell a changed Server.ini at uninstall.
  File "/oname=Server.ini.default" "${FILES}/Server.ini"
  SetOverwrite off
  File "${FILES}/Server.ini"
  SetOverwrite on

  WriteRegStr HKLM "${RUN_KEY}" "${RUN_VALUE}" '"$INSTDIR\ScanServer.exe" --watch'
  WriteRegExpandStr HKLM "${EVENT_SOURCE_KEY}" "EventMessageFile" "$INSTDIR\ScanServer.exe"
  ; Errors, warnings and information (1 | 2 | 4).
  WriteRegDWORD HKLM "${EVENT_SOURCE_KEY}" "TypesSupported" 7
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\ScanServer.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section /o "Log folder ${LOG_FOLDER}" SecLog
  CreateDirectory "${LOG_FOLDER}"
SectionEnd

Section "Firewall rule for ports 7106 and 7107 (local subnet)" SecFirewall
  nsExec::ExecToLog 'netsh advfirewall firewall delete rule name="${FIREWALL_RULE}"'
  Pop $0
  nsExec::ExecToLog 'netsh advfirewall firewall add rule name="${FIREWALL_RULE}" dir=in action=allow protocol=TCP localport=7106-7107 remoteip=localsubnet'
  Pop $0
SectionEnd

; Started last as at logon: with the token of the shell (the desktop's
; explorer.exe, which starts the Run value at logon), so without the setup's
; administrator rights, and from the shell's current folder, the system
; folder. Without a shell (nobody logged on) it starts at the next logon.
Section "-Start" SecStart
  StrCpy $0 0
  System::Call 'user32::GetShellWindow() p.r1'
  System::Call 'user32::GetWindowThreadProcessId(p r1, *i .r2)'
  System::Call 'kernel32::OpenProcess(i 0x1000, i 0, i r2) p.r3' ; PROCESS_QUERY_LIMITED_INFORMATION
  System::Call 'advapi32::OpenProcessToken(p r3, i 0x2, *p .r4)' ; TOKEN_DUPLICATE
  ; A primary token that may be assigned to a process: SecurityImpersonation, TokenPrimary.
  System::Call 'advapi32::DuplicateTokenEx(p r4, i 0x18B, p 0, i 2, i 1, *p .r5)'
  System::Alloc 68 ; STARTUPINFOW
  Pop $6
  System::Call '*$6(i 68)'
  System::Alloc 16 ; PROCESS_INFORMATION
  Pop $7
  System::Call 'advapi32::CreateProcessWithTokenW(p r5, i 0, w "$INSTDIR\ScanServer.exe", \
      w `"$INSTDIR\ScanServer.exe" --watch`, i 0, p 0, w "$SYSDIR", p r6, p r7) i.r0'
  ${If} $0 != 0
    System::Call '*$7(p .r8, p .r9)'
    System::Call 'kernel32::CloseHandle(p r8)'
    System::Call 'kernel32::CloseHandle(p r9)'
    DetailPrint "Started ScanServer.exe as the logged-on user."
  ${Else}
    DetailPrint "ScanServer.exe starts at the next logon."
  ${EndIf}
  System::Free $6
  System::Free $7
  System::Call 'kernel32::CloseHandle(p r5)'
  System::Call 'kernel32::CloseHandle(p r4)'
  System::Call 'kernel32::CloseHandle(p r3)'
SectionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecLog} "Creates ${LOG_FOLDER} for the log, sock.log: whole requests, up to MaxLogSize (more while another program holds it open). Without it, no log."
  !insertmacro MUI_DESCRIPTION_TEXT ${SecFirewall} "Opens ports 7106 and 7107 to the local subnet. Not needed when the clients run on this PC."
!insertmacro MUI_FUNCTION_DESCRIPTION_END

; $0 = "1" when the two files differ (or one cannot be read), else "0".
Function un.FilesDiffer
  Exch $R1 ; second file
  Exch
  Exch $R0 ; first file
  Push $R2
  Push $R3
  Push $R4
  Push $R5
  StrCpy $0 "1"
  ClearErrors
  FileOpen $R2 "$R0" r
  IfErrors done
  FileOpen $R3 "$R1" r
  IfErrors close_first
  loop:
    ClearErrors
    FileReadByte $R2 $R4
    ${If} ${Errors}
      ClearErrors
      FileReadByte $R3 $R5
      ${If} ${Errors}
        StrCpy $0 "0" ; both ended together
      ${EndIf}
      Goto close_both
    ${EndIf}
    FileReadByte $R3 $R5
    IfErrors close_both
    StrCmp $R4 $R5 loop close_both
  close_both:
    FileClose $R3
  close_first:
    FileClose $R2
  done:
  Pop $R5
  Pop $R4
  Pop $R3
  Pop $R2
  Pop $R0
  Pop $R1
FunctionEnd

Section "Uninstall"
  !insertmacro StopServer
  DeleteRegValue HKLM "${RUN_KEY}" "${RUN_VALUE}"
  DeleteRegKey HKLM "${EVENT_SOURCE_KEY}"
  nsExec::ExecToLog 'netsh advfirewall firewall delete rule name="${FIREWALL_RULE}"'
  Pop $0
  Delete "$INSTDIR\ScanServer.exe"
  Delete "$INSTDIR\qrx-client.exe"
  Delete "$INSTDIR\README.txt"
  Push "$INSTDIR\Server.ini"
  Push "$INSTDIR\Server.ini.default"
  Call un.FilesDiffer
  ${If} $0 == "0"
    Delete "$INSTDIR\Server.ini"
  ${ElseIf} ${FileExists} "$INSTDIR\Server.ini"
    DetailPrint "Kept: $INSTDIR\Server.ini, which holds your changed settings."
  ${EndIf}
  Delete "$INSTDIR\Server.ini.default"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DetailPrint "Kept: the log folder ${LOG_FOLDER}, if there is one; delete it by hand when its records are no longer needed."
SectionEnd
