; Varnholt in an Inno Setup 6 script: #include it after defining
;     VarnholtPackage    the folder of the driver package (every file in it is the package)
;     VarnholtInf        the package's INF, by its name in that folder
;     VarnholtExe_x86, VarnholtExe_x64, VarnholtExe_arm64
;                        varnholt.exe of each architecture
; and optionally
;     STANDINS_x86, STANDINS_x64, STANDINS_arm64
;                        folders of stand-in newdev.dll and DIFxAPI.dll, for rehearsing under
;                        Wine: such a build is never shipped
; Paths are relative to the script's folder or absolute. Setup needs PrivilegesRequired=admin
; and ArchitecturesInstallIn64BitMode=x64compatible.
;
; Varnholt runs in PrepareToInstall, the last point at which Setup can still stop with nothing
; installed: with a user present, -o, which asks through Varnholt's own boxes; silent, -i, as
; nobody can answer. The package and the image of the machine's own architecture (an emulated
; x86 or x64 image cannot install a driver on ARM64 Windows, nor an x86 image on x64 Windows)
; go to {app}\driver first, where they stay for the removal. When the driver is not installed or
; Varnholt cannot run, the folder is removed, the reason goes to Setup's log and to its Preparing
; page, and Setup exits with 7. The uninstaller runs -u before it deletes the folder; Inno Setup
; does not act on that status.

#define VarnholtDir "{app}\driver"

[Files]
Source: "{#VarnholtPackage}\*"; DestDir: "{#VarnholtDir}"; Flags: dontcopy
Source: "{#VarnholtExe_x86}"; DestDir: "{#VarnholtDir}\x86"; DestName: "varnholt.exe"; Flags: dontcopy
Source: "{#VarnholtExe_x64}"; DestDir: "{#VarnholtDir}\x64"; DestName: "varnholt.exe"; Flags: dontcopy
Source: "{#VarnholtExe_arm64}"; DestDir: "{#VarnholtDir}\arm64"; DestName: "varnholt.exe"; Flags: dontcopy
#ifdef STANDINS_x86
Source: "{#STANDINS_x86}\newdev.dll"; DestDir: "{#VarnholtDir}\x86"; Flags: dontcopy
Source: "{#STANDINS_x86}\DIFxAPI.dll"; DestDir: "{#VarnholtDir}\x86"; Flags: dontcopy
#endif
#ifdef STANDINS_x64
Source: "{#STANDINS_x64}\newdev.dll"; DestDir: "{#VarnholtDir}\x64"; Flags: dontcopy
Source: "{#STANDINS_x64}\DIFxAPI.dll"; DestDir: "{#VarnholtDir}\x64"; Flags: dontcopy
#endif
#ifdef STANDINS_arm64
Source: "{#STANDINS_arm64}\newdev.dll"; DestDir: "{#VarnholtDir}\arm64"; Flags: dontcopy
Source: "{#STANDINS_arm64}\DIFxAPI.dll"; DestDir: "{#VarnholtDir}\arm64"; Flags: dontcopy
#endif

[UninstallRun]
Filename: "{#VarnholtDir}\varnholt.exe"; Parameters: "-u ""{#VarnholtDir}\{#VarnholtInf}"""; \
  WorkingDir: "{sys}"; Flags: runhidden; RunOnceId: "VarnholtRemove"

[UninstallDelete]
Type: filesandordirs; Name: "{#VarnholtDir}"

[Code]
// The files of one [Files] folder, extracted to {tmp}, copied into Folder.
function VarnholtPlace(const Pattern, Folder: String): Boolean;
var
  Found: TFindRec;
  From: String;
begin
  Result := False;
  ExtractTemporaryFiles(Pattern + '\*');
  From := ExpandConstant('{tmp}\') + Pattern;
  if FindFirst(From + '\*', Found) then
  try
    repeat
      if (Found.Attributes and FILE_ATTRIBUTE_DIRECTORY) = 0 then
        if not CopyFile(From + '\' + Found.Name, Folder + '\' + Found.Name, False) then
          Exit;
    until not FindNext(Found);
  finally
    FindClose(Found);
  end;
  Result := True;
end;

// A user is present unless Setup runs with /SILENT or /VERYSILENT.
<event('PrepareToInstall')>
function VarnholtPrepareToInstall(var NeedsRestart: Boolean): String;
var
  Folder, Arch, Option: String;
  Status, Show: Integer;
begin
  case ProcessorArchitecture of
    paX86: Arch := 'x86';
    paX64: Arch := 'x64';
    paArm64: Arch := 'arm64';
  else
    Arch := '';
  end;
  Folder := ExpandConstant('{#VarnholtDir}');
  // Windows gives the show state Setup asks for to Varnholt's first window, its question: -o
  // hidden would wait on a question nobody sees. Its console window shows with it.
  if WizardSilent then
  begin
    Option := '-i';
    Show := SW_HIDE;
  end
  else
  begin
    Option := '-o';
    Show := SW_SHOWNORMAL;
  end;
  Result := '';
  if Arch = '' then
    Result := 'This Windows runs on a processor Varnholt is not built for.'
  else if not ForceDirectories(Folder) or not VarnholtPlace('{#VarnholtDir}', Folder) or
      not VarnholtPlace('{#VarnholtDir}\' + Arch, Folder) then
    Result := 'The driver package could not be placed in ' + Folder + '.'
  // Varnholt runs in a folder of its own choosing, so that the driver folder can be removed.
  else if not Exec(Folder + '\varnholt.exe', Option + ' "' + Folder + '\{#VarnholtInf}"',
      ExpandConstant('{tmp}'), Show, ewWaitUntilTerminated, Status) then
    Result := 'Varnholt could not run: ' + SysErrorMessage(Status)
  else if Status = 1 then
    Result := 'The driver was not installed.'
  else if Status <> 0 then
    Result := 'Varnholt could not run (status ' + IntToStr(Status) + ').';
  if Result <> '' then
  begin
    Log('Varnholt ' + Option + ': ' + Result + ' Setup stops.');
    DelTree(Folder, True, True, True);
    RemoveDir(ExpandConstant('{app}'));
  end
  else
    Log('Varnholt ' + Option + ': the driver is installed.');
end;
