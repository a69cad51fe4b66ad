; The Windows installer: tavisol.exe under Program Files, a Start-menu entry, an entry in the
; list of installed programs, and the firewall rules that let the appliances' datagrams in.
; cmake/package-windows.cmake runs makensis with the defines below; nothing here is edited by
; hand for a release.
;
;   VERSION     the four-part version of res/version.h   PUBLISHER  its publisher
;   EXE         the built tavisol.exe                     README     the short README.txt
;   ICON        the program's icon (.ico)                 OUTFILE    the installer to write
;
; Silent mode for deployment tools: setup.exe /S [/D=C:\other\folder] installs, and
; "uninstall.exe" /S removes everything again.

!ifndef VERSION | PUBLISHER | EXE | README | ICON | OUTFILE
  !error "makensis needs -DVERSION= -DPUBLISHER= -DEXE= -DREADME= -DICON= -DOUTFILE="
!endif

; The Wine of our Debian machines runs 64-bit programs only, and tavisol.exe is one.
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestSupportedOS all

!include MUI2.nsh
!include LogicLib.nsh

!define PRODUCT "Tavisol"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
; The ports the program listens on: BOOTP requests of appliances without an address, and the
; answers to its discovery probe. Outbound datagrams pass Windows Firewall by default.
!define RULE_BOOTP "Tavisol (UDP 67, appliances without an address)"
!define RULE_DISCOVERY "Tavisol (UDP 1211, discovery replies)"

Name "${PRODUCT}"
Caption "${PRODUCT} ${VERSION} Setup"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
; A second run (an upgrade) goes where the first one installed.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PUBLISHER} ${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION}"
VIFileVersion "${VERSION}"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "CompanyName" "${PUBLISHER}"
VIAddVersionKey "FileDescription" "${PRODUCT} ${VERSION} Setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "Copyright (C) 2026 ${PUBLISHER}"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; Program Files, HKLM and the firewall need an administrator. A deployment tool that starts
; the installer without one gets exit code 740 (elevation required) rather than a half-done
; installation.
!macro RequireAdmin
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    MessageBox MB_ICONSTOP "Installing or removing ${PRODUCT} needs administrator rights." /SD IDOK
    SetErrorLevel 740
    Quit
  ${EndIf}
!macroend

; netsh by its full path: a netsh.exe lying beside the installer (a downloads folder) must not
; run in its place with administrator rights.
!macro Netsh ARGS
  nsExec::ExecToLog '"$SYSDIR\netsh.exe" ${ARGS}'
  Pop $0
!macroend

!macro DeleteFirewallRules
  !insertmacro Netsh 'advfirewall firewall delete rule name="${RULE_BOOTP}"'
  !insertmacro Netsh 'advfirewall firewall delete rule name="${RULE_DISCOVERY}"'
!macroend

; Inbound datagrams to the port for tavisol.exe alone, on the domain, private and public
; profiles alike: an appliance's network is whatever the workstation happens to call it.
!define RULE_SCOPE "dir=in action=allow protocol=UDP profile=any enable=yes"
!macro AddFirewallRule NAME PORT
  !insertmacro Netsh 'advfirewall firewall add rule name="${NAME}" program="$INSTDIR\tavisol.exe" localport=${PORT} ${RULE_SCOPE}'
  ${If} $0 != 0
    StrCpy $1 "failed"
  ${EndIf}
!macroend

Function .onInit
  SetRegView 64
  !insertmacro RequireAdmin
FunctionEnd

Function un.onInit
  SetRegView 64
  !insertmacro RequireAdmin
FunctionEnd

Section "Tavisol"
  SetOutPath "$INSTDIR"
  File "/oname=tavisol.exe" "${EXE}"
  File "/oname=README.txt" "${README}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; For every user: the program is installed for the machine.
  SetShellVarContext all
  CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\tavisol.exe" "" "$INSTDIR\tavisol.exe" 0 \
      SW_SHOWNORMAL "" "Find Vellumcrest storage appliances on the LAN and give them an address"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\tavisol.exe,0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  SectionGetSize 0 $0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0

  ; Without these rules Windows Firewall drops the appliances' datagrams and the list stays
  ; empty. An upgrade replaces the rules rather than adding a second pair. Where the firewall
  ; cannot be configured (its service stopped, a policy, Wine) the installation goes on and
  ; says what to allow by hand.
  DetailPrint "Allowing tavisol.exe inbound UDP 67 and 1211 in Windows Firewall"
  StrCpy $1 ""
  !insertmacro DeleteFirewallRules
  !insertmacro AddFirewallRule "${RULE_BOOTP}" 67
  !insertmacro AddFirewallRule "${RULE_DISCOVERY}" 1211
  ${If} $1 == "failed"
    DetailPrint "Windows Firewall could not be configured"
    StrCpy $2 "Windows Firewall could not be configured.$\r$\n$\r$\n"
    StrCpy $2 "$2Allow $INSTDIR\tavisol.exe inbound UDP ports 67 and 1211, "
    StrCpy $2 "$2or ${PRODUCT} may find no appliances."
    MessageBox MB_ICONEXCLAMATION "$2" /SD IDOK
  ${EndIf}
SectionEnd

Section "Uninstall"
  !insertmacro DeleteFirewallRules

  SetShellVarContext all
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  ; A program still running cannot be deleted on Windows: it goes at the next start.
  Delete /REBOOTOK "$INSTDIR\tavisol.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\uninstall.exe"
  ; Not /r: whatever else a user put into the folder stays, and so does the folder then.
  RMDir /REBOOTOK "$INSTDIR"

  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
