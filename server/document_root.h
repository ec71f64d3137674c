// Opening request targets below g_szWebRoot, with the root's links kept inside it.
#pragma once

#include <memory>

#include "foundation/change_watch.h"
#include "foundation/file.h"
#include "server/target.h"

// Opens the regular file that an allowed target names below g_szWebRoot. A link is followed
// only as far as it stays below the root; one that leads out of it (or, on POSIX, any link
// written as an absolute path) fails the open as a missing file does.
bool OpenTargetFile(CFile& file, const CMappedTarget& mapped);
// Whether file, which OpenTargetFile opened for the same target earlier, is still the file
// the target names, unchanged, so that it may serve again without opening it anew.
bool IsTargetFileStillAt(const CFile& file, const CMappedTarget& mapped);
// Watches the names that lead to file, which OpenTargetFile opened for the target, so that
// any change on the way moves watch's generation: the root folder they start from, or null
// when they cannot be watched (see CChangeWatch::Watch).
std::shared_ptr<CFolder> WatchTargetNames(CChangeWatch& watch, const CFile& file,
                                          const CMappedTarget& mapped);
// Whether pFolder is still the folder that targets are opened below: the root's path is
// looked at once a second, so that a folder swapped in its place shows within a second.
bool IsCurrentRootFolder(const CFolder* pFolder);
// Whether an allowed target whose path did not end in '/' names a folder below g_szWebRoot,
// reached by the same rules as files: such a target is sent on to its name with the '/'.
bool NamesFolderBelowRoot(const CMappedTarget& mapped);
