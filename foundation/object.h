// Root of the class library: every owner of an operating-system object derives from it.
#pragma once

// Owners of an operating-system object are not copied: two would close it twice. CString,
// the one value among them, copies its text in a copy constructor of its own.
class CObject {
public:
    CObject() = default;
    CObject(const CObject&) = delete;
    CObject& operator=(const CObject&) = delete;
    virtual ~CObject() = default;
};
