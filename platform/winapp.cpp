// CWinApp's default start-up and shutdown do nothing.
#include "platform/winapp.h"

CWinApp::CWinApp(LPCTSTR lpszAppName) : m_strAppName(lpszAppName) {}
CWinApp::~CWinApp() = default;
BOOL CWinApp::InitInstance() {
    return TRUE;
}
int CWinApp::ExitInstance() {
    return 0;
}
