/* stowkey's imports with perror bound by the loader, from c.dll. */

#include "imports.h"

	import_dll coredll, RegFlushKey, ExitThread
	import_dll c, perror
