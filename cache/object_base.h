// The MFC object base of CVESKCache. Uses platform/object.h once it is in the tree; until
// then a plain polymorphic base with the same role.
#pragma once

#if __has_include("platform/object.h")
#include "platform/object.h"
#else
class CObject {
public:
    virtual ~CObject() = default;

protected:
    CObject() = default;
    CObject(const CObject&) = default;
    CObject& operator=(const CObject&) = default;
};
#endif
