; Setup of the VeltaAI desktop programs: a per-user installation of the staged
; installation folder, whose uninstall step asks Uninstall.exe first and obeys
; its answer (0 go on, 66 cancelled).
;
;   makensis -INPUTCHARSET UTF8 -DSTAGE=<staged folder> -DOUTFILE=<setup.exe> VeltaAI.nsi
;
; STAGE defaults to build/stage and OUTFILE to build/setup/VeltaAI-setup.exe,
; both relative to the project's root folder (makensis works in the
; script's folder). -DSIGN=<command> signs the uninstaller before it is packed
; and the setup once written: makensis runs the command with the file's path
; appended (scripts/release.sh passes scripts/sign.sh).

Unicode true
Target amd64-unicode
ManifestSupportedOS all
RequestExecutionLevel user
SetCompressor /SOLID lzma
; The whole payload in one dictionary: a few percent smaller.
SetCompressorDictSize 32
; The same files give the same setup: no file times are stored, installed
; files are dated by their installation.
SetDateSave off

!ifdef SIGN
  !uninstfinalize '${SIGN} "%1"' = 0
  !finalize '${SIGN} "%1"' = 0
!endif

!ifndef STAGE
  !define STAGE "../build/stage"
!endif
!ifndef OUTFILE
  !define OUTFILE "../build/setup/VeltaAI-setup.exe"
!endif
!define VERSION "1.0.0.0"
!define PUBLISHER "VeltaTech"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\VeltaAI"
; The setup's own uninstaller: Uninstall.exe is the data-options program.
!define UNINSTALLER "uninst.exe"
!define SHORTCUT "$SMPROGRAMS\VeltaAI.lnk"
; Uninstall.exe's answers and its switch for a run without a window.
!define ANSWER_CANCELLED 66
!define SKIP_SWITCH "/VELTAAIUNINSTALL"

Name "VeltaAI"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\VeltaAI"
InstallDirRegKey HKCU "${UNINST_KEY}" "InstallLocation"
BrandingText "VeltaAI ${VERSION}"
AllowSkipFiles off
ShowInstDetails show
ShowUninstDetails show

!include "MUI2.nsh"
!include "LogicLib.nsh"

!define MUI_ICON "../resources/app.ico"
!define MUI_UNICON "../resources/app.ico"
!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\VeltaAI.exe"
!insertmacro MUI_PAGE_FINISH
; Uninstall.exe is the uninstall's confirmation page.
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "SimpChinese"

VIProductVersion "${VERSION}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "ProductName" "VeltaAI"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "FileDescription" "VeltaAI 安装程序"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "LegalCopyright" "© ${PUBLISHER}"

; The program files, one line each: folder below the installation ("" or
; ending in a backslash) and file name. The uninstall removes exactly these,
; never the whole folder, so whatever else lies in the folder stays.
!macro PROGRAM_FILES ACTION
  !insertmacro ${ACTION} "" "VeltaAI.exe"
  !insertmacro ${ACTION} "" "Uninstall.exe"
  !insertmacro ${ACTION} "assets\" "app.ico"
  !insertmacro ${ACTION} "bin\" "VeltaApp.exe"
  !insertmacro ${ACTION} "bin\assets\" "splash.png"
!macroend
!macro INSTALL_FILE DIR NAME
  SetOutPath "$INSTDIR\${DIR}"
  File "${STAGE}/${DIR}${NAME}"
!macroend
!macro REMOVE_FILE DIR NAME
  Delete "$INSTDIR\${DIR}${NAME}"
!macroend
; The folders that PROGRAM_FILES fills, deepest first.
!macro REMOVE_FOLDERS
  RMDir "$INSTDIR\bin\assets"
  RMDir "$INSTDIR\bin"
  RMDir "$INSTDIR\assets"
!macroend

; The programs of an installation that must not run while its files change.
; FileId: path on the stack; leaves "serial:high:low", the file's identity
; (volume serial number and file index), or "" when it cannot be opened. A
; program started through another spelling of its path (subst, an 8.3 name,
; other letter case, a link) has the same identity.
; FindRunning: folder on the stack; leaves the path of a running program of
; that folder on the stack, or "".
; WaitNotRunning: folder on the stack; returns once none of them runs, or with
; the error flag set when the user cancels (a silent run cancels).
; What WaitNotRunning says, $1 the running program.
!define RUNNING_TEXT "VeltaAI 正在运行：$\r$\n$1$\r$\n$\r$\n请先关闭 VeltaAI，再点击“重试”；点击“取消”则不做任何更改。"
!macro RUNNING_CHECK UN
  Function ${UN}FileId
    Exch $0 ; path
    Push $1
    Push $2
    Push $3
    Push $4
    Push $5
    ; FILE_READ_ATTRIBUTES, any sharing, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS
    System::Call "kernel32::CreateFileW(w r0, i 0x80, i 7, p 0, i 3, i 0x02000000, p 0) p .r1"
    StrCpy $0 ""
    ${If} $1 P<> -1
      System::Alloc 52 ; BY_HANDLE_FILE_INFORMATION: thirteen DWORDs
      Pop $2
      System::Call "kernel32::GetFileInformationByHandle(p r1, p r2) i .r3"
      ${If} $3 <> 0
        System::Call "*$2(i, i, i, i, i, i, i, i .r3, i, i, i, i .r4, i .r5)"
        StrCpy $0 "$3:$4:$5"
      ${EndIf}
      System::Free $2
      System::Call "kernel32::CloseHandle(p r1)"
    ${EndIf}
    Pop $5
    Pop $4
    Pop $3
    Pop $2
    Pop $1
    Exch $0
  FunctionEnd

  Function ${UN}FindRunning
    Exch $0 ; folder
    Push $1
    Push $2
    Push $3
    Push $4
    Push $5
    Push $6
    Push $7
    Push $8
    Push $9
    Push "$0\VeltaAI.exe"
    Call ${UN}FileId
    Pop $8
    Push "$0\bin\VeltaApp.exe"
    Call ${UN}FileId
    Pop $9
    StrCpy $7 ""
    ; The process list, in a buffer that grows until every id fits.
    StrCpy $2 16384
    ${Do}
      System::Alloc $2
      Pop $1
      System::Call "kernel32::K32EnumProcesses(p r1, i r2, *i .r3) i .r4"
      ${If} $4 = 0
      ${OrIf} $3 < $2
        ${Break}
      ${EndIf}
      System::Free $1
      IntOp $2 $2 * 2
    ${Loop}
    ${If} $4 <> 0
      IntOp $2 $3 / 4
      StrCpy $3 0
      ${DoWhile} $3 < $2
        IntOp $4 $3 * 4
        IntOp $3 $3 + 1
        IntPtrOp $4 $1 + $4
        System::Call "*$4(i .r4)"
        ; PROCESS_QUERY_LIMITED_INFORMATION
        System::Call "kernel32::OpenProcess(i 0x1000, i 0, i r4) p .r5"
        ${If} $5 P<> 0
          System::Call "kernel32::QueryFullProcessImageNameW(p r5, i 0, w .r6, *i ${NSIS_MAX_STRLEN}) i .r4"
          System::Call "kernel32::CloseHandle(p r5)"
          ${If} $4 <> 0
            ${If} $6 == "$0\VeltaAI.exe"
            ${OrIf} $6 == "$0\bin\VeltaApp.exe"
              StrCpy $7 $6
              ${Break}
            ${EndIf}
            Push $6
            Call ${UN}FileId
            Pop $4
            ${If} $4 != ""
              ${If} $4 == $8
              ${OrIf} $4 == $9
                StrCpy $7 $6
                ${Break}
              ${EndIf}
            ${EndIf}
          ${EndIf}
        ${EndIf}
      ${Loop}
    ${EndIf}
    System::Free $1
    StrCpy $0 $7
    Pop $9
    Pop $8
    Pop $7
    Pop $6
    Pop $5
    Pop $4
    Pop $3
    Pop $2
    Pop $1
    Exch $0
  FunctionEnd

  Function ${UN}WaitNotRunning
    Exch $0 ; folder
    Push $1
    ClearErrors
    ${Do}
      Push $0
      Call ${UN}FindRunning
      Pop $1
      ${IfThen} $1 == "" ${|} ${Break} ${|}
      ${IfNot} ${Cmd} `MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "${RUNNING_TEXT}" /SD IDCANCEL IDRETRY`
        SetErrors
        ${Break}
      ${EndIf}
    ${Loop}
    Pop $1
    Pop $0
  FunctionEnd
!macroend
!insertmacro RUNNING_CHECK ""
!insertmacro RUNNING_CHECK "un."

Section "VeltaAI" SecMain
  ; Installing over an earlier installation removes it first, silently: its
  ; uninstaller runs in place (_?=) so that this waits for it, and with /S it
  ; passes the skip switch to Uninstall.exe, so the user's data stays.
  ReadRegStr $0 HKCU "${UNINST_KEY}" "InstallLocation"
  ${If} $0 != ""
  ${AndIf} ${FileExists} "$0\${UNINSTALLER}"
    Push $0
    Call WaitNotRunning
    ${If} ${Errors}
      Abort "VeltaAI 正在运行，安装已取消。"
    ${EndIf}
    DetailPrint "移除旧版本：$0"
    ClearErrors
    ExecWait '"$0\${UNINSTALLER}" /S _?=$0' $1
    ${If} ${Errors}
    ${OrIf} $1 <> 0
      MessageBox MB_OK|MB_ICONSTOP "无法移除旧版本（$0），安装已取消。" /SD IDOK
      Abort "无法移除旧版本，安装已取消。"
    ${EndIf}
    ; An uninstaller that ran in place cannot delete itself.
    Delete "$0\${UNINSTALLER}"
    RMDir "$0"
  ${EndIf}
  Push $INSTDIR
  Call WaitNotRunning
  ${If} ${Errors}
    Abort "VeltaAI 正在运行，安装已取消。"
  ${EndIf}

  !insertmacro PROGRAM_FILES INSTALL_FILE
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"
  CreateShortcut "${SHORTCUT}" "$INSTDIR\VeltaAI.exe" "" "$INSTDIR\VeltaAI.exe" 0

  ; The entry comes last: it only ever names a complete installation.
  WriteRegStr HKCU "${UNINST_KEY}" "DisplayName" "VeltaAI"
  WriteRegStr HKCU "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINST_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKCU "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\VeltaAI.exe,0"
  WriteRegStr HKCU "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINST_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKCU "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegDWORD HKCU "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINST_KEY}" "NoRepair" 1
  SectionGetSize ${SecMain} $0
  WriteRegDWORD HKCU "${UNINST_KEY}" "EstimatedSize" $0
SectionEnd

Var answer

; Before anything is removed: no program of the installation runs, and
; Uninstall.exe has had its say. It runs from the installation folder, which is
; its working folder (its window finds assets\app.ico there).
Function un.onInit
  Push $INSTDIR
  Call un.WaitNotRunning
  ${If} ${Errors}
    SetErrorLevel 1
    Quit
  ${EndIf}
  SetOutPath "$INSTDIR"
  ClearErrors
  ${If} ${Silent}
    ExecWait '"$INSTDIR\Uninstall.exe" ${SKIP_SWITCH}' $0
  ${Else}
    ExecWait '"$INSTDIR\Uninstall.exe"' $0
  ${EndIf}
  ${If} ${Errors}
    ; Missing or unable to start: the uninstall goes on and the data stays,
    ; as when Uninstall.exe itself fails to start.
    StrCpy $answer "Uninstall.exe 无法启动，用户数据保留。"
  ${ElseIf} $0 = ${ANSWER_CANCELLED}
    SetErrorLevel 1
    Quit
  ${Else}
    StrCpy $answer "Uninstall.exe 返回 $0。"
  ${EndIf}
  ; The process must not keep the folder as its working folder.
  SetOutPath "$TEMP"
FunctionEnd

Section "Uninstall"
  DetailPrint $answer
  ; Started again after Uninstall.exe's window: nothing is removed while a
  ; program of the installation runs.
  Push $INSTDIR
  Call un.WaitNotRunning
  ${If} ${Errors}
    SetErrorLevel 1
    Abort "VeltaAI 正在运行，卸载已取消。"
  ${EndIf}
  ClearErrors
  !insertmacro PROGRAM_FILES REMOVE_FILE
  ${If} ${Errors}
    ; Shortcut and entry stay, so that the uninstall can be run again.
    MessageBox MB_OK|MB_ICONSTOP "部分程序文件无法删除，请关闭占用它们的程序后再次卸载。" /SD IDOK
    SetErrorLevel 2
    Abort "部分程序文件无法删除。"
  ${EndIf}
  !insertmacro REMOVE_FOLDERS
  Delete "${SHORTCUT}"
  DeleteRegKey HKCU "${UNINST_KEY}"
  Delete "$INSTDIR\${UNINSTALLER}"
  RMDir "$INSTDIR"
SectionEnd
