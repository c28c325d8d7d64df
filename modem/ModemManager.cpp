#include "ModemManager.h"

#include <cstring>
#include <new>
#include <vector>

#include "ModemSelectDlg.h"

namespace {

constexpr int kRegistryIndices = 256;
constexpr DWORD kDcbSize = sizeof(DCB);
constexpr char kHiddenModel[] = "Varnoquel";

bool IsListedName(const CString& name)
{
    return !name.IsEmpty() && name.Find(kHiddenModel) < 0;
}

// A description such as "Standard Modem #2" names the same device as
// "Standard Modem": the number only tells identical devices apart.
void CutInstanceNumber(CString& text)
{
    int hash = text.ReverseFind('#');
    if (hash >= 0) {
        text = text.Left(hash);
        text.TrimRight();
    }
}

// The text of a REG_SZ value of an open key; empty when the value is absent,
// of another type or empty.
CString ReadStringValue(HKEY key, const char* name)
{
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ || size == 0)
        return CString();
    std::vector<BYTE> buffer(size + 1, 0);
    if (RegQueryValueExA(key, name, nullptr, &type, buffer.data(), &size) != ERROR_SUCCESS)
        return CString();
    buffer[size] = 0;
    return CString(reinterpret_cast<const char*>(buffer.data()));
}

}  // namespace

CModemManager::CModemManager()
    : m_pConfigDlg(nullptr), m_nModemIndex(-1), m_nSearchPort(0)
{
}

CModemManager::CModemManager(const CModemManager& src)
    : m_pConfigDlg(nullptr), m_nModemIndex(-1), m_nSearchPort(0)
{
    CopyValues(src);
}

CModemManager& CModemManager::operator=(const CModemManager& src)
{
    // The panel stays with the manager that made it: it calls back into
    // that manager, and each manager deletes only its own.
    if (this != &src)
        CopyValues(src);
    return *this;
}

void CModemManager::CopyValues(const CModemManager& src)
{
    m_strINIT = src.m_strINIT;
    m_strRESET = src.m_strRESET;
    m_strDIALPULSE = src.m_strDIALPULSE;
    m_strDIALTONE = src.m_strDIALTONE;
    m_strComName = src.m_strComName;
    m_nModemIndex = src.m_nModemIndex;
    m_nSearchPort = src.m_nSearchPort;
}

CModemManager::~CModemManager()
{
    delete m_pConfigDlg;
    m_pConfigDlg = nullptr;
}

const CString CModemManager::GetPaddedIndex(int index)
{
    CString text;
    text.Format("%04d", index);
    return text;
}

const CString CModemManager::GetModemClassGUID()
{
    return CString("{4D36E96D-E325-11CE-BFC1-08002BE10318}");
}

const CString CModemManager::GetModemRegistrySection(int index)
{
    const CString padded = GetPaddedIndex(index);
    const CString candidates[] = {
        CString("SYSTEM\\CurrentControlSet\\Services\\Class\\Modem\\") + padded,
        CString("SYSTEM\\CurrentControlSet\\Control\\Class\\") + GetModemClassGUID() + "\\" + padded,
    };
    for (const CString& section : candidates) {
        HKEY key = nullptr;
        if (RegOpenKeyA(HKEY_LOCAL_MACHINE, section, &key) == ERROR_SUCCESS) {
            RegCloseKey(key);
            return section;
        }
    }
    return CString();
}

const CString CModemManager::GetProfileStringA(const char* section, const char* valueName, const char* defaultText,
                                               HKEY root)
{
    CString result(defaultText);
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, section, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return result;
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key, valueName, nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        // Whatever type is stored is taken as text, up to its first zero.
        std::vector<BYTE> buffer(size + 1, 0);
        DWORD read = size;
        if (RegQueryValueExA(key, valueName, nullptr, &type, buffer.data(), &read) == ERROR_SUCCESS) {
            size_t length = 0;
            while (length < read && buffer[length] != 0)
                ++length;
            result = CString(reinterpret_cast<const char*>(buffer.data()), static_cast<int>(length));
        }
    }
    RegCloseKey(key);
    return result;
}

const CString CModemManager::GetModemName(int index)
{
    return GetProfileStringA(GetModemRegistrySection(index), "Model", "", HKEY_LOCAL_MACHINE);
}

int CModemManager::GetModemCount()
{
    int count = 0;
    for (int index = 0; index < kRegistryIndices; ++index) {
        if (IsListedName(GetModemName(index)))
            ++count;
    }
    return count;
}

int CModemManager::NumToIndex(int ordinal)
{
    for (int index = 0; index < kRegistryIndices; ++index) {
        if (!IsListedName(GetModemName(index)))
            continue;
        if (ordinal == 0)
            return index;
        --ordinal;
    }
    return -1;
}

CString CModemManager::ScanRegistrySection(const char* subKey, const char* matchName, const char* matchText,
                                           const char* resultName, HKEY root)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return CString();

    CString description = ReadStringValue(key, matchName);
    if (!description.IsEmpty()) {
        CutInstanceNumber(description);
        if (std::strcmp(description, matchText) == 0) {
            CString port = ReadStringValue(key, resultName);
            if (!port.IsEmpty()) {
                RegCloseKey(key);
                return port;
            }
        }
    }

    // No match here, or a match without a port: the device may sit deeper,
    // or under a later key.
    CString result;
    char name[260];
    for (DWORD i = 0; RegEnumKeyA(key, i, name, sizeof(name)) == ERROR_SUCCESS; ++i) {
        result = ScanRegistrySection(name, matchName, matchText, resultName, key);
        if (!result.IsEmpty())
            break;
    }
    RegCloseKey(key);
    return result;
}

const CString CModemManager::GetModemPortName(int index)
{
    const CString section = GetModemRegistrySection(index);
    CString port = GetProfileStringA(section, "AttachedTo", "", HKEY_LOCAL_MACHINE);
    if (!port.IsEmpty())
        return port;

    CString description = GetProfileStringA(section, "DriverDesc", "", HKEY_LOCAL_MACHINE);
    CutInstanceNumber(description);
    static const struct {
        const char* tree;
        const char* descriptionName;
    } searches[] = {
        {"Enum", "DeviceDesc"},
        {"Enum", "FriendlyName"},
        {"SYSTEM\\CurrentControlSet\\Enum", "DeviceDesc"},
        {"SYSTEM\\CurrentControlSet\\Enum", "FriendlyName"},
    };
    for (const auto& search : searches) {
        port = ScanRegistrySection(search.tree, search.descriptionName, description, "PORTNAME", HKEY_LOCAL_MACHINE);
        if (!port.IsEmpty())
            break;
    }
    return port;
}

void CModemManager::GetDCB(DCB& dcb)
{
    const CString section = GetModemRegistrySection(m_nModemIndex);
    // No modem selected: no section, and the root's own values are not a
    // modem's.
    if (section.IsEmpty())
        return;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, section, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key, "DCB", nullptr, &type, nullptr, &size) == ERROR_SUCCESS && type == REG_BINARY &&
        size != 0) {
        // A longer value is read whole and its first 28 bytes taken: reading
        // it into the structure alone would fail and leave nothing usable,
        // while the length would still claim settings were found.
        std::vector<BYTE> value(size);
        DWORD read = size;
        if (RegQueryValueExA(key, "DCB", nullptr, &type, value.data(), &read) == ERROR_SUCCESS) {
            std::memcpy(&dcb, value.data(), read < kDcbSize ? read : kDcbSize);
            dcb.DCBlength = kDcbSize;
        }
    }
    RegCloseKey(key);
}

const CString CModemManager::GetComPort()
{
    if (m_nSearchPort != 0) {
        CString port;
        port.Format("COM%d", m_nSearchPort);
        return port;
    }
    return m_strComName;
}

int CModemManager::NextPort()
{
    ++m_nSearchPort;
    return m_nSearchPort <= 8 ? 1 : 0;
}

int CModemManager::IsSearchModemMode()
{
    return m_nSearchPort;
}

int CModemManager::IsEmptyComName()
{
    return m_strComName.IsEmpty() ? 1 : 0;
}

const CString CModemManager::GetSettingsValue(int index, const char* valueName)
{
    return GetProfileStringA(GetModemRegistrySection(index) + "\\Settings", valueName, "", HKEY_LOCAL_MACHINE);
}

int CModemManager::GetModemHasSpeaker(int index)
{
    if (GetSettingsValue(index, "SpeakerMode_Dial").IsEmpty())
        return 0;
    return GetSettingsValue(index, "SpeakerMode_OFF").IsEmpty() ? 0 : 1;
}

int CModemManager::GetModemVolumeLevelsCount(int index)
{
    int levels = 0;
    for (const char* name : {"SpeakerVolume_Low", "SpeakerVolume_Med", "SpeakerVolume_High"}) {
        if (!GetSettingsValue(index, name).IsEmpty())
            ++levels;
    }
    return levels;
}

const CString CModemManager::GetModemInitString(int index, int speaker)
{
    CString command = GetSettingsValue(index, "Prefix");
    CString timer = GetSettingsValue(index, "CallSetupFailTimer");
    timer.Replace("<#>", "60");
    command += timer;
    CString inactivity = GetSettingsValue(index, "InactivityTimeout");
    inactivity.Replace("<#>", "0");
    command += inactivity;

    if (speaker != -1 && GetModemHasSpeaker(index) == 1) {
        const int levels = GetModemVolumeLevelsCount(index);
        switch (speaker) {
        case 0:
            command += GetSettingsValue(index, "SpeakerMode_OFF");
            break;
        case 1:
            if (levels != 0)
                command += GetSettingsValue(index, "SpeakerVolume_Low");
            command += GetSettingsValue(index, "SpeakerMode_Dial");
            break;
        case 2:
        case 3:
            if (levels >= 1) {
                command += GetSettingsValue(index, speaker == 2 ? "SpeakerVolume_Med" : "SpeakerVolume_High");
                command += GetSettingsValue(index, "SpeakerMode_Dial");
            }
            break;
        default:
            break;
        }
    }

    for (const char* name : {"ErrorControl_On", "Compression_On", "FlowControl_Hard", "Modulation_CCITT", "Blind_Off"})
        command += GetSettingsValue(index, name);
    command += "V1";
    command += "<cr>";
    return command;
}

const CString CModemManager::GetModemResetString(int index)
{
    CString reset = GetProfileStringA(GetModemRegistrySection(index), "Reset", "", HKEY_LOCAL_MACHINE);
    CString upper = reset;
    upper.MakeUpper();
    if (upper == "NONE")
        return CString();
    return reset;
}

const CString CModemManager::GetModemDialPrefix(int index, const char* dialMode)
{
    CString command = GetSettingsValue(index, "Prefix");
    command += GetSettingsValue(index, "SpeakerMode_Dial");
    command += GetSettingsValue(index, "SpeakerVolume_Med");
    command += GetSettingsValue(index, "DialPrefix");
    command += GetSettingsValue(index, dialMode);
    command += "<#><cr>";
    return command;
}

const CString CModemManager::GetINIT()
{
    return m_strINIT;
}

const CString CModemManager::GetRESET()
{
    return m_strRESET;
}

const CString CModemManager::GetDIALTONE()
{
    return m_strDIALTONE;
}

const CString CModemManager::GetDIALPULSE()
{
    return m_strDIALPULSE;
}

void CModemManager::UpdateContent(int ordinal)
{
    m_nModemIndex = NumToIndex(ordinal);
    if (m_nModemIndex < 0)
        return;
    m_strINIT = GetModemInitString(m_nModemIndex, 0);
    m_strRESET = GetModemResetString(m_nModemIndex);
    m_strDIALTONE = GetModemDialPrefix(m_nModemIndex, "Tone");
    m_strDIALPULSE = GetModemDialPrefix(m_nModemIndex, "Pulse");
    m_strComName = GetModemPortName(m_nModemIndex);
}

void CModemManager::CreateConfig(CWnd* parent)
{
    // The template and the icon are the library's own resources, found in
    // its own table whatever the host's resources hold.
    delete m_pConfigDlg;
    m_pConfigDlg = nullptr;
    m_pConfigDlg = new (std::nothrow) CModemSelectDlg(this, parent);
    if (m_pConfigDlg)
        m_pConfigDlg->Create(CModemSelectDlg::IDD, parent);
}
