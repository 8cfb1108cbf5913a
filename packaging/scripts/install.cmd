@echo off
rem Installs Tolvane from this unpacked zip, or brings an installed copy up to
rem it: the zip's tolvane.exe, and the ROUTE you put beside this script. Run
rem it elevated (a computer startup script of Group Policy runs as
rem LocalSystem). Nothing is cleared: the new routes go in at once, with
rem tolvane /REPAIR. Exit status 0 when done, also when nothing changed; else
rem the code of the step that failed (13: the new route file has a mistake,
rem and the one in place stays), or /REPAIR's.
setlocal
set "NEW=%~dp0..\tolvane.exe"
set "TARGET=%ProgramFiles%\Tolvane"
rem A 32-bit script host has Program Files (x86) as %ProgramFiles%...
if defined ProgramW6432 set "TARGET=%ProgramW6432%\Tolvane"
set "EXE=%TARGET%\tolvane.exe"
set "ETC=%SystemRoot%\System32\drivers\etc"
rem ...and sees SysWOW64 under the name System32.
if exist "%SystemRoot%\Sysnative\cmd.exe" set "ETC=%SystemRoot%\Sysnative\drivers\etc"
set "REPORT=%TEMP%\tolvane-install-check.txt"

rem The new route file first, as the new program reads it.
"%NEW%" /CHECK "%~dp0ROUTE" >nul
if errorlevel 1 exit /b %ERRORLEVEL%

rem The program only when it differs: by size and time (which copy keeps),
rem then byte by byte. A running one cannot be replaced: the service is
rem stopped first, and started again below without a boot run.
set REPLACED=
for %%f in ("%NEW%") do set "NEWSTAMP=%%~zf %%~tf"
set OLDSTAMP=
if exist "%EXE%" for %%f in ("%EXE%") do set "OLDSTAMP=%%~zf %%~tf"
if not "%NEWSTAMP%"=="%OLDSTAMP%" goto replace
fc /b "%NEW%" "%EXE%" >nul 2>&1
if not errorlevel 1 goto placed
:replace
net stop Tolvane >nul 2>&1
mkdir "%TARGET%" 2>nul
rem The stopped service's process may take a moment to end.
for /l %%t in (1,1,10) do (
    copy /y "%NEW%" "%EXE%" >nul 2>&1
    if not errorlevel 1 goto copied
    ping -n 2 127.0.0.1 >nul
)
exit /b 32
:copied
set REPLACED=1
:placed

rem Registered for this copy; registered again when the service runs another
rem (a copy an older script put under Program Files (x86)).
"%EXE%" /CHECK >"%REPORT%"
find "Service: not registered" "%REPORT%" >nul
if not errorlevel 1 goto register
find "Warning: the service runs" "%REPORT%" >nul
if errorlevel 1 goto registered
net stop Tolvane >nul 2>&1
"%EXE%" /DELETE >nul
:register
"%EXE%" /REGISTER >nul
if errorlevel 1 exit /b %ERRORLEVEL%
set REPLACED=1
:registered

copy /y "%~dp0ROUTE" "%ETC%\ROUTE" >nul
if errorlevel 1 exit /b 1
"%EXE%" /REPAIR >nul
set STATUS=%ERRORLEVEL%
rem After /REPAIR, so that the two do not run the same routes at once: the
rem service started so finds them in and, with KeepRoutes, watches on. A
rem disabled service does not start, and that is no failure.
if defined REPLACED sc.exe start Tolvane repair >nul 2>&1
exit /b %STATUS%
