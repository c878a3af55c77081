/*
 * The legacy setup file of a CAB as Microsoft's CabWiz of 2005 on makes
 * one for an application (app.xml describes the same install): names and
 * strings padded with 0s; the install directory, %CE1%\App, as string 1;
 * three files under it, one of them in a folder of its own and one shared;
 * a shortcut in the directory of %CE11%, named by its string with no 0
 * after it; a registry value with a macro in it and a DWORD; processor 0
 * (any), CE 3.0 to 5.99, and the highest build CabWiz writes for any build.
 */

#include "setup.h"

	setup_padded
	setup_header 0, 3, 0, 5, 99, 0, 0xE0000000

application:
1:	setup_text "App"
application_end:
provider:
1:	setup_text "Vendor"
provider_end:
	.set	unsupported, setup
	.set	unsupported_end, setup

strings:
	string	1, "%CE1%\\App"
	string	2, "App"
	string	3, "Data"
	string	4, "App.lnk"
	string	5, "SOFTWARE"
	string	6, "Vendor"
	string	7, "%CE11%"
directories:
	directory 1, 1			/* %CE1%\App */
	directory 2, 1, 3		/* %CE1%\App\Data */
	directory 3, 7			/* %CE11% */
files:
	file	1, 1, "App.exe", 0x40000000			/* NoDateCheck */
	file	2, 1, "Readme.txt", 0xC0000000			/* NoDateCheck, Shared */
	file	3, 2, "Data.bin", 0x40000001			/* NoDateCheck, WarnIfSkip */
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
	link	1, 3, 0, 1, 1, 4	/* App.lnk in directory 3 to file 1 */
	setup_end_here
