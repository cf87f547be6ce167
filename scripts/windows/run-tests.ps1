# Runs the Windows suite on a real Windows machine, each test case in its
# own process (the component is built on process-wide singletons), and
# prints one summary line. Copy build-win32/ (tvUT.dll, the test programs in
# tests\windows\) to the machine, then, in PowerShell:
#   powershell -ExecutionPolicy Bypass -File run-tests.ps1 -Build C:\path\to\build-win32
# Exit code 0 when no case failed. Cases that need the Linux side (the
# session checks, the recorded Linux-side checks) are not run here; those
# that record a Linux-side check fail without TVUT_WINDOWS_CHECK_DIR, so it
# is pointed at a scratch folder whose records are then left unread.
param(
    [Parameter(Mandatory = $true)][string]$Build,
    [int]$TimeoutSeconds = 300
)
$ErrorActionPreference = 'Stop'
$tests = Join-Path $Build 'tests\windows'
$checks = Join-Path ([System.IO.Path]::GetTempPath()) ("tvut-checks-" + [guid]::NewGuid())
New-Item -ItemType Directory -Path $checks | Out-Null
$env:TVUT_WINDOWS_CHECK_DIR = $checks
$passed = 0; $failed = 0; $skipped = 0; $failures = @()
foreach ($program in Get-ChildItem -Path $tests -Filter '*_test.exe') {
    # "Suite." lines, then "  Case" lines; parameterised names keep their
    # first word only.
    $suite = ''
    $cases = @()
    foreach ($line in & $program.FullName --gtest_list_tests) {
        if ($line -match '^(\S+)\.') { $suite = $Matches[1] + '.'; continue }
        if ($line -match '^\s+(\S+)') {
            if ($suite -like 'WindowsChild.*' -or $Matches[1] -like 'DISABLED_*') { continue }
            $cases += $suite + $Matches[1]
        }
    }
    foreach ($case in $cases) {
        $run = Start-Process -FilePath $program.FullName -ArgumentList "--gtest_filter=$case" `
            -NoNewWindow -PassThru -RedirectStandardOutput (Join-Path $checks 'last.txt')
        # The handle is kept from the start: without it the exit code of a
        # process started this way reads as empty once it has ended.
        $null = $run.Handle
        if (-not $run.WaitForExit($TimeoutSeconds * 1000)) {
            $run.Kill(); $failed++; $failures += "$case (timed out)"; continue
        }
        $output = Get-Content (Join-Path $checks 'last.txt') -Raw
        if ($run.ExitCode -ne 0) { $failed++; $failures += $case }
        elseif ($output -match '\[  SKIPPED \]') { $skipped++ }
        else { $passed++ }
    }
}
foreach ($failure in $failures) { Write-Output "FAILED $failure" }
Remove-Item -Recurse -Force $checks
Write-Output ("tvUT Windows suite on {0}: {1} passed, {2} failed, {3} skipped" -f `
    [System.Environment]::OSVersion.VersionString, $passed, $failed, $skipped)
if ($failed -ne 0) { exit 1 }
exit 0
