// CChangeWatch on Win32: nothing is watched, so every kept file is looked at by its name.
#include "foundation/change_watch.h"

CChangeWatch::CChangeWatch() : m_hWatch(-1), m_nGeneration(0) {}

CChangeWatch::~CChangeWatch() = default;

bool CChangeWatch::IsValid() const {
    return false;
}

SOCKET CChangeWatch::GetHandle() const {
    return INVALID_SOCKET;
}

bool CChangeWatch::Watch(const CFolder&, const char*, const CFile&) {
    return false;
}

bool CChangeWatch::WatchFolder(const CFolder&, const char*, const std::vector<std::string>&) {
    return false;
}

void CChangeWatch::TakeChanges() {}
