// Message boxes.
//
// There is no desktop here. Unless the host installs a handler of its own,
// a box is its text written to stderr as one line, prefixed by the module's
// name ("tavrin: Windows sockets initialization failed."), and it is
// answered at once with its default button, as if Enter had been pressed.
// A host with a user interface installs a handler that shows a real box and
// returns the button chosen.
#pragma once

#include "Types.h"

#if !defined(_WIN32)  // <windows.h> has them, with these values
// The buttons (one of), the icon (one of) and the default button.
inline constexpr UINT MB_OK = 0x0000;
inline constexpr UINT MB_OKCANCEL = 0x0001;
inline constexpr UINT MB_ABORTRETRYIGNORE = 0x0002;
inline constexpr UINT MB_YESNOCANCEL = 0x0003;
inline constexpr UINT MB_YESNO = 0x0004;
inline constexpr UINT MB_RETRYCANCEL = 0x0005;
inline constexpr UINT MB_CANCELTRYCONTINUE = 0x0006;
inline constexpr UINT MB_TYPEMASK = 0x000F;

inline constexpr UINT MB_ICONHAND = 0x0010;
inline constexpr UINT MB_ICONQUESTION = 0x0020;
inline constexpr UINT MB_ICONEXCLAMATION = 0x0030;
inline constexpr UINT MB_ICONASTERISK = 0x0040;
inline constexpr UINT MB_ICONSTOP = MB_ICONHAND;
inline constexpr UINT MB_ICONERROR = MB_ICONHAND;
inline constexpr UINT MB_ICONWARNING = MB_ICONEXCLAMATION;
inline constexpr UINT MB_ICONINFORMATION = MB_ICONASTERISK;
inline constexpr UINT MB_ICONMASK = 0x00F0;

inline constexpr UINT MB_DEFBUTTON1 = 0x0000;
inline constexpr UINT MB_DEFBUTTON2 = 0x0100;
inline constexpr UINT MB_DEFBUTTON3 = 0x0200;
inline constexpr UINT MB_DEFBUTTON4 = 0x0300;
inline constexpr UINT MB_DEFMASK = 0x0F00;

// The answers.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDABORT = 3;
inline constexpr int IDRETRY = 4;
inline constexpr int IDIGNORE = 5;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;
inline constexpr int IDTRYAGAIN = 10;
inline constexpr int IDCONTINUE = 11;
#endif  // !_WIN32

// Shows one box: the caption is the module's name, nType and nIDHelp are
// the caller's. Returns the button chosen (IDOK ...), 0 when no box could
// be shown. context is the value given with the handler.
using MessageBoxHandler = int(CALLBACK*)(LPVOID context, LPCSTR lpszCaption, LPCSTR lpszText, UINT nType,
                                        UINT nIDHelp);

// Every later box goes to handler; nullptr puts stderr back. Any thread: a
// box already being shown finishes with the handler it started with. The
// library shows its start-up failure while it is being loaded, before any
// handler can exist, so that box always goes to stderr.
TAVRIN_API void SetMessageBoxHandler(MessageBoxHandler handler, LPVOID context);

// A box with that text.
TAVRIN_API int AfxMessageBox(LPCTSTR lpszText, UINT nType = MB_OK, UINT nIDHelp = 0);
// A box with the library's string nIDPrompt (an unknown id shows an empty
// text). As in MFC, a help context of -1 stands for nIDPrompt itself.
TAVRIN_API int AfxMessageBox(UINT nIDPrompt, UINT nType = MB_OK, UINT nIDHelp = static_cast<UINT>(-1));
