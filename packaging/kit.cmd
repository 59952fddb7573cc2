@echo off
rem Runs drvscan, noisegauge and pairscan one after the other, all three
rem writing to one log. Usage: kit.cmd [logfile]
rem Without a log path each program uses its default, zazovavadera_log.txt in
rem the current folder. The programs are taken from this script's folder.
rem Stops with exit code 1 at the first program that fails (one that cannot
rem open the log exits with 1).
setlocal
set "KIT_DIR=%~dp0"
set "KIT_LOG=%~1"

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
