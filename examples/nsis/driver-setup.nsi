; A small driver setup that ships Varnholt with its software and acts on Varnholt's exit status.
; From the repository's root, once the win-x86, win-x64 and win-arm64 presets are built:
;     makensis -WX examples/nsis/driver-setup.nsi
; writes build/nsis/driver-setup.exe. Optional defines, each a folder:
;     OUTDIR                      where the setup is written, instead of build/nsis
;     DIFXAPI_x86, DIFXAPI_x64    Microsoft's DIFxAPI.dll, for Windows older than 10
;     STANDINS_x86, STANDINS_x64, STANDINS_arm64
;                                 stand-in newdev.dll and DIFxAPI.dll, for rehearsing under Wine:
;                                 such a build is driver-setup-rehearsal.exe, never shipped
; Exit codes: 0 installed; 3 the driver was not installed and the setup stopped (Varnholt's
; status 1); 4 Varnholt did not run (any other status, e.g. -1073741515 for a missing DLL).
; The uninstaller exits 3 when the driver package was not removed, and removes the rest.
Unicode true
; makensis works in the script's folder.
!define ROOT "../.."
!define STOPPED 3
!define NOT_RUN 4

!ifndef OUTDIR
  !define OUTDIR "${ROOT}/build/nsis"
!endif
!system 'mkdir -p "${OUTDIR}"'
Name "Varnholt Demo"
; A build with stand-ins has a name of its own, so that it cannot be taken for the real one.
!ifdef STANDINS_x86 | STANDINS_x64 | STANDINS_arm64
  OutFile "${OUTDIR}/driver-setup-rehearsal.exe"
!else
  OutFile "${OUTDIR}/driver-setup.exe"
!endif
InstallDir "$PROGRAMFILES\Varnholt Demo"
RequestExecutionLevel admin
AutoCloseWindow true
ShowInstDetails show
Page instfiles
UninstPage instfiles

!define VARNHOLT_x86 "${ROOT}/build/win-x86/varnholt.exe"
!define VARNHOLT_x64 "${ROOT}/build/win-x64/varnholt.exe"
!define VARNHOLT_arm64 "${ROOT}/build/win-arm64/varnholt.exe"
!include "${ROOT}/examples/include/varnholt.nsh"

Section
  SetOutPath "$INSTDIR\driver"
  File "${ROOT}/examples/demo-package/demo.inf" "${ROOT}/examples/demo-package/demo.cat" \
    "${ROOT}/examples/demo-package/demo.sys"
  !insertmacro VarnholtInstall "$INSTDIR\driver" demo.inf

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
    RMDir /r "$INSTDIR\driver"
    RMDir "$INSTDIR"
    Quit
  ${EndIf}

  SetOutPath "$INSTDIR"
  File "/oname=README.txt" "${ROOT}/README.md"
  WriteUninstaller "$INSTDIR\uninstall.exe"
SectionEnd

Section Uninstall
  !insertmacro VarnholtRemove "$INSTDIR\driver" demo.inf
  ${If} $0 != "0"
    DetailPrint "The driver package was not removed ($0)."
    SetErrorLevel ${STOPPED}
  ${EndIf}
  RMDir /r "$INSTDIR\driver"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
SectionEnd
