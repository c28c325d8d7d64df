// The device core's settings record, which every device class's record
// ends with. The layout is shared by settings files of every build of the
// library: fields in a fixed order, little-endian, strings with MFC's
// length prefix, no class name and no version (the host knows which class
// it saved).
#include "../platform/Archive.h"
#include "Device.h"

void CDevice::Serialize(CArchive& ar)
{
    if (ar.IsStoring()) {
        ar << m_strConnectCommand << m_strDisconnectCommand;
        ar << static_cast<BYTE>(m_bAutoOnline & 0xFF) << static_cast<BYTE>(m_bSendDisconnectCommand & 0xFF)
           << static_cast<BYTE>(m_bSendConnectCommand & 0xFF);
        return;
    }
    // Each field is assigned as soon as it is read: a record that ends
    // early leaves what came before it loaded and the rest as it was.
    ar >> m_strConnectCommand >> m_strDisconnectCommand;
    BYTE value = 0;
    ar >> value;
    m_bAutoOnline = value;
    ar >> value;
    m_bSendDisconnectCommand = value;
    ar >> value;
    m_bSendConnectCommand = value;
}
