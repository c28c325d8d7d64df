// The library's string table. Texts are added here as the device classes
// that report them are; ids never change once published.
#include "../platform/StringTable.h"
#include "Resource.h"

namespace {

const StringResource kStrings[] = {
    {IDS_LIBRARY_DESCRIPTION, "Tavrin communications library"},
    {IDS_LOOPBACK_NAME, "Loopback"},
    {IDS_COM_LINE_BREAK, "The hardware detected a break condition"},
    {IDS_COM_LINE_FRAME, "The hardware detected a framing error"},
    {IDS_COM_LINE_IOE, "An I/O error occurred during communications with the device"},
    {IDS_COM_LINE_MODE, "The requested mode is not supported. If this value is specified, it is the only valid error"},
    {IDS_COM_LINE_OVERRUN, "A character-buffer overrun has occurred. The next character is lost"},
    {IDS_COM_LINE_RXOVER, "An input buffer overflow has occurred"},
    {IDS_COM_LINE_RXPARITY, "The hardware detected a parity error"},
    {IDS_COM_LINE_TXFULL, "The application tried to transmit a character, but the output buffer was full"},
    {IDS_COM_LINE_DNS, "The parallel device is not selected"},
    {IDS_COM_LINE_PTO, "A time-out occurred on a parallel device"},
    {IDS_COM_LINE_OOP, "The parallel device signaled that it is out of paper"},
    {IDS_COM_DEVICE_PATH, "\\\\.\\COM%d"},
    {IDS_COM_RING, "Ring"},
    {IDS_COM_CTS, "CTS"},
    {IDS_COM_DSR, "DSR"},
    {IDS_COM_RLSD, "RLSD"},
    {IDS_COM_CHANGE_STATUS, "ChangeStatus"},
};

}  // namespace

const StringResource* GetLibraryStringTable(SIZE_T& count)
{
    count = sizeof(kStrings) / sizeof(kStrings[0]);
    return kStrings;
}
