// Opening request targets below the document root, with the root's links kept inside it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "foundation/change_watch.h"
#include "foundation/file.h"
#include "server/target.h"

// Serves the files below pszRoot (which ends with the host's separator) from now on: each
// worker's next request opens below it, and files kept from the old root are no longer
// current. Returns whether its folder opens now; when it does not, it is tried again at each
// request, so a root that appears later is served.
bool SetDocumentRoot(const wchar_t* pszRoot);
// The root being served, as SetDocumentRoot was last given it.
std::wstring GetDocumentRoot();

// Opens the regular file that an allowed target names below the document root. A link is followed
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
// Whether an allowed target whose path did not end in '/' names a folder below the root,
// reached by the same rules as files: such a target is sent on to its name with the '/'.
bool NamesFolderBelowRoot(const CMappedTarget& mapped);

// The folder that an allowed target naming a folder (m_bFolderIndex) stands for, below the
// root, as ListFolderBelow takes it: the target's path without its index name.
std::string TargetFolder(const CMappedTarget& mapped);
// Reads the entries of that folder below the current root into *pEntries: the root it was
// read below, or null when no folder there may be served.
std::shared_ptr<CFolder> ListTargetFolder(const CMappedTarget& mapped,
                                          std::vector<CFolderEntry>* pEntries);
