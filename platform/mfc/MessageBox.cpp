#include "../MessageBox.h"

#include <mutex>

#include "../App.h"

namespace {

struct Handler {
    MessageBoxHandler show = nullptr;
    LPVOID context = nullptr;
};

// The module's start-up may show a box before this unit's dynamic
// initialisers have run: the handler is constant-initialised and the lock
// built on first use (std::mutex is not constexpr with every runtime:
// mingw's winpthreads mutex is not).
constinit Handler g_handler;

std::mutex& HandlerLock()
{
    static std::mutex lock;
    return lock;
}

Handler CurrentHandler()
{
    std::lock_guard lock(HandlerLock());
    return g_handler;
}

CString Caption()
{
    if (CWinApp* app = AfxGetApp())
        return app->m_pszAppName;
    return tavrin::platform::ModuleName();
}

// The button Enter would press on a box of that type.
int DefaultButton(UINT nType)
{
    static constexpr int kButtons[][3] = {
        {IDOK, IDOK, IDOK},                     // MB_OK
        {IDOK, IDCANCEL, IDCANCEL},             // MB_OKCANCEL
        {IDABORT, IDRETRY, IDIGNORE},           // MB_ABORTRETRYIGNORE
        {IDYES, IDNO, IDCANCEL},                // MB_YESNOCANCEL
        {IDYES, IDNO, IDNO},                    // MB_YESNO
        {IDRETRY, IDCANCEL, IDCANCEL},          // MB_RETRYCANCEL
        {IDCANCEL, IDTRYAGAIN, IDCONTINUE},     // MB_CANCELTRYCONTINUE
    };
    const UINT buttons = nType & MB_TYPEMASK;
    // A fourth default exists only with a help button, which a box here
    // never has; Windows falls back to the first button.
    const UINT which = (nType & MB_DEFMASK) >> 8;
    if (buttons >= sizeof kButtons / sizeof kButtons[0])
        return IDOK;
    return kButtons[buttons][which < 3 ? which : 0];
}

}  // namespace

void SetMessageBoxHandler(MessageBoxHandler handler, LPVOID context)
{
    std::lock_guard lock(HandlerLock());
    g_handler = Handler{handler, handler != nullptr ? context : nullptr};
}

int AfxMessageBox(LPCTSTR lpszText, UINT nType, UINT nIDHelp)
{
    const CString caption = Caption();
    const Handler handler = CurrentHandler();
    if (handler.show != nullptr)
        return handler.show(handler.context, caption, lpszText != nullptr ? lpszText : "", nType, nIDHelp);
    CString line = caption.IsEmpty() ? CString() : caption + ": ";
    if (lpszText != nullptr)
        line += lpszText;
    tavrin::platform::WriteStderrLine(line);
    return DefaultButton(nType);
}

int AfxMessageBox(UINT nIDPrompt, UINT nType, UINT nIDHelp)
{
    CString text;
    text.LoadString(nIDPrompt);
    if (nIDHelp == static_cast<UINT>(-1))
        nIDHelp = nIDPrompt;
    return AfxMessageBox(text, nType, nIDHelp);
}
