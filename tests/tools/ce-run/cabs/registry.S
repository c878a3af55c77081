/*
 * A legacy setup file with a registry value of each type the format has,
 * one whose macro is expanded, and one that an existing value keeps; it
 * installs the one program stowkey.exe into \Windows.
 */

#include "setup.h"

	setup_header 2577, 3, 0, 7, 99

application:
	.asciz	"Registry"
application_end:
provider:
	.asciz	"Test"
provider_end:
	.set	unsupported, setup
	.set	unsupported_end, setup

strings:
	string	1, "%CE2%"
	string	2, "SOFTWARE"
	string	3, "Test"
directories:
	directory 1, 1
files:
	file	1, 1, "stowkey.exe", 0x40000000
hives:
	hive	1, 3, 2, 3		/* HKLM\SOFTWARE\Test */
	hive	2, 2, 3			/* HKCU\Test */
values:
	value	1, 1, 0, 0, "Text"
	.asciz	"plain"
	value_end 1
	value	2, 1, 1, 0, "Place"
	.asciz	"%CE2%\\stowkey.exe"
	value_end 2
	value	3, 1, 0, 0x10000, "List"
	.asciz	"one"
	.asciz	"two"
	.byte	0
	value_end 3
	value	4, 1, 0, 1, "Blob"
	.byte	1, 2, 0xff
	value_end 4
	value	5, 2, 0, 0x10001, "Count"
	.long	42
	value_end 5
	value	6, 2, 0, 0x2, "Kept"
	.asciz	"new"
	value_end 6
	value	7, 2, 0, 0, ""
	.asciz	"default"
	value_end 7
links:
	setup_end_here
