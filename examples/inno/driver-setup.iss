; A small driver setup that ships Varnholt with its software and stops when the driver is not
; installed. From the repository's root, once the win-x86, win-x64 and win-arm64 presets are
; built:
;     tools/iscc.sh examples/inno/driver-setup.iss
; writes build/inno/driver-setup.exe. Optional defines (/DNAME=VALUE), each a folder:
;     OUTDIR                     where the setup is written, instead of build/inno
;     VERSION, PACKAGE, TAG      the product's version (1.0.0), the driver package's folder
;                                (examples\demo-package) and a word for the setup's name: the
;                                packaging build makes version 2.0.0 of build\demo-package-v2 as
;                                driver-setup-v2.exe
;     STANDINS_x86, STANDINS_x64, STANDINS_arm64
;                                stand-in newdev.dll and DIFxAPI.dll, for rehearsing under Wine:
;                                such a build is driver-setup-rehearsal.exe, never shipped
; Exit codes (Inno Setup's own): 0 installed; 7 the driver was not installed or Varnholt could not
; run, nothing installed (an upgrade leaves the installed version as it was), the reason in Setup's
; log; 5 Setup was cancelled or stopped at a file, and the driver it had installed was removed
; again. The uninstaller runs Varnholt's -u and removes the rest whatever its status.
#define ROOT "..\.."
#ifndef OUTDIR
  #define OUTDIR ROOT + "\build\inno"
#endif
#ifndef VERSION
  #define VERSION "1.0.0"
#endif
#ifndef PACKAGE
  #define PACKAGE ROOT + "\examples\demo-package"
#endif
#ifndef TAG
  #define TAG ""
#endif

[Setup]
AppId=VarnholtDemo
AppName=Varnholt Demo
AppVersion={#VERSION}
DefaultDirName={autopf}\Varnholt Demo
PrivilegesRequired=admin
ArchitecturesInstallIn64BitMode=x64compatible
; The pages before the install are left out: the setup goes straight to its work, as the NSIS
; example does, and Varnholt's own boxes are its only questions.
DisableWelcomePage=yes
DisableDirPage=yes
DisableProgramGroupPage=yes
DisableReadyPage=yes
DisableFinishedPage=yes
SetupLogging=yes
; Inno Setup's compiler crashes under Wine on qemu-i386 with more than one thread.
CompressionThreads=1
OutputDir={#OUTDIR}
; A build with stand-ins has a name of its own, so that it cannot be taken for the real one.
#if defined(STANDINS_x86) || defined(STANDINS_x64) || defined(STANDINS_arm64)
OutputBaseFilename=driver-setup{#TAG}-rehearsal
#else
OutputBaseFilename=driver-setup{#TAG}
#endif

[Files]
Source: "{#ROOT}\README.md"; DestDir: "{app}"; DestName: "README.txt"

#define VarnholtPackage PACKAGE
#define VarnholtInf "demo.inf"
#define VarnholtExe_x86 ROOT + "\build\win-x86\varnholt.exe"
#define VarnholtExe_x64 ROOT + "\build\win-x64\varnholt.exe"
#define VarnholtExe_arm64 ROOT + "\build\win-arm64\varnholt.exe"
#include "..\include\varnholt.iss"

[Code]
const
  BM_CLICK = $00F5;

// The example has no pages of its own. Inno Setup still shows its Ready page when no page came
// before it: the example goes on from it at once. When Varnholt stops Setup, the example closes
// as it opened, the reason in Setup's log, instead of waiting on the Preparing page.
procedure CurPageChanged(CurPageID: Integer);
begin
  if WizardSilent then
    Exit;
  if CurPageID = wpReady then
    PostMessage(WizardForm.NextButton.Handle, BM_CLICK, 0, 0)
  else if (CurPageID = wpPreparing) and WizardForm.PreparingErrorBitmapImage.Visible then
    WizardForm.Close;
end;

procedure CancelButtonClick(CurPageID: Integer; var Cancel, Confirm: Boolean);
begin
  if CurPageID = wpPreparing then
    Confirm := False;
end;
