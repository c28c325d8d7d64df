// The library's application object. Its InitInstance is the library's
// start-up: the sockets, or a box that says why the library cannot be used.
#include "../platform/App.h"
#include "../platform/MessageBox.h"
#include "../res/Resource.h"
#include "Library.h"

class CTavrinApp : public CWinApp {
public:
    BOOL InitInstance() override;
};

BOOL CTavrinApp::InitInstance()
{
    if (!AfxSocketInit(NULL)) {
        AfxMessageBox(IDS_SOCKETS_INIT_FAILED, MB_OK, static_cast<UINT>(-1));
        return FALSE;
    }
    return TRUE;
}

CTavrinApp theApp;

// After theApp, never before: see ProcessAttach.
static ProcessAttach s_processAttach;

BOOL TavrinStartupSucceeded()
{
    return ModuleStartupSucceeded();
}
