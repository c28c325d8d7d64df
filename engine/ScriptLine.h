// One line of the command-script language, written to a device.
//
// Within a line every character is written unchanged except:
//   CR or LF alone      ends the run of text before it; not written
//   \X                  X itself for \ ~ ^ % ` @, otherwise X AND 0x1F (\M = CR)
//   ^ddd                one byte, up to three decimal digits, modulo 256
//   ~                   a pause of 500 ms
//   `                   a break (SendBreak)
//   %[-]nT  %[-]n>text# a value from the host (DEVMSG_SCRIPT_VALUE), offered
//                       the terminator T or the ">text"
//   @s#text#[@s#text#]  wait up to s seconds for "text"; optionally write the
//                       second text again every s seconds while waiting
// Runs of ordinary characters are written with one Write each.
#pragma once

#include "../core/Device.h"

// Writes strLine to pDevice and reports a wait through the four outputs
// (expected text, repeat text, step and wait time in milliseconds); any of
// them may be NULL, as when a repeat text is written again.
TAVRIN_API void ExecuteScriptLine(const CString& strLine, CDevice* pDevice, CString* pExpected, CString* pRepeat,
                                  int* pStep, int* pWait);
