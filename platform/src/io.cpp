#include <io.h>

int _open(const char* path, int flags, int mode) { return open(path, flags, mode); }
int _close(int fd) { return close(fd); }
int _dup2(int from, int to) { return dup2(from, to); }
