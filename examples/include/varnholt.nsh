; Varnholt in an NSIS script (Unicode true). Define before !include:
;     VARNHOLT_x86, VARNHOLT_x64, VARNHOLT_arm64   varnholt.exe of each architecture
; and optionally, each a folder:
;     DIFXAPI_x86, DIFXAPI_x64     Microsoft's DIFxAPI.dll, for Windows older than 10
;     STANDINS_x86, STANDINS_x64, STANDINS_arm64
;                                  stand-in newdev.dll and DIFxAPI.dll, for rehearsing under
;                                  Wine: such a build is never shipped
; Then, in a section:
;     !insertmacro VarnholtInstall FOLDER INF   puts Varnholt beside the driver package in FOLDER
;                                               and installs the package named by INF
;     !insertmacro VarnholtRemove FOLDER INF    removes it (in the uninstaller)
; Both leave Varnholt's status in $0, as a string: "0" done, "1" not done, anything else
; (e.g. "-1073741515" for a missing DLL, or "error") Varnholt did not run. They change $1 too.
!include LogicLib.nsh
!include x64.nsh

; Varnholt and the DLLs it needs go beside the package, in a folder only administrators can
; write to: Windows may load newdev.dll from the image's own folder.
!macro _VarnholtBundle ARCH
  File "/oname=varnholt.exe" "${VARNHOLT_${ARCH}}"
  !ifdef DIFXAPI_${ARCH}
    File "${DIFXAPI_${ARCH}}/DIFxAPI.dll"
  !endif
  !ifdef STANDINS_${ARCH}
    File "${STANDINS_${ARCH}}/newdev.dll" "${STANDINS_${ARCH}}/DIFxAPI.dll"
  !endif
!macroend

!macro VarnholtInstall FOLDER INF
  SetOutPath "${FOLDER}"
  ; The image of the machine's own architecture: an emulated x86 or x64 image cannot install a
  ; driver on ARM64 Windows, nor an x86 image on x64 Windows.
  ${If} ${IsNativeARM64}
    !insertmacro _VarnholtBundle arm64
  ${ElseIf} ${RunningX64}
    !insertmacro _VarnholtBundle x64
  ${Else}
    !insertmacro _VarnholtBundle x86
  ${EndIf}
  ; Varnholt runs in a folder of its own choosing, so that the driver folder can be removed.
  SetOutPath "$TEMP"
  ; With a user present, -o asks through Varnholt's own boxes, which ExecWait leaves visible.
  ; Silent, nobody can answer: -i, with Varnholt's output kept in the setup's details.
  ${If} ${Silent}
    nsExec::ExecToStack '"${FOLDER}\varnholt.exe" -i "${FOLDER}\${INF}"'
    Pop $0
    Pop $1
    DetailPrint "Varnholt: $1"
  ${Else}
    ClearErrors
    ExecWait '"${FOLDER}\varnholt.exe" -o "${FOLDER}\${INF}"' $0
    ${If} ${Errors}
      StrCpy $0 "error"
    ${EndIf}
  ${EndIf}
!macroend

!macro VarnholtRemove FOLDER INF
  SetOutPath "$TEMP"
  nsExec::ExecToStack '"${FOLDER}\varnholt.exe" -u "${FOLDER}\${INF}"'
  Pop $0
  Pop $1
  DetailPrint "Varnholt: $1"
!macroend
