// Opening request targets below g_szWebRoot, with the root's links kept inside it.
#pragma once

#include "foundation/file.h"
#include "server/target.h"

// Opens the regular file that an allowed target names below g_szWebRoot. A link is followed
// only as far as it stays below the root; one that leads out of it (or, on POSIX, any link
// written as an absolute path) fails the open as a missing file does.
bool OpenTargetFile(CFile& file, const CMappedTarget& mapped);
