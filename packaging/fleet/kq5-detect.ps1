# kq5 on this machine, compliant or not: the detection script of an Intune remediation, or the
# discovery script of a Configuration Manager compliance setting. It runs the installed
# kq5doctor.exe --json and prints one line:
#   kq5 compliant                                   kq5doctor exit 0: nothing wrong
#   kq5 not compliant: problem: KEY,KEY             exit 1: the keys of its PROBLEM lines
#   kq5 not compliant: cannot tell: KEY,KEY         exit 2: it could not look (its CANNOT lines)
#   kq5 not compliant: kq5 is not installed ...     no kq5doctor.exe
# and exits 0 when compliant, else $NotCompliantExit. Run it as SYSTEM (both tools do), so that
# kq5doctor may open the queue and the service as kq5 does.
# Configuration Manager counts a discovery script's non-zero exit as a failure to run, not as
# non-compliance: there, set $NotCompliantExit to 0 and make the rule "equals kq5 compliant".
$NotCompliantExit = 1

function Report([string]$Line, [bool]$Compliant) {
    Write-Output $Line
    if ($Compliant) { exit 0 }
    exit $NotCompliantExit
}

# The 64-bit Program Files, also from a 32-bit PowerShell (whose ProgramFiles is the x86 one).
$programFiles = if ($env:ProgramW6432) { $env:ProgramW6432 } else { $env:ProgramFiles }
$doctor = Join-Path $programFiles 'kq5\kq5doctor.exe'
if (-not (Test-Path -LiteralPath $doctor)) {
    Report "kq5 not compliant: kq5 is not installed (no $doctor)" $false
}
$json = (& $doctor --json 2>$null) -join "`n"
$code = $LASTEXITCODE
$report = $null
try {
    $report = $json | ConvertFrom-Json -ErrorAction Stop
} catch {
}
if ($null -eq $report) {
    Report "kq5 not compliant: kq5doctor exited $code without its report" $false
}
$keys = @($report.problems) -join ','
switch ($code) {
    0 { Report 'kq5 compliant' $true }
    1 { Report "kq5 not compliant: problem: $keys" $false }
    2 { Report "kq5 not compliant: cannot tell: $keys" $false }
    default { Report "kq5 not compliant: kq5doctor exited $code" $false }
}
