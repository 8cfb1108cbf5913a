# Remediation script of a fleet tool, run as LocalSystem after detect.ps1
# found a problem. It asks /CHECK again and runs /REPAIR, which never clears
# the routing table, only when a route is missing (1168); for anything else
# it writes one line that says what to do, and ends with the code.
$tolvane = "$env:ProgramW6432\Tolvane\tolvane.exe"
if (-not (Test-Path -LiteralPath $tolvane -PathType Leaf)) {
    Write-Output "Tolvane is not installed: $tolvane does not exist; install the package"
    exit 2
}
$global:LASTEXITCODE = -1
& $tolvane /CHECK | Out-Null
$status = $LASTEXITCODE
if ($status -eq 0) { exit 0 }
if ($status -ne 1168) {
    $todo = 'tolvane /CHECK on the machine says why'
    if ($status -eq 1060) { $todo = 'the service is not registered: reinstall the package' }
    if ($status -eq 1062) { $todo = 'the service is stopped or paused: sc.exe start Tolvane repair, or sc.exe continue Tolvane' }
    if ($status -eq 1058) { $todo = 'the service is disabled: sc.exe config Tolvane start= auto' }
    if ($status -eq -1) { $todo = 'tolvane.exe could not be started' }
    Write-Output "Tolvane /CHECK exit status ${status}: $todo; /REPAIR not run"
    exit $status
}
$global:LASTEXITCODE = -1
& $tolvane /REPAIR | Out-Null
$status = $LASTEXITCODE
Write-Output "Tolvane /REPAIR exit status $status"
exit $status
