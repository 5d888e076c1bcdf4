; A small driver setup that ships Varnholt with its software and acts on Varnholt's exit status.
; From the repository's root, once the win-x86, win-x64 and win-arm64 presets are built:
;     makensis -WX examples/nsis/driver-setup.nsi
; writes build/nsis/driver-setup.exe (the packaging build makes it, and the others below).
; Optional defines:
;     OUTDIR                      where the setup is written, instead of build/nsis
;     VERSION, PACKAGE, TAG       the product's version (1.0.0), the driver package's folder
;                                 (examples/demo-package) and a word for the setup's name: the
;                                 packaging build makes version 2.0.0 of build/demo-package-v2
;                                 as driver-setup-v2.exe
;     DIFXAPI_x86, DIFXAPI_x64    folders of Microsoft's DIFxAPI.dll, for Windows older than 10
;     STANDINS_x86, STANDINS_x64, STANDINS_arm64
;                                 folders of stand-in newdev.dll and DIFxAPI.dll, for rehearsing
;                                 under Wine: such a build is driver-setup-rehearsal.exe (or
;                                 driver-setup-v2-rehearsal.exe), never shipped
; Each version's driver package has a folder of its own, driver\VERSION: an upgrade installs the
; new package beside the old one and removes the old one only once the new one is in.
; Exit codes: 0 installed; 3 the driver was not installed and the setup stopped (Varnholt's
; status 1); 4 Varnholt did not run (any other status, e.g. -1073741515 for a missing DLL). On an
; upgrade that stops, the installed version stays as it was.
; The uninstaller exits 3 when a driver package was not removed, and removes the rest.
Unicode true
; makensis works in the script's folder.
!define ROOT "../.."
!define STOPPED 3
!define NOT_RUN 4

!ifndef OUTDIR
  !define OUTDIR "${ROOT}/build/nsis"
!endif
!ifndef VERSION
  !define VERSION 1.0.0
!endif
!ifndef PACKAGE
  !define PACKAGE "${ROOT}/examples/demo-package"
!endif
!ifndef TAG
  !define TAG ""
!endif
!system 'mkdir -p "${OUTDIR}"'
Name "Varnholt Demo"
; A build with stand-ins has a name of its own, so that it cannot be taken for the real one.
!ifdef STANDINS_x86 | STANDINS_x64 | STANDINS_arm64
  OutFile "${OUTDIR}/driver-setup${TAG}-rehearsal.exe"
!else
  OutFile "${OUTDIR}/driver-setup${TAG}.exe"
!endif
; Program Files of the machine's own kind (x86 Windows has one). The setup is a 32-bit program:
; its registry entries live in the 32-bit view, where Apps & features finds them too, and where
; an upgrade finds the folder the installed version went to.
!define ARP "Software\Microsoft\Windows\CurrentVersion\Uninstall\VarnholtDemo"
InstallDir "$PROGRAMFILES64\Varnholt Demo"
InstallDirRegKey HKLM "${ARP}" "InstallLocation"
RequestExecutionLevel admin
AutoCloseWindow true
ShowInstDetails show
Page instfiles
UninstPage instfiles

!define VARNHOLT_x86 "${ROOT}/build/win-x86/varnholt.exe"
!define VARNHOLT_x64 "${ROOT}/build/win-x64/varnholt.exe"
!define VARNHOLT_arm64 "${ROOT}/build/win-arm64/varnholt.exe"
!define VARNHOLT_PACKAGE "${PACKAGE}"
!define VARNHOLT_INF demo.inf
!include "${ROOT}/examples/include/varnholt.nsh"

Section
  !insertmacro VarnholtInstall "$INSTDIR\driver" "${VERSION}"

  ; Compared as strings: nsExec gives "error" or "timeout" instead of a status, and those
  ; compare equal to 0 as numbers.
  ${If} $0 != "0"
    ${If} $0 == "1"
      DetailPrint "The driver was not installed; setup stops."
      SetErrorLevel ${STOPPED}
    ${Else}
      DetailPrint "Varnholt could not run ($0); setup stops."
      SetErrorLevel ${NOT_RUN}
    ${EndIf}
    ; Gone only when empty: an upgrade that stopped leaves the installed version.
    RMDir "$INSTDIR"
    Quit
  ${EndIf}

  SetOutPath "$INSTDIR"
  File "/oname=README.txt" "${ROOT}/README.md"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${ARP}" "DisplayName" "Varnholt Demo"
  WriteRegStr HKLM "${ARP}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${ARP}" "Publisher" "Varnholt"
  WriteRegStr HKLM "${ARP}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${ARP}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${ARP}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${ARP}" "NoModify" 1
  WriteRegDWORD HKLM "${ARP}" "NoRepair" 1
SectionEnd

Function .onInstSuccess
  !insertmacro VarnholtFinish "$INSTDIR\driver" "${VERSION}"
FunctionEnd

Function .onInstFailed
  !insertmacro VarnholtUndo
  RMDir "$INSTDIR\driver"
  RMDir "$INSTDIR"
FunctionEnd

Section Uninstall
  !insertmacro VarnholtRemove "$INSTDIR\driver"
  ${If} $0 != "0"
    SetErrorLevel ${STOPPED}
  ${EndIf}
  RMDir /r "$INSTDIR\driver"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${ARP}"
SectionEnd
