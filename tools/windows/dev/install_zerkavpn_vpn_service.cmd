@echo off
rem Development install of ZerkaVPNService: registers the built executable with the
rem Service Control Manager as "ZerkaVPNService" (own process, demand start,
rem LocalSystem), starts it and waits until it runs. Run from an elevated prompt.
rem
rem   install_zerkavpn_vpn_service.cmd [path\to\ZerkaVPNService.exe]
rem
rem Without an argument the executable of the Windows build tree is used. An existing
rem registration is removed first, so the script can be run again after a rebuild.
setlocal EnableExtensions
set "SVC=ZerkaVPNService"
set "EXE=%~1"
if "%EXE%"=="" set "EXE=%~dp0..\..\..\build\windows\service\ZerkaVPNService.exe"
for %%I in ("%EXE%") do set "EXE=%%~fI"
if not exist "%EXE%" (
  echo install_zerkavpn_vpn_service: "%EXE%" not found; build it first 1>&2
  exit /b 2
)

sc query %SVC% >nul 2>&1
if errorlevel 1 goto create
call "%~dp0uninstall_zerkavpn_vpn_service.cmd"
if errorlevel 1 exit /b 3

:create
sc create %SVC% binPath= "\"%EXE%\"" type= own start= demand obj= LocalSystem DisplayName= "Zerka VPN Service" >nul
if errorlevel 1 (
  echo install_zerkavpn_vpn_service: sc create failed; run it from an elevated prompt 1>&2
  exit /b 3
)
sc start %SVC% >nul
if errorlevel 1 (
  echo install_zerkavpn_vpn_service: sc start failed 1>&2
  exit /b 4
)

set /a tries=0
:wait_running
sc query %SVC% | find "RUNNING" >nul
if not errorlevel 1 goto running
set /a tries+=1
if %tries% geq 30 (
  echo install_zerkavpn_vpn_service: %SVC% did not reach RUNNING 1>&2
  exit /b 5
)
rem One second: ping is the pause every Windows (and Wine) has.
ping -n 2 127.0.0.1 >nul
goto wait_running

:running
echo install_zerkavpn_vpn_service: %SVC% installed and running
exit /b 0
