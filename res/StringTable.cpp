// The library's string table. Texts are added here as the device classes
// that report them are; ids never change once published.
#include "../platform/StringTable.h"
#include "Resource.h"

namespace {

const StringResource kStrings[] = {
    {IDS_LIBRARY_DESCRIPTION, "Tavrin communications library"},
    {IDS_SOCKETS_INIT_FAILED, "Windows sockets initialization failed."},
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
    {IDS_WSA_NOTINITIALISED, "A successful AfxSocketInit must occur before using this API"},
    {IDS_WSA_ENETDOWN, "The Windows Sockets implementation detected that the network subsystem failed"},
    {IDS_WSA_EAFNOSUPPORT, "The specified address family is not supported"},
    {IDS_WSA_EINPROGRESS, "A blocking Windows Sockets operation is in progress"},
    {IDS_WSA_EMFILE, "No more file descriptors are available"},
    {IDS_WSA_ENOBUFS, "No buffer space is available. The socket cannot be created"},
    {IDS_WSA_EPROTONOSUPPORT, "The specified port is not supported"},
    {IDS_WSA_EPROTOTYPE, "The specified port is the wrong type for this socket"},
    {IDS_WSA_ESOCKTNOSUPPORT, "The specified socket type is not supported in this address family"},
    {IDS_WSA_ENOTCONN, "The socket is not connected"},
    {IDS_WSA_ENOTSOCK, "The descriptor is not a socket"},
    {IDS_WSA_EOPNOTSUPP, "MSG_OOB was specified, but the socket is not of type SOCK_STREAM"},
    {IDS_WSA_EWOULDBLOCK, "The socket is marked as nonblocking and the Receive operation would block"},
    {IDS_WSA_EMSGSIZE, "The datagram was too large to fit into the specified buffer and was truncated"},
    {IDS_WSA_EINVAL, "The socket has not been bound with Bind"},
    {IDS_WSA_ECONNABORTED, "The virtual circuit was aborted due to timeout or other failure"},
    {IDS_WSA_ECONNRESET, "The virtual circuit was reset by the remote side"},
    {IDS_WSA_EADDRINUSE, "An attempt has been made to listen on an address in use"},
    {IDS_WSA_EISCONN, "The socket is already connected"},
    {IDS_COM_DEVICE_PATH, "\\\\.\\COM%d"},
    {IDS_COM_RING, "Ring"},
    {IDS_COM_CTS, "CTS"},
    {IDS_COM_DSR, "DSR"},
    {IDS_COM_RLSD, "RLSD"},
    {IDS_COM_CHANGE_STATUS, "ChangeStatus"},
    {IDS_LAN_ACCESS_GRANTED, "Connection from %s. (Accepted)"},
    {IDS_LAN_ACCESS_FORBIDDEN, "Connection from %s. (Forbidden)"},
};

}  // namespace

const StringResource* GetLibraryStringTable(SIZE_T& count)
{
    count = sizeof(kStrings) / sizeof(kStrings[0]);
    return kStrings;
}
