# Discovery script of a Configuration Manager configuration item (a setting
# of type Script, data type String, compliance rule "equals 0"): it writes
# what /CHECK found and always exits with 0, since Configuration Manager
# takes another exit status for a script error and remediates nothing.
$tolvane = "$env:ProgramW6432\Tolvane\tolvane.exe"
if (-not (Test-Path -LiteralPath $tolvane -PathType Leaf)) {
    Write-Output "not installed: $tolvane does not exist"
    exit 0
}
$global:LASTEXITCODE = -1
& $tolvane /CHECK | Out-Null
Write-Output "$LASTEXITCODE"
exit 0
