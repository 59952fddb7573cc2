@echo off
rem Runs drvscan, noisegauge and pairscan one after the other, all three
rem writing to one log. Usage: kit.cmd [logfile], or kit.cmd /?
rem Without a log path each program uses its default, zazovavadera_log.txt in
rem the current folder. The programs are taken from this script's folder: on
rem 64-bit Windows (x64) the 64-bit ones in its x64 folder, which see the real
rem drivers folder, and the 32-bit ones everywhere else.
rem Stops with exit code 1 at the first program that fails (one that cannot
rem open the log exits with 1).
setlocal
set "KIT_DIR=%~dp0"
set "KIT_LOG=%~1"

if not "%~2"=="" goto start
if "%~1"=="--help" goto usage
if "%~1"=="-h" goto usage
if "%~1"=="/?" goto usage

:start
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

:usage
echo Usage: kit.cmd [logfile]
echo.
echo Runs drvscan, noisegauge and pairscan one after the other on one Windows
echo folder: drvscan searches the drivers folder below system32 for the byte
echo signatures of the Vorl malware, noisegauge reports the *.pnf files of the
echo inf folder whose bytes look encrypted or packed, and pairscan those without
echo an .inf file of the same stem. The programs are taken from this script's
echo folder.
echo.
echo Progress and findings are printed on the console and all three append to
echo one log: logfile, or zazovavadera_log.txt in the current folder when no
echo logfile is given. The log is UTF-16LE without a byte-order mark. Findings
echo begin with SUSPICIOUS:, progress with INFO:, failures with ERROR:.
echo.
echo The Windows folder to examine:
echo   VORLKIT_WINDOWS  when set and not empty, this folder, used as given,
echo                    and its system32 folder; otherwise the running Windows
echo.
echo Started from an administrator's console, each program also reads the
echo folder it walks from the raw NTFS volume under it and reports what the
echo system's listing hides, and drivers that the system reads otherwise than
echo they are on the disk. VORLKIT_RAW=0 turns that off, VORLKIT_RAW=1
echo requires it.
echo.
echo Exit codes:
echo   0  all three programs walked their folders, findings or not (or this
echo      text was shown)
echo   1  a program failed: the log could not be opened
echo.
echo   -h, --help, /?  show this text
exit /b 0
