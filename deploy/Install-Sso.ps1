#Requires -RunAsAdministrator
<#
.SYNOPSIS
Installs or removes tcfiltr.dll, the single sign-on credential provider and filter.
.DESCRIPTION
Install copies tcfiltr.dll to %SystemRoot%\System32 and writes what tcfiltr-register.reg
writes: the two COM classes, LogonUI's provider and filter entries and the event source.
-Uninstall removes what tcfiltr-unregister.reg removes, then the DLL; a DLL that LogonUI holds
loaded is renamed aside and deleted at the next restart. Both may be run again safely.
.PARAMETER SourcePath
Folder holding tcfiltr.dll (and tcfiltr.dll.debug). Default: the script's own folder.
.PARAMETER WithSymbols
Also copy tcfiltr.dll.debug, which a debugger finds beside the DLL.
.PARAMETER PolicyDefinitions
Also copy (or, with -Uninstall, remove) the *.admx and <language>\*.adml files of the
PolicyDefinitions folder beside this script to %SystemRoot%\PolicyDefinitions.
.EXAMPLE
.\Install-Sso.ps1 -SourcePath C:\drop -PolicyDefinitions
.EXAMPLE
.\Install-Sso.ps1 -Uninstall -WhatIf
#>
[CmdletBinding(SupportsShouldProcess)]
param(
    [string]$SourcePath,
    [switch]$Uninstall,
    [switch]$WithSymbols,
    [switch]$PolicyDefinitions
)
$ErrorActionPreference = 'Stop'
Set-StrictMode -Version 3

# Every key tcfiltr-register.reg writes, in its order, with its values ('' is the default value;
# a string is REG_SZ, an integer REG_DWORD, a pair kind and data, e.g. ExpandString: the event
# log service expands the message file's path). Uninstall removes, in the reverse order, each
# key whose parent is not itself listed, with everything under it: tcfiltr-unregister.reg.
$Registration = [ordered]@{
    'HKEY_CLASSES_ROOT\CLSID\{39FA3429-F61A-4975-9653-327BCE27C037}' = @{ '' = 'tcfiltr credential provider filter' }
    'HKEY_CLASSES_ROOT\CLSID\{39FA3429-F61A-4975-9653-327BCE27C037}\InprocServer32' = @{ '' = 'tcfiltr.dll'; 'ThreadingModel' = 'Apartment' }
    'HKEY_CLASSES_ROOT\CLSID\{BEBE672F-B0E3-4354-BB86-4EF127A55B6A}' = @{ '' = 'tcfiltr credential provider' }
    'HKEY_CLASSES_ROOT\CLSID\{BEBE672F-B0E3-4354-BB86-4EF127A55B6A}\InprocServer32' = @{ '' = 'tcfiltr.dll'; 'ThreadingModel' = 'Apartment' }
    'HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Authentication\Credential Providers\{BEBE672F-B0E3-4354-BB86-4EF127A55B6A}' = @{ '' = 'tcfiltr credential provider' }
    'HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Authentication\Credential Provider Filters\{39FA3429-F61A-4975-9653-327BCE27C037}' = @{ '' = 'tcfiltr credential provider filter' }
    'HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\EventLog\Application\Velmora Zephral' = @{
        'EventMessageFile' = @('ExpandString', '%SystemRoot%\System32\tcfiltr.dll')
        'CategoryMessageFile' = @('ExpandString', '%SystemRoot%\System32\tcfiltr.dll')
        'CategoryCount' = 9; 'TypesSupported' = 7 }
}
$DllName = 'tcfiltr.dll'
$System32 = Join-Path $env:SystemRoot 'System32'
$PolicySource = Join-Path $PSScriptRoot 'PolicyDefinitions'
$PolicyTarget = Join-Path $env:SystemRoot 'PolicyDefinitions'

function Write-Step([string]$Text) { Write-Host "Install-Sso: $Text" }

# The DLL is 64-bit only, and a 32-bit PowerShell sees the 32-bit System32 and registry views,
# where LogonUI would never find it.
function Assert-64BitProcess {
    if (-not [Environment]::Is64BitOperatingSystem) {
        throw "$DllName is a 64-bit DLL: this 32-bit Windows cannot load it."
    }
    if (-not [Environment]::Is64BitProcess) {
        throw ("This is the 32-bit PowerShell, whose System32 and registry are the 32-bit views. " +
            "Run the script with the 64-bit one: $env:SystemRoot\sysnative\WindowsPowerShell\v1.0\powershell.exe")
    }
}

# Classes go straight to the machine's: through HKEY_CLASSES_ROOT they would land in the
# administrator's own classes when those hold the CLSID, which LogonUI (SYSTEM) never reads.
function Get-MachineKey([string]$Key) {
    $Key -replace '^HKEY_CLASSES_ROOT\\', 'HKEY_LOCAL_MACHINE\SOFTWARE\Classes\'
}

function Get-RemovedKeys {
    $keys = @($Registration.Keys | Where-Object { -not $Registration.Contains($_.Substring(0, $_.LastIndexOf('\'))) })
    [array]::Reverse($keys)
    $keys
}

function Set-RegistryKey([string]$Key, [hashtable]$Values) {
    $names = foreach ($name in $Values.Keys) { if ($name) { $name } else { '(default)' } }
    if (-not $PSCmdlet.ShouldProcess($Key, "Write $($names -join ', ')")) { return }
    foreach ($name in $Values.Keys) {
        $data = $Values[$name]
        $kind = 'String'
        if ($data -is [int]) { $kind = 'DWord' } elseif ($data -is [array]) { $kind, $data = $data }
        [Microsoft.Win32.Registry]::SetValue((Get-MachineKey $Key), $name, $data, [Microsoft.Win32.RegistryValueKind]$kind)
    }
    Write-Step "registered $Key"
}

function Remove-RegistryKey([string]$Key) {
    $subKey = (Get-MachineKey $Key) -replace '^HKEY_LOCAL_MACHINE\\', ''
    $existing = [Microsoft.Win32.Registry]::LocalMachine.OpenSubKey($subKey)
    if (-not $existing) { Write-Step "not registered: $Key"; return }
    $existing.Dispose()
    if (-not $PSCmdlet.ShouldProcess($Key, 'Remove the key and its subkeys')) { return }
    [Microsoft.Win32.Registry]::LocalMachine.DeleteSubKeyTree($subKey, $false)
    Write-Step "removed $Key"
}

# A DLL that LogonUI holds loaded cannot be deleted but can be renamed: it is moved aside and
# deleted at the next restart, so its name is free at once and the pending deletion can never
# take a newer copy installed before that restart.
function Remove-FileNowOrAtRestart([string]$Path) {
    if (-not $PSCmdlet.ShouldProcess($Path, 'Delete')) { return }
    try {
        [System.IO.File]::Delete($Path)
        Write-Step "deleted $Path"
        return
    } catch {
        Write-Step "$Path cannot be deleted, as when LogonUI holds it loaded: $($_.Exception.GetBaseException().Message)"
    }
    if (-not ('TcfiltrSetup.NativeMethods' -as [type])) {
        Add-Type -Namespace TcfiltrSetup -Name NativeMethods -MemberDefinition @'
[DllImport("kernel32.dll", SetLastError = true, CharSet = CharSet.Unicode)]
public static extern bool MoveFileEx(string existingFileName, IntPtr newFileName, int flags);
'@
    }
    $aside = "$Path.$([guid]::NewGuid().ToString('N')).delete"
    [System.IO.File]::Move($Path, $aside)
    $MOVEFILE_DELAY_UNTIL_REBOOT = 4
    if (-not [TcfiltrSetup.NativeMethods]::MoveFileEx($aside, [IntPtr]::Zero, $MOVEFILE_DELAY_UNTIL_REBOOT)) {
        $code = [Runtime.InteropServices.Marshal]::GetLastWin32Error()
        throw "Could not schedule the deletion of $aside at restart: $([ComponentModel.Win32Exception]::new($code).Message)"
    }
    Write-Step "renamed it to $aside, which Windows deletes at the next restart"
}

function Copy-ModuleFile([string]$Name) {
    $source = Join-Path $SourcePath $Name
    $target = Join-Path $System32 $Name
    if (-not (Test-Path -LiteralPath $source -PathType Leaf)) { throw "$Name not found in $SourcePath (see -SourcePath)." }
    if ((Test-Path -LiteralPath $target) -and
        (Get-FileHash -LiteralPath $source).Hash -eq (Get-FileHash -LiteralPath $target).Hash) {
        Write-Step "$target is up to date"
        return
    }
    if (-not $PSCmdlet.ShouldProcess($target, "Copy $source")) { return }
    if (Test-Path -LiteralPath $target) { Remove-FileNowOrAtRestart $target }
    Copy-Item -LiteralPath $source -Destination $target
    Write-Step "copied $source to $target"
}

# The ADMX files of the folder and the ADML files of its language subfolders, each with the
# path it takes under %SystemRoot%\PolicyDefinitions.
function Get-PolicyFiles {
    if (-not (Test-Path -LiteralPath $PolicySource -PathType Container)) { throw "No PolicyDefinitions folder beside the script ($PolicySource)." }
    $admx = @(Get-ChildItem -LiteralPath $PolicySource -Filter *.admx -File)
    if (-not $admx) { throw "No *.admx file in $PolicySource." }
    foreach ($file in $admx) {
        [pscustomobject]@{ Source = $file.FullName; Target = Join-Path $PolicyTarget $file.Name }
    }
    foreach ($language in Get-ChildItem -LiteralPath $PolicySource -Directory) {
        foreach ($file in Get-ChildItem -LiteralPath $language.FullName -Filter *.adml -File) {
            [pscustomobject]@{ Source = $file.FullName; Target = Join-Path $PolicyTarget (Join-Path $language.Name $file.Name) }
        }
    }
}

function Install-PolicyFiles {
    foreach ($file in Get-PolicyFiles) {
        if (-not $PSCmdlet.ShouldProcess($file.Target, "Copy $($file.Source)")) { continue }
        $folder = Split-Path -Parent $file.Target
        if (-not (Test-Path -LiteralPath $folder)) { New-Item -ItemType Directory -Path $folder | Out-Null }
        Copy-Item -LiteralPath $file.Source -Destination $file.Target -Force
        Write-Step "copied $($file.Target)"
    }
}

function Uninstall-PolicyFiles {
    foreach ($file in Get-PolicyFiles) {
        if (-not (Test-Path -LiteralPath $file.Target)) { Write-Step "not present: $($file.Target)"; continue }
        if (-not $PSCmdlet.ShouldProcess($file.Target, 'Delete')) { continue }
        Remove-Item -LiteralPath $file.Target
        Write-Step "deleted $($file.Target)"
    }
}

function Install-Tcfiltr {
    Copy-ModuleFile $DllName
    if ($WithSymbols) { Copy-ModuleFile "$DllName.debug" }
    foreach ($key in $Registration.Keys) { Set-RegistryKey $key $Registration[$key] }
    if ($PolicyDefinitions) { Install-PolicyFiles }
}

# The registration goes first, so that no new LogonUI loads the DLL while it is taken away.
function Uninstall-Tcfiltr {
    foreach ($key in Get-RemovedKeys) { Remove-RegistryKey $key }
    foreach ($name in $DllName, "$DllName.debug") {
        $path = Join-Path $System32 $name
        if (Test-Path -LiteralPath $path) { Remove-FileNowOrAtRestart $path } else { Write-Step "not present: $path" }
    }
    if ($PolicyDefinitions) { Uninstall-PolicyFiles }
}

try {
    if (-not $SourcePath) { $SourcePath = $PSScriptRoot }
    Assert-64BitProcess
    if ($Uninstall) { Uninstall-Tcfiltr; Write-Step 'removal finished' } else { Install-Tcfiltr; Write-Step 'installation finished' }
} catch {
    $Host.UI.WriteErrorLine("Install-Sso: FAILED: $($_.Exception.Message)")
    exit 1
}
