@echo off
rem Development uninstall of ZerkaVPNService: stops the service (a stop control, so
rem it ends its pipe loop cleanly), waits until it has stopped, and removes its
rem registration. Run from an elevated prompt. Not installed is not an error.
setlocal EnableExtensions
set "SVC=ZerkaVPNService"

sc query %SVC% >nul 2>&1
if errorlevel 1 (
  echo uninstall_zerkavpn_vpn_service: %SVC% is not installed
  exit /b 0
)
sc stop %SVC% >nul 2>&1

set /a tries=0
:wait_stopped
sc query %SVC% | find "STOPPED" >nul
if not errorlevel 1 goto stopped
set /a tries+=1
if %tries% geq 40 (
  echo uninstall_zerkavpn_vpn_service: %SVC% did not stop 1>&2
  exit /b 5
)
ping -n 2 127.0.0.1 >nul
goto wait_stopped

:stopped
sc delete %SVC% >nul
if errorlevel 1 (
  echo uninstall_zerkavpn_vpn_service: sc delete failed; run it from an elevated prompt 1>&2
  exit /b 3
)
echo uninstall_zerkavpn_vpn_service: %SVC% stopped and removed
exit /b 0
