// Stand-in for the C runtime's low-level file calls; paths are paths of this system.
#pragma once
#include <fcntl.h>
#include <unistd.h>

#define _O_RDONLY O_RDONLY
#define _O_WRONLY O_WRONLY
#define _O_RDWR O_RDWR
#define _O_CREAT O_CREAT
#define _O_TRUNC O_TRUNC
#define _O_APPEND O_APPEND
#define _O_BINARY 0  // no text mode here
#define _O_TEXT 0

int _open(const char* path, int flags, int mode = 0);
int _close(int fd);
int _dup2(int from, int to);
