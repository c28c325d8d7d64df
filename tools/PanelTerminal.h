// A library dialog shown in a terminal, and the user's choice in its list.
#pragma once

#include <tavrin/platform/Dialog.h>

namespace tavrin::tool {

struct PanelTerminalOptions {
    // -1: colours when the output is a terminal whose TERM is not "dumb";
    // 0: plain text; 1: colours.
    int colour = -1;
};

// Draws the dialog (its texts, icon and list, where its template puts them)
// on outFd and lets the user choose an entry of its first combo box. From a
// terminal: the arrow keys move the selection, a digit 1-9 picks that entry,
// Enter accepts, q or Ctrl-C cancels. Otherwise line by line: a number N
// picks entry N (from 1), an empty line or the end of the input accepts.
// Every change goes through tavrin::ui::ChooseComboEntry, so the dialog
// hears CBN_SELCHANGE. Runs on the dialog's thread.
//
// Returns the position accepted, or -1 when the user cancelled, the
// terminal went away or there was nothing to choose.
int PresentDialogInTerminal(CDialog& dialog, int inFd, int outFd, const PanelTerminalOptions& options = {});

}  // namespace tavrin::tool
