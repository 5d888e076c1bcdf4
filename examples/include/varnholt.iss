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
; nobody can answer. The package (subfolders too) and the image of the machine's own architecture
; (an emulated x86 or x64 image cannot install a driver on ARM64 Windows, nor an x86 image on x64
; Windows) go to {app}\driver\VERSION first, VERSION being AppVersion, where they stay for the
; removal. When the driver is not installed or Varnholt cannot run, that folder is removed (unless
; it held the installed package: a reinstall), the reason goes to Setup's log and to its Preparing
; page, and Setup exits with 7. When Setup does not finish after the driver was installed
; (cancelled, or a file it could not write), Varnholt removes it again with -u. Once Setup has
; finished, every other package under {app}\driver (an earlier version's) is removed with -u, so
; that a failed upgrade leaves the installed version whole. The uninstaller runs -u on each
; package before it deletes {app}\driver; Inno Setup does not act on that status, which goes to
; the uninstaller's log.

#define VarnholtDir "{app}\driver"
#define VarnholtVersion SetupSetting("AppVersion")

[Files]
; Never copied by Setup itself: PrepareToInstall takes them out under {tmp}, by these names.
Source: "{#VarnholtPackage}\*"; DestDir: "{app}\varnholt\package"; Flags: dontcopy recursesubdirs
Source: "{#VarnholtExe_x86}"; DestDir: "{app}\varnholt\x86"; DestName: "varnholt.exe"; Flags: dontcopy
Source: "{#VarnholtExe_x64}"; DestDir: "{app}\varnholt\x64"; DestName: "varnholt.exe"; Flags: dontcopy
Source: "{#VarnholtExe_arm64}"; DestDir: "{app}\varnholt\arm64"; DestName: "varnholt.exe"; Flags: dontcopy
#ifdef STANDINS_x86
Source: "{#STANDINS_x86}\newdev.dll"; DestDir: "{app}\varnholt\x86"; Flags: dontcopy
Source: "{#STANDINS_x86}\DIFxAPI.dll"; DestDir: "{app}\varnholt\x86"; Flags: dontcopy
#endif
#ifdef STANDINS_x64
Source: "{#STANDINS_x64}\newdev.dll"; DestDir: "{app}\varnholt\x64"; Flags: dontcopy
Source: "{#STANDINS_x64}\DIFxAPI.dll"; DestDir: "{app}\varnholt\x64"; Flags: dontcopy
#endif
#ifdef STANDINS_arm64
Source: "{#STANDINS_arm64}\newdev.dll"; DestDir: "{app}\varnholt\arm64"; Flags: dontcopy
Source: "{#STANDINS_arm64}\DIFxAPI.dll"; DestDir: "{app}\varnholt\arm64"; Flags: dontcopy
#endif

[UninstallDelete]
Type: filesandordirs; Name: "{#VarnholtDir}"

[Code]
var
  // The folder of the package this Setup installed, until Setup has finished.
  VarnholtInstalled: String;

// Copies the folder From into Folder, subfolders too.
function VarnholtCopyTree(const From, Folder: String): Boolean;
var
  Found: TFindRec;
begin
  Result := ForceDirectories(Folder);
  if Result and FindFirst(From + '\*', Found) then
  try
    repeat
      if (Found.Attributes and FILE_ATTRIBUTE_DIRECTORY) = 0 then
        Result := CopyFile(From + '\' + Found.Name, Folder + '\' + Found.Name, False)
      else if (Found.Name <> '.') and (Found.Name <> '..') then
        Result := VarnholtCopyTree(From + '\' + Found.Name, Folder + '\' + Found.Name);
    until not Result or not FindNext(Found);
  finally
    FindClose(Found);
  end;
end;

// One part of the [Files] entries above, extracted to {tmp}, copied into Folder.
function VarnholtPlace(const Part, Folder: String): Boolean;
begin
  ExtractTemporaryFiles('{app}\varnholt\' + Part + '\*');
  Result := VarnholtCopyTree(ExpandConstant('{tmp}\') + '{app}\varnholt\' + Part, Folder);
end;

// Varnholt run on the package in Folder, from a folder of its own choosing, so that the driver
// folder can be removed.
function VarnholtRun(const Option, Folder: String; Show: Integer; var Status: Integer): Boolean;
begin
  Result := Exec(Folder + '\varnholt.exe', Option + ' "' + Folder + '\{#VarnholtInf}"',
    ExpandConstant('{sys}'), Show, ewWaitUntilTerminated, Status);
end;

// Removes with -u, and then deletes, the package in Folder. False when it stays.
function VarnholtRemove(const Folder: String): Boolean;
var
  Status: Integer;
begin
  Result := VarnholtRun('-u', Folder, SW_HIDE, Status) and (Status = 0);
  if Result then
  begin
    Log('Varnholt -u: the driver package in ' + Folder + ' is removed.');
    DelTree(Folder, True, True, True);
  end
  else
    Log('Varnholt -u: the driver package in ' + Folder + ' was not removed (' +
      IntToStr(Status) + ').');
end;

// Removes every package under {app}\driver but the one in the folder Keep.
procedure VarnholtRemoveOthers(const Keep: String);
var
  Found: TFindRec;
  Drivers: String;
begin
  Drivers := ExpandConstant('{#VarnholtDir}');
  if FindFirst(Drivers + '\*', Found) then
  try
    repeat
      if (Found.Name <> '.') and (Found.Name <> '..') and (CompareText(Found.Name, Keep) <> 0)
          and FileExists(Drivers + '\' + Found.Name + '\{#VarnholtInf}') then
        VarnholtRemove(Drivers + '\' + Found.Name);
    until not FindNext(Found);
  finally
    FindClose(Found);
  end;
end;

// A user is present unless Setup runs with /SILENT or /VERYSILENT.
<event('PrepareToInstall')>
function VarnholtPrepareToInstall(var NeedsRestart: Boolean): String;
var
  Folder, Arch, Option: String;
  Status, Show: Integer;
  Reinstall: Boolean;
begin
  case ProcessorArchitecture of
    paX86: Arch := 'x86';
    paX64: Arch := 'x64';
    paArm64: Arch := 'arm64';
  else
    Arch := '';
  end;
  Folder := ExpandConstant('{#VarnholtDir}\{#VarnholtVersion}');
  Reinstall := FileExists(Folder + '\{#VarnholtInf}');
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
  else if not VarnholtPlace('package', Folder) or not VarnholtPlace(Arch, Folder) then
    Result := 'The driver package could not be placed in ' + Folder + '.'
  else if not VarnholtRun(Option, Folder, Show, Status) then
    Result := 'Varnholt could not run: ' + SysErrorMessage(Status)
  else if Status = 1 then
    Result := 'The driver was not installed.'
  else if Status <> 0 then
    Result := 'Varnholt could not run (status ' + IntToStr(Status) + ').';
  if Result = '' then
  begin
    Log('Varnholt ' + Option + ': the driver is installed.');
    if not Reinstall then
      VarnholtInstalled := Folder;
  end
  else
  begin
    Log('Varnholt ' + Option + ': ' + Result + ' Setup stops.');
    if not Reinstall then
    begin
      DelTree(Folder, True, True, True);
      RemoveDir(ExpandConstant('{#VarnholtDir}'));
      RemoveDir(ExpandConstant('{app}'));
    end;
  end;
end;

<event('CurStepChanged')>
procedure VarnholtStep(CurStep: TSetupStep);
begin
  if CurStep = ssPostInstall then
  begin
    VarnholtInstalled := '';
    VarnholtRemoveOthers('{#VarnholtVersion}');
  end;
end;

// Setup ends without having finished: the package it installed goes again.
<event('DeinitializeSetup')>
procedure VarnholtDeinitialize();
begin
  if (VarnholtInstalled <> '') and VarnholtRemove(VarnholtInstalled) then
  begin
    RemoveDir(ExtractFileDir(VarnholtInstalled));
    RemoveDir(ExtractFileDir(ExtractFileDir(VarnholtInstalled)));
  end;
end;

<event('CurUninstallStepChanged')>
procedure VarnholtUninstallStep(CurUninstallStep: TUninstallStep);
begin
  if CurUninstallStep = usUninstall then
    VarnholtRemoveOthers('');
end;
