; Varnholt in an NSIS script (Unicode true). Define before !include:
;     VARNHOLT_x86, VARNHOLT_x64, VARNHOLT_arm64   varnholt.exe of each architecture
;     VARNHOLT_PACKAGE   the driver package's folder where the script is built: all of it,
;                        subfolders too, is the package
;     VARNHOLT_INF       the package's INF, by its path in that folder; the same in every version
; and optionally, each a folder:
;     DIFXAPI_x86, DIFXAPI_x64     Microsoft's DIFxAPI.dll, for Windows older than 10
;     STANDINS_x86, STANDINS_x64, STANDINS_arm64
;                                  stand-in newdev.dll and DIFxAPI.dll, for rehearsing under
;                                  Wine: such a build is never shipped
; Then:
;     !insertmacro VarnholtInstall DRIVERS VERSION   in a section
;         puts the package and Varnholt in DRIVERS\VERSION and installs the package. When it is
;         not installed, DRIVERS\VERSION is removed again, unless it held the installed package
;         before (a reinstall): the installed version stays whole.
;     !insertmacro VarnholtFinish DRIVERS VERSION    in .onInstSuccess
;         removes with -u every other package under DRIVERS (an earlier version's), and its
;         folder, once the whole setup has succeeded
;     !insertmacro VarnholtUndo                      in .onInstFailed
;         removes with -u the package VarnholtInstall installed, when the setup failed after it
;         (a file it could not write, aborted), unless it was a reinstall
;     !insertmacro VarnholtRemove DRIVERS            in the uninstaller
;         removes every package under DRIVERS with -u; the folder is left to the caller.
; Both leave Varnholt's status in $0, as a string: "0" done, "1" not done, anything else
; (e.g. "-1073741515" for a missing DLL, or "error") Varnholt did not run. They change $1 to $5.
!include LogicLib.nsh
!include x64.nsh

; The folder of the package this setup installed, until the setup has finished.
Var VarnholtNew

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

; Removes with -u the package in FOLDER, by the Varnholt beside it, and the folder once it is
; removed. $4: Varnholt's status.
!macro _VarnholtRemoveOne FOLDER
  SetOutPath "$TEMP"
  nsExec::ExecToStack '"${FOLDER}\varnholt.exe" -u "${FOLDER}\${VARNHOLT_INF}"'
  Pop $4
  Pop $5
  DetailPrint "Varnholt: $5"
  ${If} $4 == "0"
    RMDir /r "${FOLDER}"
  ${Else}
    DetailPrint "The driver package in ${FOLDER} was not removed ($4)."
  ${EndIf}
!macroend

; Removes each package under DRIVERS but the one in DRIVERS\KEEP. $1: "0", or the first status
; that was not.
!macro _VarnholtRemoveOthers DRIVERS KEEP
  StrCpy $1 "0"
  FindFirst $2 $3 "${DRIVERS}\*"
  ${DoUntil} $3 == ""
    ${If} $3 != "."
    ${AndIf} $3 != ".."
    ${AndIf} $3 != "${KEEP}"
    ${AndIf} ${FileExists} "${DRIVERS}\$3\${VARNHOLT_INF}"
      !insertmacro _VarnholtRemoveOne "${DRIVERS}\$3"
      ${If} $4 != "0"
      ${AndIf} $1 == "0"
        StrCpy $1 $4
      ${EndIf}
    ${EndIf}
    FindNext $2 $3
  ${Loop}
  FindClose $2
!macroend

!macro VarnholtInstall DRIVERS VERSION
  StrCpy $1 ""
  ${If} ${FileExists} "${DRIVERS}\${VERSION}\${VARNHOLT_INF}"
    StrCpy $1 "installed"
  ${EndIf}
  SetOutPath "${DRIVERS}\${VERSION}"
  File /r "${VARNHOLT_PACKAGE}/*"
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
    nsExec::ExecToStack '"${DRIVERS}\${VERSION}\varnholt.exe" -i "${DRIVERS}\${VERSION}\${VARNHOLT_INF}"'
    Pop $0
    Pop $2
    DetailPrint "Varnholt: $2"
  ${Else}
    ClearErrors
    ExecWait '"${DRIVERS}\${VERSION}\varnholt.exe" -o "${DRIVERS}\${VERSION}\${VARNHOLT_INF}"' $0
    ${If} ${Errors}
      StrCpy $0 "error"
    ${EndIf}
  ${EndIf}
  ${If} $0 == "0"
    ${If} $1 == ""
      StrCpy $VarnholtNew "${DRIVERS}\${VERSION}"
    ${EndIf}
  ${ElseIf} $1 == ""
    RMDir /r "${DRIVERS}\${VERSION}"
    RMDir "${DRIVERS}"
  ${EndIf}
!macroend

; An earlier version's package goes only once the whole setup has succeeded: a failed upgrade
; leaves the installed version as it was, able to remove its own package.
!macro VarnholtFinish DRIVERS VERSION
  StrCpy $VarnholtNew ""
  !insertmacro _VarnholtRemoveOthers "${DRIVERS}" "${VERSION}"
!macroend

!macro VarnholtUndo
  ${If} $VarnholtNew != ""
    !insertmacro _VarnholtRemoveOne "$VarnholtNew"
  ${EndIf}
!macroend

!macro VarnholtRemove DRIVERS
  !insertmacro _VarnholtRemoveOthers "${DRIVERS}" ""
  StrCpy $0 $1
!macroend
