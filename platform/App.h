// The module's application object and its start-up, as the MFC entry point
// of a regular DLL runs them at process attach: the object is constructed
// with the module's other statics, then its InitInstance decides whether
// the module may be used.
//
// Windows fails the load of a DLL whose InitInstance returns FALSE. A
// shared object cannot refuse to load, so here the module stays loaded and
// the outcome is recorded for the module's own query (TavrinStartupSucceeded).
//
// InitInstance runs during the module's static initialisation, at a point
// the order of the module's translation units does not fix: what it reaches
// (the string table, the message boxes, WSAStartup) must be
// constant-initialised or built on first use.
#pragma once

#include "Mfc.h"
#include "Types.h"
#include "Winsock.h"

class CWinApp : public CObject {
public:
    // Becomes the module's application (AfxGetApp). Without a name, the
    // name is the module's ("tavrin" for libtavrin.so.0).
    explicit CWinApp(LPCTSTR lpszAppName = nullptr);
    ~CWinApp() override;

    // Called once the object is fully constructed, when the module is
    // loaded. FALSE: the module cannot be used.
    virtual BOOL InitInstance();

    // The caption of the module's message boxes.
    LPCTSTR m_pszAppName;

private:
    CString m_strAppName;
};

// The module's application object; nullptr before it is constructed and
// after it is destroyed.
CWinApp* AfxGetApp();

// Starts Windows Sockets 1.1 for the module, once: later calls succeed
// without starting them again. TRUE when the sockets are started. The
// sockets stay started while the module is loaded.
BOOL AfxSocketInit(WSADATA* lpwsaData = nullptr);

// The module's process attach: calls the application's InitInstance and
// records the outcome. Exactly one, defined after the application object
// in the same translation unit, so that the language's order of
// initialisation within a unit guarantees the object is complete (and the
// call reaches the derived InitInstance) when this one is constructed.
// Any further attach does nothing.
class ProcessAttach {
public:
    ProcessAttach();
    ProcessAttach(const ProcessAttach&) = delete;
    ProcessAttach& operator=(const ProcessAttach&) = delete;
};

// TRUE once the process attach has run and InitInstance returned TRUE.
// FALSE before it has run, and when it failed. Any thread.
BOOL ModuleStartupSucceeded();

namespace tavrin::platform {

// What the operating system backend provides.

// The module's file name without directory, "lib" prefix and ".so"
// suffix; empty when the system cannot tell.
CString ModuleName();
// Writes the line and a newline to stderr in one write, so that lines of
// several threads never interleave.
void WriteStderrLine(const CString& line);

}  // namespace tavrin::platform
