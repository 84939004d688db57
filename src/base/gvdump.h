// The dump of global variables: a debugging aid that writes, for each global variable a module
// names, a line a debugger can paste to print it ("name\t\t*((type*)0x...)"). The file is
// "global.txt" in the preference directory; without it open, the writers do nothing.
#pragma once

// Once per process: creates the preference directory (mode 0700) and opens "global.txt" in it,
// emptied. A second call does nothing.
void init_sg();
// Closes the dump file.
void end_sg();
// Writes "\n<title>\n\n".
void sg_title(const char* title);
// Writes "<name>\t\t*((<type>*)0x<address>)\n".
void sg(const char* type, const char* name, const void* ptr);
