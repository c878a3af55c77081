/*
 * What stowkey.exe imports. coredll.dll is on every Windows CE device;
 * c.dll, whose perror writes the failure line, is on none by default, so
 * perror is bound at run time and only once a flush has failed (perror.cpp).
 */

#include "imports.h"

	import_dll coredll, RegFlushKey, ExitThread, LoadLibraryW, GetProcAddressW
	late_import c_perror
