// Root of the class library: every owner of an operating-system object derives from it.
#pragma once

class CObject {
public:
    CObject() = default;
    CObject(const CObject&) = default;
    CObject& operator=(const CObject&) = delete;
    virtual ~CObject() = default;
};
