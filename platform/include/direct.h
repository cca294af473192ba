// Stand-in for the C runtime's directory calls; paths are Windows paths.
#pragma once
int _mkdir(const char* path);
