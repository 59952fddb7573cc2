@echo off
rem Runs drvscan, noisegauge and pairscan one after the other, all three
rem writing to one log. Usage: kit.cmd [logfile]
rem Without a log path each program uses its default, zazovavadera_log.txt in
rem the current folder. The programs are taken from this script's folder: on
rem 64-bit Windows (x64) the 64-bit ones in its x64 folder, which see the real
rem drivers folder, and the 32-bit ones everywhere else.
rem Stops with exit code 1 at the first program that fails (one that cannot
rem open the log exits with 1).
setlocal
set "KIT_DIR=%~dp0"
set "KIT_LOG=%~1"

rem A 32-bit cmd.exe on 64-bit Windows sees x86 in PROCESSOR_ARCHITECTURE;
rem PROCESSOR_ARCHITEW6432 then names the machine.
set "KIT_MACHINE=%PROCESSOR_ARCHITECTURE%"
if defined PROCESSOR_ARCHITEW6432 set "KIT_MACHINE=%PROCESSOR_ARCHITEW6432%"
if /i "%KIT_MACHINE%"=="AMD64" if exist "%KIT_DIR%x64\drvscan.exe" set "KIT_DIR=%KIT_DIR%x64\"

call :run drvscan
if errorlevel 1 exit /b 1
call :run noisegauge
if errorlevel 1 exit /b 1
call :run pairscan
if errorlevel 1 exit /b 1
exit /b 0

rem Runs one program, with the log path when one was given.
:run
if defined KIT_LOG (
  "%KIT_DIR%%1.exe" "%KIT_LOG%"
) else (
  "%KIT_DIR%%1.exe"
)
exit /b %errorlevel%
