# Detection script of a fleet tool (an Intune remediation, say): exit 0 when
# Tolvane on this machine is healthy, 1 with one line that says why not.
# Works in 32-bit and 64-bit Windows PowerShell 5.1 and in PowerShell 7:
# $env:ProgramW6432 is the 64-bit Program Files in all of them.
$tolvane = "$env:ProgramW6432\Tolvane\tolvane.exe"
if (-not (Test-Path -LiteralPath $tolvane -PathType Leaf)) {
    Write-Output "Tolvane is not installed: $tolvane does not exist"
    exit 1
}
# PowerShell leaves $LASTEXITCODE as it was when a program cannot start.
$global:LASTEXITCODE = -1
& $tolvane /CHECK | Out-Null
$status = $LASTEXITCODE
if ($status -eq 0) { exit 0 }
Write-Output "Tolvane /CHECK exit status $status"
exit 1
