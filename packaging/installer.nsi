; Per-user installer of the Quelvane launcher (no administrator rights: the launcher writes into its
; own folder, so it lives in the user's local application data).
;   makensis -DSOURCE_DIR=<staged files> -DVERSION=<launcher version> -DICON=<Kestrivane.ico>
;            -DOUTFILE=<installer path> packaging/installer.nsi
; SOURCE_DIR holds Kestrivane.exe, its DLLs and plugin folders and update.vbs (tools/windows/installer.sh
; stages it). The installer records its own file name, so a campaign-tagged installer name reaches the
; launcher. Its one optional step asks for administrator rights (the only one that does): an inbound
; firewall rule for the launcher on private networks, without which the launcher serves nothing to
; launchers nearby (it still fetches from them). The uninstaller removes the rule the same way.

Unicode true
SetCompressor /SOLID lzma
RequestExecutionLevel user

!ifndef SOURCE_DIR
    !error "SOURCE_DIR is not defined"
!endif
!ifndef VERSION
    !define VERSION "0.0"
!endif
!ifndef OUTFILE
    !define OUTFILE "Quelvane_Setup.exe"
!endif

!define PRODUCT "Quelvane"
!define LAUNCHER "Kestrivane.exe"
!define PRODUCT_KEY "SOFTWARE\Quelvane"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quelvane"
!define FIREWALL_RULE "Quelvane launcher (local network)"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\${PRODUCT}"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION}.0.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} setup"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "${PRODUCT}"

!include "MUI2.nsh"
!include "FileFunc.nsh"

!ifdef ICON
    !define MUI_ICON "${ICON}"
    !define MUI_UNICON "${ICON}"
!endif
!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_RUN "$INSTDIR\${LAUNCHER}"
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "SimpChinese"
!insertmacro MUI_LANGUAGE "German"

LangString SECTION_MAIN ${LANG_ENGLISH} "${PRODUCT}"
LangString SECTION_MAIN ${LANG_SIMPCHINESE} "${PRODUCT}"
LangString SECTION_MAIN ${LANG_GERMAN} "${PRODUCT}"
LangString SECTION_FIREWALL ${LANG_ENGLISH} "Share downloads with PCs on this network (asks for administrator rights)"
LangString SECTION_FIREWALL ${LANG_SIMPCHINESE} "与本网络中的电脑共享下载（需要管理员权限）"
LangString SECTION_FIREWALL ${LANG_GERMAN} "Downloads mit PCs in diesem Netzwerk teilen (fragt nach Administratorrechten)"

; The uninstaller removes the whole folder (the launcher downloads the game into it), so the folder
; must be one of its own: its name is always the product's.
Function .onVerifyInstDir
    ${GetFileName} "$INSTDIR" $0
    StrCmp $0 "${PRODUCT}" +2
        Abort
FunctionEnd

Section "$(SECTION_MAIN)" SecMain
    SectionIn RO
    SetShellVarContext current
    SetOutPath "$INSTDIR"
    File "${SOURCE_DIR}/${LAUNCHER}"
    File "${SOURCE_DIR}/*.dll"
    File "${SOURCE_DIR}/update.vbs"
    File "${SOURCE_DIR}/LICENSE.civetweb.txt"
    SetOutPath "$INSTDIR\platforms"
    File "${SOURCE_DIR}/platforms/*.dll"
    SetOutPath "$INSTDIR\styles"
    File /nonfatal "${SOURCE_DIR}/styles/*.dll"
    SetOutPath "$INSTDIR"

    ; The launcher reads the campaign identifier from this installer's own file name.
    WriteRegStr HKCU "${PRODUCT_KEY}" "Filename" "$EXEFILE"

    WriteUninstaller "$INSTDIR\Uninstall.exe"
    CreateDirectory "$SMPROGRAMS\${PRODUCT}"
    CreateShortCut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\${LAUNCHER}" "" "$INSTDIR\${LAUNCHER}" 0
    CreateShortCut "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk" "$INSTDIR\Uninstall.exe"

    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${LAUNCHER}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; Private networks only, this program only. netsh runs elevated (the system asks the player); a refusal
; leaves the launcher as it is without the rule. Installing again over an install keeps the one rule.
Section "$(SECTION_FIREWALL)" SecFirewall
    nsExec::Exec '"$SYSDIR\netsh.exe" advfirewall firewall show rule name="${FIREWALL_RULE}"'
    Pop $0
    StrCmp $0 "0" firewall_done
    ExecShellWait "runas" "$SYSDIR\netsh.exe" 'advfirewall firewall add rule name="${FIREWALL_RULE}" dir=in action=allow program="$INSTDIR\${LAUNCHER}" profile=private enable=yes' SW_HIDE
    firewall_done:
SectionEnd

Section "Uninstall"
    SetShellVarContext current
    ; Reading the rules needs no rights; removing the rule does, so the system asks only when there is one.
    nsExec::Exec '"$SYSDIR\netsh.exe" advfirewall firewall show rule name="${FIREWALL_RULE}"'
    Pop $0
    StrCmp $0 "0" 0 no_rule
        ExecShellWait "runas" "$SYSDIR\netsh.exe" 'advfirewall firewall delete rule name="${FIREWALL_RULE}" program="$INSTDIR\${LAUNCHER}"' SW_HIDE
    no_rule:
    DeleteRegValue HKCU "${RUN_KEY}" "${PRODUCT}"
    DeleteRegValue HKCU "${PRODUCT_KEY}" "Filename"
    DeleteRegKey /ifempty HKCU "${PRODUCT_KEY}"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
    Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
    Delete "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk"
    RMDir "$SMPROGRAMS\${PRODUCT}"

    ; Only a folder named after the product goes as a whole; anywhere else just what was installed.
    ${GetFileName} "$INSTDIR" $0
    StrCmp $0 "${PRODUCT}" 0 keep_folder
        RMDir /r "$INSTDIR"
        Goto done
    keep_folder:
        Delete "$INSTDIR\${LAUNCHER}"
        Delete "$INSTDIR\update.vbs"
        Delete "$INSTDIR\LICENSE.civetweb.txt"
        ; What the update script leaves: the launcher before the last update, and its marks.
        Delete "$INSTDIR\Kestrivane.previous.exe"
        Delete "$INSTDIR\update.pending"
        Delete "$INSTDIR\update.confirmed"
        Delete "$INSTDIR\update.failed"
        Delete "$INSTDIR\*.dll"
        RMDir /r "$INSTDIR\platforms"
        RMDir /r "$INSTDIR\styles"
        Delete "$INSTDIR\Uninstall.exe"
        RMDir "$INSTDIR"
    done:
SectionEnd
