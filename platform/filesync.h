// Pushes a file's written bytes through to its disk (fsync; _commit on Windows).
#pragma once

#include <cstdio>

// True when the file's data has reached the disk. The stream must be flushed first.
bool SyncFile(std::FILE* file);
