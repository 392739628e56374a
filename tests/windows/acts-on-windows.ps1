# The act table on Windows itself, from the download and the stand-in bundle that
# .ci/windows-release.sh builds beside it:
#
#   powershell -NoProfile -ExecutionPolicy Bypass -File acts-on-windows.ps1 `
#       -Release ostrelle-VERSION-windows-x64.zip -StandIn ostrelle-VERSION-windows-x64-acts.zip
#
# Both are unpacked into one fresh folder: the download's DevIL.dll, the test build
# ostrelle_testable.exe and the stand-in evil_worker.exe, which the test build starts as its
# worker. The stand-in plays a decoder taken over by a file: once lowered, it tries every act of
# its table against a folder of the user's, the user's registry, the run, the desktop and a port
# this script listens on. The script fails on any act that was not refused, on a worker that is
# not untrusted or holds a privilege, on a good file that does not convert, and when what the
# acts leave behind does not match the worker's answer. It prints each act's outcome.
param(
    [Parameter(Mandatory = $true)] [string] $Release,
    [Parameter(Mandatory = $true)] [string] $StandIn
)
$ErrorActionPreference = 'Stop'
$failures = 0
function Fail([string] $what) {
    Write-Host "acts: FAILED: $what"
    $script:failures++
}

$root = Join-Path ([IO.Path]::GetTempPath()) ('ostrelle-acts-' + [Guid]::NewGuid().ToString('N').Substring(0, 8))
$app = Join-Path $root 'app'
Expand-Archive -LiteralPath $Release -DestinationPath $app
Expand-Archive -LiteralPath $StandIn -DestinationPath $app
$evilWorker = Join-Path $app 'evil_worker.exe'
$acts = @(& $evilWorker --acts | ForEach-Object { ($_ -split ' ', 2)[1] })
if ($acts.Count -lt 10) { throw "the stand-in lists $($acts.Count) acts" }

# A port the worker may try; whoever reaches it is counted.
$listener = [Net.Sockets.TcpListener]::new([Net.IPAddress]::Loopback, 0)
$listener.Start()
$port = $listener.LocalEndpoint.Port

# The input's folder and the user's files in it; the worker learns the folder from the name.
$folder = Join-Path $root "files-$port"
New-Item -ItemType Directory -Path $folder | Out-Null
Set-Content -LiteralPath (Join-Path $folder 'secret.txt') -Value 'secret'
Set-Content -LiteralPath (Join-Path $folder 'victim.txt') -Value 'victim'
[IO.File]::WriteAllBytes((Join-Path $folder 'good.png'), [Convert]::FromBase64String(
        'iVBORw0KGgoAAAANSUhEUgAAAAMAAAADCAIAAADZSiLoAAAAF0lEQVR4nGNg+B8FRTaHoyCIoaI9CoIAtP8MIjbxQ6sAAAAASUVORK5CYII='))
Set-Content -LiteralPath (Join-Path $folder 'token.level') -Value 'level'
$hex = -join ([Text.Encoding]::UTF8.GetBytes($folder) | ForEach-Object { $_.ToString('x2') })
$evil = "x.evil-$port-$hex"
Set-Content -LiteralPath (Join-Path $folder $evil) -Value 'hostile'

# Something on the clipboard to read, where this session has a clipboard.
& $evilWorker --clipboard 'on the clipboard' 0 | Out-Null
& $evilWorker --clipboard | Out-Null
$clipboard = $LASTEXITCODE -eq 0

# The run, with its standard input at its end so that it does not wait for a key.
$empty = Join-Path $root 'empty'
$output = Join-Path $root 'output'
[IO.File]::WriteAllBytes($empty, [byte[]]@())
$env:OSTRELLE_TEST_ONLY_WORKER_PROGRAM = $evilWorker
$run = Start-Process -FilePath (Join-Path $app 'ostrelle_testable.exe') `
    -ArgumentList @('good.png', 'token.level', $evil) -WorkingDirectory $folder -NoNewWindow `
    -RedirectStandardInput $empty -RedirectStandardOutput $output -PassThru -Wait
Remove-Item Env:OSTRELLE_TEST_ONLY_WORKER_PROGRAM
$reached = 0
while ($listener.Pending()) {
    $listener.AcceptTcpClient().Close()
    $reached++
}
$listener.Stop()
$got = @(Get-Content -LiteralPath $output)
if ($run.ExitCode -ne 0) { Fail "the run ended with status $($run.ExitCode)" }
$codes = @($got | Where-Object { $_ -match '^The error (-?\d+)$' } | ForEach-Object { [int]($_ -replace '^The error ', '') })
if ($got[4] -ne 'Done!' -or $codes.Count -ne 2) {
    $got | ForEach-Object { Write-Host "  $_" }
    throw 'a good file did not convert in the lowered worker, or the stand-in did not answer'
}

# The worker's token: untrusted, with no privilege.
$token = @($got | Where-Object { $_ -match '^String is image too large: (\d+)x(\d+)$' })[0]
$privileges = [int]($token -replace '^String is image too large: (\d+)x\d+$', '$1')
$level = '0x{0:X4}' -f $codes[0]
if (-not $token) {
    Fail 'the stand-in did not say how many privileges it holds'
} elseif ($codes[0] -eq -1) {
    Write-Host "acts: the worker cannot read its own token ($token)"
} else {
    Write-Host "acts: the worker's integrity level is $level, with $privileges privileges"
    if ($codes[0] -ne 0) { Fail "the worker's integrity level is $level, not untrusted (0x0000)" }
    if ($privileges -ne 0) { Fail "the worker holds $privileges privileges" }
}

$mask = $codes[1]
if ($mask -lt 0) { throw 'the stand-in could not read its own input' }
function Allowed([string] $name) { ($mask -shr [array]::IndexOf($acts, $name)) -band 1 }
for ($i = 0; $i -lt $acts.Count; $i++) {
    if (($mask -shr $i) -band 1) {
        Fail "not refused: $($acts[$i])"
    } elseif ($acts[$i] -eq 'read the clipboard' -and -not $clipboard) {
        Write-Host "acts: $($acts[$i]): not shown, as this session has no clipboard to read"
    } else {
        Write-Host "acts: $($acts[$i]): refused"
    }
}

# What the acts leave behind tells the same as the answer.
if ((Test-Path (Join-Path $folder 'written-by-worker.txt')) -and -not (Allowed 'create a file beside the input')) {
    Fail 'a file was created unreported'
}
if (-not (Test-Path (Join-Path $folder 'victim.txt')) -and -not (Allowed 'delete a file beside the input')) {
    Fail 'a file was deleted unreported'
}
if ($reached -gt 0 -and -not (Allowed 'connect to a local port')) { Fail 'the listener was reached unreported' }
$key = "HKCU:\Software\OstrelleActs-$port"
if (Test-Path $key) {
    Remove-Item -Recurse $key
    Fail "the worker's registry key was left behind"
}
Remove-Item -Recurse -Force $root
if ($failures -gt 0) {
    Write-Host "acts: $failures check(s) failed"
    exit 1
}
Write-Host "acts: all $($acts.Count) acts refused"
