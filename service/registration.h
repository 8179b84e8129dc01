// Registering the service with the SCM, for the setup program: the account,
// the one privilege it needs, its own SID, automatic start and restart after
// a failure.
#pragma once
#include <windows.h>

// Registers (or, when registered, reconfigures) OrametClock to run program,
// then starts it, or restarts it when it runs, so that it runs as configured. ERROR_SUCCESS or the system error of the step that failed.
DWORD InstallService(const wchar_t* program);

// Stops OrametClock (waiting for it, bounded) and deletes it. A service that
// is not registered is no error.
DWORD UninstallService();
