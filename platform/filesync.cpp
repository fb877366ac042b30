#include "platform/filesync.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

bool SyncFile(std::FILE* file) {
#ifdef _WIN32
    return _commit(_fileno(file)) == 0;
#else
    return fsync(fileno(file)) == 0;
#endif
}
