; Per-user installer of the Quelvane launcher (no administrator rights: the launcher writes into its
; own folder, so it lives in the user's local application data).
;   makensis -DSOURCE_DIR=<staged files> -DVERSION=<launcher version> -DICON=<Kestrivane.ico>
;            -DOUTFILE=<installer path> packaging/installer.nsi
; SOURCE_DIR holds Kestrivane.exe, its DLLs and plugin folders and update.vbs (tools/windows/installer.sh
; stages it). The installer records its own file name, so a campaign-tagged installer name reaches the
; launcher.

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
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "SimpChinese"
!insertmacro MUI_LANGUAGE "German"

; The uninstaller removes the whole folder (the launcher downloads the game into it), so the folder
; must be one of its own: its name is always the product's.
Function .onVerifyInstDir
    ${GetFileName} "$INSTDIR" $0
    StrCmp $0 "${PRODUCT}" +2
        Abort
FunctionEnd

Section "Install"
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

Section "Uninstall"
    SetShellVarContext current
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
