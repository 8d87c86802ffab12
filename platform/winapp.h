// CWinApp: the module object of a library or program. The derived class's
// InitInstance does the module's start-up; ExitInstance its shutdown.
#pragma once

#include "platform/cstring.h"
#include "platform/export.h"
#include "platform/object.h"
#include "platform/wintypes.h"

class VESK_API CWinApp : public CObject {
public:
    explicit CWinApp(LPCTSTR lpszAppName = nullptr);
    ~CWinApp() override;

    // TRUE to go on; a derived class calls this first.
    virtual BOOL InitInstance();
    // The module's exit code.
    virtual int ExitInstance();

    CString m_strAppName;
};
