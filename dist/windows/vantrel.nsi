; The Windows installer, vantrel-<version>-setup.exe, built by the build's vantrel_setup target:
;   makensis -INPUTCHARSET UTF8 -DVERSION=0.1.0 -DSTAGE=<staged files> -DICON=<vantrel.ico>
;            -DOUTFILE=<setup.exe> [-DSIGN_NSH=<sign.nsh>] vantrel.nsi
; Installs for the current user, without administrator rights: the programs under
; %LOCALAPPDATA%\Programs\Vantrel, the job folder %APPDATA%\Vantrel that the shortcuts start
; in, and an entry in Apps & Features. /S installs and uninstalls silently. The uninstaller
; removes what it installed and never a job folder, settings, records, log or backup.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user

; Signing: -DSIGN_NSH=<file> names the commands that sign the uninstaller before it is packed
; and the setup program once written (!uninstfinalize, !finalize); the build writes it.
!ifdef SIGN_NSH
    !include "${SIGN_NSH}"
!endif

!include "MUI2.nsh"
!include "FileFunc.nsh"
!include "LogicLib.nsh"

!define PRODUCT "Vantrel 文件备份"
!define PUBLISHER "The Vantrel developers"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Vantrel"
!define SHORTCUT "Vantrel 文件备份.lnk"
; Explorer's context-menu entry for files and folders, in the user's own classes.
!define VERB_KEY "shell\VantrelPreviousVersions"
!define VERB_TEXT "以前的版本（Vantrel）"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Vantrel"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails nevershow
ShowUninstDetails nevershow
; The line above the buttons names the program, not the tool that built the installer.
BrandingText "Vantrel ${VERSION}"

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=2052 "ProductName" "Vantrel"
VIAddVersionKey /LANG=2052 "FileDescription" "${PRODUCT} 安装程序"
VIAddVersionKey /LANG=2052 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=2052 "LegalCopyright" "${PUBLISHER}"
VIAddVersionKey /LANG=2052 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=2052 "ProductVersion" "${VERSION}"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_SMALLDESC
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "运行 ${PRODUCT}"
!define MUI_FINISHPAGE_RUN_FUNCTION RunVantrel
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\README.txt"
!define MUI_FINISHPAGE_SHOWREADME_TEXT "查看使用说明"
!define MUI_FINISHPAGE_SHOWREADME_NOTCHECKED

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "SimpChinese"

; The shortcuts start the window in the job folder, where its config.ini, wenjianming.mdb
; and Log are kept: never the program folder, which an update replaces.
!macro JobFolderShortcut LINK ARGS
    SetOutPath "$APPDATA\Vantrel"
    CreateShortcut "${LINK}" "$INSTDIR\vantrel.exe" "${ARGS}" "$INSTDIR\vantrel.exe" 0
!macroend

; A running window holds its program file: replacing or removing it would fail half-way.
!macro RefuseWhileRunning
    FindWindow $0 "TMainForm"
    ${If} $0 != 0
        MessageBox MB_OK|MB_ICONEXCLAMATION "Vantrel 正在运行，请先退出它再继续。" /SD IDOK
        Abort
    ${EndIf}
!macroend

Function .onInit
    !insertmacro RefuseWhileRunning
FunctionEnd

Function un.onInit
    !insertmacro RefuseWhileRunning
FunctionEnd

Section "${PRODUCT}" SecProgram
    SectionIn RO
    SetOutPath "$INSTDIR"
    File "${STAGE}\vantrel.exe"
    File "${STAGE}\vantrel-cli.exe"
    File "${STAGE}\README.txt"
    File "${STAGE}\LICENSE.txt"
    WriteUninstaller "$INSTDIR\uninstall.exe"

    CreateDirectory "$APPDATA\Vantrel"
    !insertmacro JobFolderShortcut "$SMPROGRAMS\${SHORTCUT}" ""

    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\vantrel.exe,0"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
    ; 以前的版本（Vantrel） on a file or folder opens the restore window of its job there.
    WriteRegStr HKCU "Software\Classes\*\${VERB_KEY}" "" "${VERB_TEXT}"
    WriteRegStr HKCU "Software\Classes\*\${VERB_KEY}" "Icon" "$INSTDIR\vantrel.exe,0"
    WriteRegStr HKCU "Software\Classes\*\${VERB_KEY}\command" "" '"$INSTDIR\vantrel.exe" --restore "%1"'
    WriteRegStr HKCU "Software\Classes\Directory\${VERB_KEY}" "" "${VERB_TEXT}"
    WriteRegStr HKCU "Software\Classes\Directory\${VERB_KEY}" "Icon" "$INSTDIR\vantrel.exe,0"
    WriteRegStr HKCU "Software\Classes\Directory\${VERB_KEY}\command" "" '"$INSTDIR\vantrel.exe" --restore "%1"'

    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section "桌面快捷方式" SecDesktop
    !insertmacro JobFolderShortcut "$DESKTOP\${SHORTCUT}" ""
SectionEnd

; Started in the notification area at log-on, with the settings of the job folder: a
; timetable the user started goes on after a restart. Ticked unless the user unticks it.
Section "开机时启动" SecStartup
    !insertmacro JobFolderShortcut "$SMSTARTUP\${SHORTCUT}" "--minimized"
SectionEnd

; What each component does, shown under the list as the mouse goes over it.
LangString DESC_SecProgram ${LANG_SIMPCHINESE} \
    "备份窗口 vantrel.exe、命令行 vantrel-cli.exe 和使用说明，以及“开始”菜单中的快捷方式（以 %APPDATA%\Vantrel 为工作目录）。必须安装。"
LangString DESC_SecDesktop ${LANG_SIMPCHINESE} \
    "在桌面上放一个打开备份窗口的快捷方式，与“开始”菜单中的相同。"
LangString DESC_SecStartup ${LANG_SIMPCHINESE} \
    "登录 Windows 后在通知区域中启动，载入设置：已启动的备份计划在重启后继续按时备份。"
!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
    !insertmacro MUI_DESCRIPTION_TEXT ${SecProgram} $(DESC_SecProgram)
    !insertmacro MUI_DESCRIPTION_TEXT ${SecDesktop} $(DESC_SecDesktop)
    !insertmacro MUI_DESCRIPTION_TEXT ${SecStartup} $(DESC_SecStartup)
!insertmacro MUI_FUNCTION_DESCRIPTION_END

Function RunVantrel
    SetOutPath "$APPDATA\Vantrel"
    Exec '"$INSTDIR\vantrel.exe"'
FunctionEnd

; What the installer put there and nothing else. The program folder goes only when empty: a
; copy started from it keeps its job (config.ini, wenjianming.mdb, Log) there.
Section "Uninstall"
    ; Every job's system task goes with the program it starts, wherever the job's folder is.
    SetOutPath "$TEMP"
    nsExec::Exec '"$INSTDIR\vantrel-cli.exe" task remove --all'
    Delete "$SMPROGRAMS\${SHORTCUT}"
    Delete "$DESKTOP\${SHORTCUT}"
    Delete "$SMSTARTUP\${SHORTCUT}"
    Delete "$INSTDIR\vantrel.exe"
    Delete "$INSTDIR\vantrel-cli.exe"
    Delete "$INSTDIR\README.txt"
    Delete "$INSTDIR\LICENSE.txt"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"

    ; The context-menu entry of files and folders, and the list of job folders it finds jobs in
    ; (the jobs themselves stay).
    DeleteRegKey HKCU "Software\Classes\*\${VERB_KEY}"
    DeleteRegKey HKCU "Software\Classes\Directory\${VERB_KEY}"
    Delete "$APPDATA\Vantrel\jobs.txt"
    Delete "$APPDATA\Vantrel\jobs.lock"
SectionEnd
