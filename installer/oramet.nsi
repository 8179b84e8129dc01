; Setup for Oramet: for the current user (the default) or for all users of
; the computer, a Start-menu shortcut, an entry in the list of installed
; programs, and an uninstaller that leaves nothing of Oramet behind.
;
; Built by the CMake target "installer"; by hand:
;   makensis -INPUTCHARSET UTF8 -DEXE=path/to/oramet.exe -DSERVICE_EXE=... -DOUTFILE=setup.exe oramet.nsi
; with -DTARGET=amd64-unicode -DX64 for the x64 programs.
;
; Command line of the setup program: /S silent, /CurrentUser (default) or
; /AllUsers, /Server=host (all users only: the time server of the clock
; service), /D=folder (last, unquoted). The x86 one exits with 3 where the
; x64 one is installed for all users.
; Command line of the uninstaller: /S silent (removes the settings too unless
; /KeepSettings is given).
;
; The tests build the x86 setup program's logic into an amd64 one with
; -DTARGET=amd64-unicode -DAS_X86 (no -DX64), for machines that run no 32-bit
; code: its entry and settings then go to the 32-bit registry view and its
; folder to the 32-bit Program Files, as the x86 one's do on 64-bit Windows.

Unicode true
SetCompressor /SOLID lzma
!ifdef TARGET
  Target ${TARGET}
!endif
; The x64 programs come with an amd64 setup program, which installs under the
; 64-bit Program Files (it cannot start on 32-bit Windows at all); the x86
; one installs under the 32-bit Program Files.
!ifdef X64
  !define MULTIUSER_USE_PROGRAMFILES64
!endif
!ifdef AS_X86 & X64
  !error "AS_X86 stands for the x86 setup program: leave out -DX64"
!endif

!ifndef EXE
  !error "Pass the built program: -DEXE=path/to/oramet.exe"
!endif
!ifndef SERVICE_EXE
  !error "Pass the built clock service: -DSERVICE_EXE=path/to/oramet-clock.exe"
!endif
; The version comes from the build (the project's one version).
!ifndef VERSION | VERSION_QUAD
  !error "Pass the version: -DVERSION=2.07 -DVERSION_QUAD=2.7.0.0"
!endif
!define /ifndef OUTFILE "oramet-${VERSION}-setup.exe"
!define /ifndef ICON "${__FILEDIR__}\..\res\oramet.ico"

!define PRODUCT "Oramet"
!define MAKER "Quellton"
!define PROGRAM "oramet.exe"
; The clock service, installed for all users only: it sets the clock for a
; program that has no right to.
!define SERVICE_PROGRAM "oramet-clock.exe"
!define SERVICE_NAME "OrametClock"
; Its event log source, whose texts are its own message table.
!define EVENTLOG_KEY "SYSTEM\CurrentControlSet\Services\EventLog\Application\Oramet"
; The main window: a dialog with the program's caption.
!define WINDOW_CLASS "#32770"
!define WINDOW_CAPTION "${PRODUCT} ${VERSION}"
!define UNINSTALLER "uninstall.exe"
!define SHORTCUT "Oramet.lnk"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Oramet"
!define SETTINGS_PARENT "SOFTWARE\Velmora"
!define SETTINGS_KEY "${SETTINGS_PARENT}\Adjust"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define RUN_VALUE "Horalin"
!define SERVICE_KEY "SYSTEM\CurrentControlSet\Services\${SERVICE_NAME}"
; Windows runs its StubPath once for each account, at that account's next
; logon, whenever its Version is newer than the one the account has seen.
!define ACTIVE_SETUP_KEY "SOFTWARE\Microsoft\Active Setup\Installed Components\OrametAutoStart"
!searchreplace ACTIVE_SETUP_VERSION "${VERSION_QUAD}" "." ","
; The x86 setup program's exit code where the x64 one is installed for all
; users (1 and 2 are cancel and abort).
!define EXIT_X64_INSTALLED 3

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
; The installed files get the time they were installed, and the setup
; program holds no build time: one commit always gives the same bytes.
SetDateSave off
; A release signs the setup program and the uninstaller inside it.
!ifdef SIGN
  !finalize '${SIGN} "%1"'
  !uninstfinalize '${SIGN} "%1"'
!endif
BrandingText "${MAKER}"

; Highest: an administrator may choose either mode, a standard user gets the
; per-user install without a consent prompt.
!define MULTIUSER_EXECUTIONLEVEL Highest
!define MULTIUSER_MUI
!define MULTIUSER_INSTALLMODE_COMMANDLINE
!define MULTIUSER_INSTALLMODE_DEFAULT_CURRENTUSER
!define MULTIUSER_INSTALLMODE_INSTDIR "${PRODUCT}"
; A second run of the setup program updates the copy already installed.
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_KEY "${UNINST_KEY}"
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_VALUENAME "InstallLocation"
!define MULTIUSER_INSTALLMODE_DEFAULT_REGISTRY_KEY "${UNINST_KEY}"
!define MULTIUSER_INSTALLMODE_DEFAULT_REGISTRY_VALUENAME "InstallLocation"
!include MultiUser.nsh
!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include x64.nsh

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
; Oramet's own pictures, drawn from its icon by the build.
!ifdef WELCOME_BITMAP
  !define MUI_WELCOMEFINISHPAGE_BITMAP "${WELCOME_BITMAP}"
!endif
!ifdef HEADER_BITMAP
  !define MUI_HEADERIMAGE
  !define MUI_HEADERIMAGE_RIGHT
  !define MUI_HEADERIMAGE_BITMAP "${HEADER_BITMAP}"
  !define MUI_HEADERIMAGE_UNBITMAP "${HEADER_BITMAP}"
!endif
!define MUI_ABORTWARNING

!ifndef X64
  ; On 64-bit Windows the welcome page points to the x64 setup program.
  Var WelcomeText
  !define MUI_WELCOMEPAGE_TEXT "$WelcomeText"
  !define MUI_PAGE_CUSTOMFUNCTION_PRE WelcomePre
!endif
!insertmacro MUI_PAGE_WELCOME
!insertmacro MULTIUSER_PAGE_INSTALLMODE
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
; Says whether the clock service was installed, and what that means.
Var FinishText
!define MUI_FINISHPAGE_TEXT "$FinishText"
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

; The first language is the one used where the system's is neither.
!insertmacro MUI_LANGUAGE "SimpChinese"
!insertmacro MUI_LANGUAGE "English"

LangString RemoveSettings ${LANG_SIMPCHINESE} "是否同时删除 Oramet 的设置（时间服务器、同步间隔、计数）？"
LangString RemoveSettings ${LANG_ENGLISH} "Also remove Oramet's settings (time server, interval, fetch count)?"
LangString CloseRunning ${LANG_SIMPCHINESE} "Oramet 正在运行。点击“确定”关闭它并继续，点击“取消”退出。"
LangString CloseRunning ${LANG_ENGLISH} "Oramet is running. Click OK to close it and continue, or Cancel to quit."
LangString CannotClose ${LANG_SIMPCHINESE} "无法关闭 Oramet，请退出它后再试。"
LangString CannotClose ${LANG_ENGLISH} "Oramet could not be closed. Quit it and try again."
LangString NeedAdmin ${LANG_SIMPCHINESE} "Oramet 是为所有用户安装的，卸载需要管理员权限。"
LangString NeedAdmin ${LANG_ENGLISH} "Oramet was installed for all users; removing it needs administrator rights."
LangString FinishAllUsers ${LANG_SIMPCHINESE} "Oramet 已为所有用户安装。$\r$\n$\r$\nOramet 时钟服务已启动：Oramet 自身无权修改时间时，由它设置系统时间。"
LangString FinishAllUsers ${LANG_ENGLISH} "Oramet is installed for all users.$\r$\n$\r$\nThe Oramet clock service is running: it sets the system clock whenever Oramet itself may not."
LangString FinishCurrentUser ${LANG_SIMPCHINESE} "Oramet 已为当前用户安装。$\r$\n$\r$\n此安装不含时钟服务：只有在 Oramet 以管理员身份运行时才能设置系统时间，否则只显示网络时间，状态栏显示“本地时间设置失败”。要让它为每个用户设置时间，请由管理员为所有用户安装。"
LangString FinishCurrentUser ${LANG_ENGLISH} "Oramet is installed for the current user.$\r$\n$\r$\nThis install has no clock service: Oramet sets the system clock only when it runs as an administrator; otherwise it shows the network time and its status line says the clock was not set. To have the clock set for every user, let an administrator install Oramet for all users."
LangString ServiceFailed ${LANG_SIMPCHINESE} "无法安装或启动 Oramet 时钟服务（错误 $0）。Oramet 仍可显示网络时间。"
LangString UseX64Setup ${LANG_SIMPCHINESE} "此安装程序安装 32 位 (x86) 的 Oramet。这台电脑运行的是 64 位 Windows，应使用 64 位安装程序 oramet-${VERSION}-x64-setup.exe。继续使用本程序安装也可以。"
LangString UseX64Setup ${LANG_ENGLISH} "This setup program installs the 32-bit (x86) Oramet. This computer runs 64-bit Windows: oramet-${VERSION}-x64-setup.exe is the one to use here. You may still go on with this one."
LangString X64Installed ${LANG_SIMPCHINESE} "这台电脑已为所有用户安装了 64 位 (x64) 的 Oramet。此安装程序安装的是 32 位 (x86) 的 Oramet，两者会争用同一个时钟服务，因此不能再装一份。要更新 Oramet，请使用 64 位安装程序 oramet-${VERSION}-x64-setup.exe。"
LangString X64Installed ${LANG_ENGLISH} "The 64-bit (x64) Oramet is installed for all users of this computer. This setup program installs the 32-bit (x86) Oramet, which would take over the clock service they share, so it installs nothing. To update Oramet, run the 64-bit setup program, oramet-${VERSION}-x64-setup.exe."
LangString ServiceFailed ${LANG_ENGLISH} "The Oramet clock service could not be installed or started (error $0). Oramet still shows the network time."

VIProductVersion "${VERSION_QUAD}"
VIFileVersion "${VERSION_QUAD}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "CompanyName" "${MAKER}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "FileDescription" "Oramet 网络校时 安装程序"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "LegalCopyright" "© 2026 ${MAKER}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "${MAKER}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "Oramet setup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "© 2026 ${MAKER}"

Var ChosenDir

; HKLM\SOFTWARE\Velmora\Adjust lives in the native view on 64-bit Windows,
; where reg add, regedit and the service (both builds) find it; a 32-bit
; setup program would otherwise write WOW6432Node. HKCU is not redirected.
!macro MACHINE_SETTINGS_VIEW
  !if ${NSIS_PTR_SIZE} > 4
    SetRegView 64
  !else
    ${If} ${RunningX64}
      SetRegView 64
    ${EndIf}
  !endif
!macroend
!define MachineSettingsView "!insertmacro MACHINE_SETTINGS_VIEW"
; Returns from the function on 32-bit Windows. An amd64 setup program starts
; only on 64-bit Windows, where LogicLib's test would leave a label unused.
!macro RETURN_UNLESS_64BIT_WINDOWS
  !if ${NSIS_PTR_SIZE} <= 4
    ${IfNot} ${RunningX64}
      Return
    ${EndIf}
  !endif
!macroend
!ifdef AS_X86
  !define ProgramView "SetRegView 32"
!else
  !define ProgramView "SetRegView default"
!endif

; The program named by a start-with-Windows value ($0), which may quote it:
; $0 becomes the bare path.
!macro RUN_VALUE_PATH_FUNCTION UN
Function ${UN}RunValuePath
  StrCpy $1 $0 1
  ${If} $1 == '"'
    StrCpy $0 $0 "" 1
    StrCpy $2 0
    ${Do}
      StrCpy $1 $0 1 $2
      ${IfThen} $1 == '"' ${|} ${ExitDo} ${|}
      ${IfThen} $1 == "" ${|} ${ExitDo} ${|}
      IntOp $2 $2 + 1
    ${Loop}
    StrCpy $0 $0 $2
  ${EndIf}
FunctionEnd
!macroend
!ifdef X64
  !insertmacro RUN_VALUE_PATH_FUNCTION ""
!endif
!insertmacro RUN_VALUE_PATH_FUNCTION "un."

; A running copy keeps its file open, so it cannot be replaced or removed.
; Only then are running copies closed, by their own close command (the one
; the caption's close box gives), after asking. Quits when that fails.
!macro FREE_PROGRAM_FUNCTION UN
Function ${UN}FreeProgram
  Delete "$INSTDIR\${PROGRAM}"
  ${IfNot} ${FileExists} "$INSTDIR\${PROGRAM}"
    Return
  ${EndIf}
  MessageBox MB_OKCANCEL|MB_ICONEXCLAMATION "$(CloseRunning)" /SD IDOK IDOK +3
    SetErrorLevel 2
    Quit
  StrCpy $1 0
  ${Do}
    FindWindow $0 "${WINDOW_CLASS}" "${WINDOW_CAPTION}"
    ${If} $0 <> 0
      SendMessage $0 ${WM_CLOSE} 0 0 /TIMEOUT=2000
    ${EndIf}
    ; The file is free only once the process has ended.
    Sleep 250
    Delete "$INSTDIR\${PROGRAM}"
    ${IfNot} ${FileExists} "$INSTDIR\${PROGRAM}"
      Return
    ${EndIf}
    IntOp $1 $1 + 1
  ${LoopUntil} $1 >= 60
  MessageBox MB_OK|MB_ICONSTOP "$(CannotClose)" /SD IDOK
  SetErrorLevel 2
  Quit
FunctionEnd
!macroend
!insertmacro FREE_PROGRAM_FUNCTION ""
!insertmacro FREE_PROGRAM_FUNCTION "un."

!ifndef X64
; An x86 copy beside an x64 one for all users would take over the service
; they share, and removing either copy would then break the other.
Function RefuseOverX64
  !insertmacro RETURN_UNLESS_64BIT_WINDOWS
  SetRegView 64
  ReadRegStr $0 HKLM "${UNINST_KEY}" "InstallLocation"
  ${ProgramView}
  ${If} $0 != ""
    MessageBox MB_OK|MB_ICONSTOP "$(X64Installed)" /SD IDOK
    SetErrorLevel ${EXIT_X64_INSTALLED}
    Quit
  ${EndIf}
FunctionEnd

; Earlier x86 setup programs wrote the machine's server without choosing a
; view, so on 64-bit Windows it lies under WOW6432Node, where the service
; never looks. It moves to the native view, unless one is there already.
Function MoveMachineServer
  !insertmacro RETURN_UNLESS_64BIT_WINDOWS
  SetRegView 64
  ReadRegStr $0 HKLM "${SETTINGS_KEY}" "Server"
  ${If} $0 == ""
    SetRegView 32
    ReadRegStr $0 HKLM "${SETTINGS_KEY}" "Server"
    ${If} $0 != ""
      SetRegView 64
      ClearErrors
      WriteRegStr HKLM "${SETTINGS_KEY}" "Server" $0
      SetRegView 32
      ${IfNot} ${Errors}
        DeleteRegValue HKLM "${SETTINGS_KEY}" "Server"
        DeleteRegKey /ifempty HKLM "${SETTINGS_KEY}"
        DeleteRegKey /ifempty HKLM "${SETTINGS_PARENT}"
      ${EndIf}
    ${EndIf}
  ${EndIf}
  ${ProgramView}
FunctionEnd

Function WelcomePre
  StrCpy $WelcomeText "$(MUI_TEXT_WELCOME_INFO_TEXT)"
  !insertmacro RETURN_UNLESS_64BIT_WINDOWS
  StrCpy $WelcomeText "$(UseX64Setup)$\r$\n$\r$\n$WelcomeText"
FunctionEnd
!endif

Function .onInit
  ; MultiUser sets its own default folder; a /D= on the command line wins.
  StrCpy $ChosenDir $INSTDIR
  ${ProgramView}
!ifndef X64
  Call RefuseOverX64
!endif
  !insertmacro MULTIUSER_INIT
!ifdef AS_X86
  ; An amd64 setup program's $PROGRAMFILES, even $PROGRAMFILES32, is the
  ; 64-bit folder.
  ${If} $MultiUser.InstallMode == "AllUsers"
  ${AndIf} $INSTDIR == "$PROGRAMFILES64\${PRODUCT}"
    ReadEnvStr $0 "ProgramFiles(x86)"
    StrCpy $INSTDIR "$0\${PRODUCT}"
  ${EndIf}
!endif
!ifdef X64
  ; An x86 install for all users is moved here: the pages offer that mode
  ; first. Unattended, the command line alone decides, as always.
  SetRegView 32
  ReadRegStr $0 HKLM "${UNINST_KEY}" "InstallLocation"
  ${ProgramView}
  ${GetParameters} $1
  ClearErrors
  ${GetOptions} $1 "/CurrentUser" $2
  ${If} $0 != ""
  ${AndIf} ${Errors}
  ${AndIfNot} ${Silent}
  ${AndIf} $MultiUser.Privileges == "Admin"
    Call MultiUser.InstallMode.AllUsers
  ${EndIf}
!endif
  ${If} $ChosenDir != ""
    StrCpy $INSTDIR $ChosenDir
  ${EndIf}
FunctionEnd

; Stops the clock service of an all-users copy and waits (bounded) until its
; file is free to be replaced or removed.
!macro FREE_SERVICE_FUNCTION UN
Function ${UN}FreeService
  ${IfNot} ${FileExists} "$INSTDIR\${SERVICE_PROGRAM}"
    Return
  ${EndIf}
  nsExec::Exec '"$SYSDIR\sc.exe" stop ${SERVICE_NAME}'
  Pop $0  ; not running, or not registered: the file is free all the same
  StrCpy $1 0
  ${Do}
    Delete "$INSTDIR\${SERVICE_PROGRAM}"
    ${IfNot} ${FileExists} "$INSTDIR\${SERVICE_PROGRAM}"
      Return
    ${EndIf}
    Sleep 250
    IntOp $1 $1 + 1
  ${LoopUntil} $1 >= 60
FunctionEnd
!macroend
!insertmacro FREE_SERVICE_FUNCTION ""
!insertmacro FREE_SERVICE_FUNCTION "un."

!ifdef X64
Var EarlierDir
Var EarlierServer
Var EarlierRunValue

; An x86 install for all users lies in the 32-bit Program Files, with its
; entry (and, before this version, the machine's server) in the 32-bit
; registry view. Its own uninstaller, run silently, stops and removes its
; service and files; the settings stay, the machine's server is carried over
; to the native view, and a start-with-Windows value that started it is made
; to start the program installed now.
Function RemoveEarlierInstall
  StrCpy $EarlierServer ""
  StrCpy $EarlierRunValue ""
  SetRegView 32
  ReadRegStr $EarlierDir HKLM "${UNINST_KEY}" "InstallLocation"
  ReadRegStr $0 HKLM "${SETTINGS_KEY}" "Server"
  ${ProgramView}
  ${If} $EarlierDir == ""
  ${OrIf} $EarlierDir == $INSTDIR
  ${OrIfNot} ${FileExists} "$EarlierDir\${UNINSTALLER}"
    StrCpy $EarlierDir ""
    Return
  ${EndIf}
  ; The native view's server wins where both views hold one.
  StrCpy $EarlierServer $0
  ReadRegStr $0 HKLM "${SETTINGS_KEY}" "Server"
  ${IfThen} $0 != "" ${|} StrCpy $EarlierServer $0 ${|}
  ReadRegStr $0 HKCU "${RUN_KEY}" "${RUN_VALUE}"
  Call RunValuePath
  ${If} $0 == "$EarlierDir\${PROGRAM}"
    StrCpy $EarlierRunValue $0
  ${EndIf}
  ; _?= runs the uninstaller in place, so that it is waited for; it cannot
  ; remove itself then.
  ExecWait '"$EarlierDir\${UNINSTALLER}" /S /KeepSettings _?=$EarlierDir' $0
  ${If} $0 == 0
    Delete "$EarlierDir\${UNINSTALLER}"
    RMDir "$EarlierDir"
  ${EndIf}
FunctionEnd

Function RestoreEarlierSettings
  ${If} $EarlierDir == ""
    Return
  ${EndIf}
  ClearErrors
  ReadRegStr $0 HKLM "${SETTINGS_KEY}" "Server"
  ${If} ${Errors}
  ${AndIf} $EarlierServer != ""
    WriteRegStr HKLM "${SETTINGS_KEY}" "Server" $EarlierServer
  ${EndIf}
  ${If} $EarlierRunValue != ""
    WriteRegStr HKCU "${RUN_KEY}" "${RUN_VALUE}" '"$INSTDIR\${PROGRAM}"'
  ${EndIf}
  Call MoveAutoStart
FunctionEnd

; Every other account whose start-with-Windows value names the removed x86
; program: those logged on now at once, the rest at their next logon through
; Active Setup, since their hives are not at hand before. The clock service's
; program does it, having a switch for this alone; oramet.exe reads no
; command line.
Function MoveAutoStart
  StrCpy $0 '"$INSTDIR\${SERVICE_PROGRAM}" /moveautostart "$EarlierDir\${PROGRAM}"'
  SetRegView 64
  WriteRegStr HKLM "${ACTIVE_SETUP_KEY}" "" "${PRODUCT}"
  WriteRegStr HKLM "${ACTIVE_SETUP_KEY}" "StubPath" $0
  WriteRegStr HKLM "${ACTIVE_SETUP_KEY}" "Version" "${ACTIVE_SETUP_VERSION}"
  WriteRegDWORD HKLM "${ACTIVE_SETUP_KEY}" "IsInstalled" 1
  ${ProgramView}
  nsExec::Exec $0
  Pop $0  ; whoever it missed is seen to at logon
FunctionEnd
!endif

Section "Oramet" SecProgram
  SectionIn RO
!ifdef X64
  ${If} $MultiUser.InstallMode == "AllUsers"
    Call RemoveEarlierInstall
  ${EndIf}
!endif
  Call FreeProgram
  SetOutPath "$INSTDIR"
  File "/oname=${PROGRAM}" "${EXE}"
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"

  ; Only an all-users install has the rights to register a service.
  ${If} $MultiUser.InstallMode == "AllUsers"
    Call FreeService
    File "/oname=${SERVICE_PROGRAM}" "${SERVICE_EXE}"
!ifndef X64
    Call MoveMachineServer
!endif
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/Server=" $1
    ${IfNot} ${Errors}
    ${AndIf} $1 != ""
      ${MachineSettingsView}
      WriteRegStr HKLM "${SETTINGS_KEY}" "Server" $1
      ${ProgramView}
    ${EndIf}
!ifdef X64
    Call RestoreEarlierSettings
!endif
    WriteRegExpandStr HKLM "${EVENTLOG_KEY}" "EventMessageFile" "$INSTDIR\${SERVICE_PROGRAM}"
    WriteRegDWORD HKLM "${EVENTLOG_KEY}" "TypesSupported" 7
    ; Registers (or reconfigures) and starts it.
    nsExec::Exec '"$INSTDIR\${SERVICE_PROGRAM}" /install'
    Pop $0
    ${If} $0 != 0
      MessageBox MB_OK|MB_ICONEXCLAMATION "$(ServiceFailed)" /SD IDOK
    ${EndIf}
    StrCpy $FinishText "$(FinishAllUsers)"
  ${Else}
    StrCpy $FinishText "$(FinishCurrentUser)"
  ${EndIf}

  ; MultiUser set the shell context: SHCTX and $SMPROGRAMS follow the mode.
  CreateShortcut "$SMPROGRAMS\${SHORTCUT}" "$INSTDIR\${PROGRAM}" "" "$INSTDIR\${PROGRAM}" 0

  WriteRegStr SHCTX "${UNINST_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr SHCTX "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr SHCTX "${UNINST_KEY}" "Publisher" "${MAKER}"
  WriteRegStr SHCTX "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\${PROGRAM},0"
  WriteRegStr SHCTX "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${UNINST_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr SHCTX "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegDWORD SHCTX "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINST_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD SHCTX "${UNINST_KEY}" "EstimatedSize" $0
SectionEnd

Function un.onInit
  ; The uninstaller belongs to the install in whose folder it lies, whatever
  ; the account running it would default to (MultiUser would also replace
  ; $INSTDIR with what the registry says).
  StrCpy $ChosenDir $INSTDIR
  ${ProgramView}
  !insertmacro MULTIUSER_UNINIT
  StrCpy $INSTDIR $ChosenDir
  ReadRegStr $0 HKLM "${UNINST_KEY}" "InstallLocation"
  ${If} $0 == $INSTDIR
    ${If} $MultiUser.Privileges != "Admin"
    ${AndIf} $MultiUser.Privileges != "Power"
      MessageBox MB_OK|MB_ICONSTOP "$(NeedAdmin)" /SD IDOK
      Quit
    ${EndIf}
    Call un.MultiUser.InstallMode.AllUsers
  ${Else}
    Call un.MultiUser.InstallMode.CurrentUser
  ${EndIf}
  StrCpy $INSTDIR $ChosenDir
FunctionEnd

; Removes the start-with-Windows value when it starts this copy, or a program
; that is no longer there. A value naming another copy that still exists (a
; portable one, say) stays. The program may store its path in quotes.
Function un.RemoveRunValue
  ClearErrors
  ReadRegStr $0 HKCU "${RUN_KEY}" "${RUN_VALUE}"
  ${If} ${Errors}
    Return
  ${EndIf}
  Call un.RunValuePath
  ; LogicLib's == compares without regard to case, as Windows paths do.
  ${If} $0 == "$INSTDIR\${PROGRAM}"
  ${OrIfNot} ${FileExists} $0
    DeleteRegValue HKCU "${RUN_KEY}" "${RUN_VALUE}"
  ${EndIf}
FunctionEnd

; Where a PC holds an x86 and an x64 copy, the service is the one whose
; ImagePath names its folder; the other copy's uninstaller leaves it, and the
; machine's server it asks, alone.
Function un.RemoveOwnService
  ClearErrors
  ReadRegStr $0 HKLM "${SERVICE_KEY}" "ImagePath"
  ${IfNot} ${Errors}
    ExpandEnvStrings $0 $0
    Call un.RunValuePath
    ${If} $0 != "$INSTDIR\${SERVICE_PROGRAM}"
      ; The service runs the other copy's file, not this one.
      Delete "$INSTDIR\${SERVICE_PROGRAM}"
      Return
    ${EndIf}
  ${EndIf}
  nsExec::Exec '"$INSTDIR\${SERVICE_PROGRAM}" /uninstall'
  Pop $0
  Call un.FreeService
  DeleteRegKey HKLM "${EVENTLOG_KEY}"
  Call un.RemoveMachineServer
FunctionEnd

!macro DELETE_MACHINE_SERVER
  DeleteRegValue HKLM "${SETTINGS_KEY}" "Server"
  DeleteRegValue HKLM "${SETTINGS_KEY}" "MaxPosPhaseCorrection"
  DeleteRegValue HKLM "${SETTINGS_KEY}" "MaxNegPhaseCorrection"
  DeleteRegKey /ifempty HKLM "${SETTINGS_KEY}"
  DeleteRegKey /ifempty HKLM "${SETTINGS_PARENT}"
!macroend

; The administrator's server and bounds go with the service, from both views: earlier
; x86 setup programs wrote it to the 32-bit one.
Function un.RemoveMachineServer
  ${un.GetParameters} $0
  ClearErrors
  ${un.GetOptions} $0 "/KeepSettings" $1
  ${IfNot} ${Errors}
    Return
  ${EndIf}
  !insertmacro DELETE_MACHINE_SERVER
  !insertmacro RETURN_UNLESS_64BIT_WINDOWS
  SetRegView 64
  !insertmacro DELETE_MACHINE_SERVER
  SetRegView 32
  !insertmacro DELETE_MACHINE_SERVER
  ${ProgramView}
FunctionEnd

; The settings live in the running account's HKCU; other accounts keep theirs.
Function un.RemoveSettings
  ClearErrors
  EnumRegKey $0 HKCU "${SETTINGS_KEY}" 0
  ${If} ${Errors}
    Return
  ${EndIf}
  ${un.GetParameters} $0
  ClearErrors
  ${un.GetOptions} $0 "/KeepSettings" $1
  ${IfNot} ${Errors}
    Return
  ${EndIf}
  MessageBox MB_YESNO|MB_ICONQUESTION "$(RemoveSettings)" /SD IDYES IDYES +2
    Return
  DeleteRegKey HKCU "${SETTINGS_KEY}"
  DeleteRegKey /ifempty HKCU "${SETTINGS_PARENT}"
FunctionEnd

Section "Uninstall"
  Call un.FreeProgram
  ${If} ${FileExists} "$INSTDIR\${SERVICE_PROGRAM}"
    Call un.RemoveOwnService
!ifdef X64
    ; No logon may run a program that is gone.
    SetRegView 64
    DeleteRegKey HKLM "${ACTIVE_SETUP_KEY}"
    ${ProgramView}
!endif
  ${EndIf}
  Delete "$INSTDIR\${UNINSTALLER}"
  ; Only when empty: the folder may have been chosen by the user and hold
  ; files of their own.
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\${SHORTCUT}"
  DeleteRegKey SHCTX "${UNINST_KEY}"
  Call un.RemoveRunValue
  Call un.RemoveSettings
SectionEnd
