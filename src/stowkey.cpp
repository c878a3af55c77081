/*
 * stowkey: commit the registry to persistent storage.
 *
 * The root keys are flushed in a fixed order and the first failure ends
 * the run, so that a key is only flushed when every one before it was.
 */

#include <windows.h>
#include <stdio.h>

int
main()
{
	if (RegFlushKey(HKEY_CLASSES_ROOT) != ERROR_SUCCESS ||
	    RegFlushKey(HKEY_CURRENT_USER) != ERROR_SUCCESS ||
	    RegFlushKey(HKEY_LOCAL_MACHINE) != ERROR_SUCCESS) {
		perror("stowkey");
		return 1;
	}
	return 0;
}
