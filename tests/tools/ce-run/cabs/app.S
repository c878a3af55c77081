/*
 * The legacy setup file of a CAB as Microsoft's CabWiz makes one for an
 * application (app.xml describes the same install): three files under
 * %CE1%\App, one of them in a folder of its own, a shortcut in %CE11%, a
 * registry value with a macro in it and a DWORD, processor 0 (any), CE
 * 3.0 to 5.99, and the highest build CabWiz writes for any build.
 */

#include "setup.h"

	setup_header 0, 3, 0, 5, 99, 0, 0xE0000000

application:
	.asciz	"App"
application_end:
provider:
	.asciz	"Vendor"
provider_end:
	.set	unsupported, setup
	.set	unsupported_end, setup

strings:
	string	1, "%CE1%"
	string	2, "App"
	string	3, "Data"
	string	4, "App.lnk"
	string	5, "SOFTWARE"
	string	6, "Vendor"
directories:
	directory 1, 1, 2		/* %CE1%\App */
	directory 2, 1, 2, 3		/* %CE1%\App\Data */
files:
	file	1, 1, "App.exe", 0x40000000
	file	2, 1, "Readme.txt", 0x40000000
	file	3, 2, "Data.bin", 0x40000000
hives:
	hive	1, 3, 5, 6, 2		/* HKLM\SOFTWARE\Vendor\App */
values:
	value	1, 1, 1, 0, "ProgramFilesDir"
	.asciz	"%CE1%"
	value_end 1
	value	2, 1, 0, 0x10001, "Version"
	.long	5
	value_end 2
links:
	link	1, 11, 1, 1, 4		/* %CE11%\App.lnk to file 1 */
	setup_end_here
