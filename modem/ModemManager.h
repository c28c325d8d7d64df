// CModemManager: the modems installed in the registry, their serial ports
// and command strings, and the one modem the host (or the selection panel)
// has chosen. It keeps no list: every question reads the registry again.
//
// A modem is addressed by its registry index (0 to 255, the four-digit name
// of its driver key) or by its ordinal among the listed modems: those whose
// "Model" is non-empty and does not contain "Varnoquel", in rising index.
// Nothing here reports an error: what cannot be read gives an empty string,
// -1 or 0. Host's thread only.
#pragma once

#include "../platform/Comm.h"
#include "../platform/Mfc.h"
#include "../platform/Registry.h"

class CModemSelectDlg;
class CWnd;

class TAVRIN_API CModemManager {
public:
    CModemManager();
    // A copy takes every value but never the panel: the panel belongs to the
    // manager that created it, which alone deletes it.
    CModemManager(const CModemManager& src);
    CModemManager& operator=(const CModemManager& src);
    // Deletes the panel, if any (its window goes with it).
    ~CModemManager();

    // Catalogue.
    const CString GetModemName(int index);
    int GetModemCount();
    int NumToIndex(int ordinal);
    // Fills dcb from the selected modem's binary "DCB" value (at most 28
    // bytes) and sets DCBlength to 28; leaves dcb untouched when there is no
    // usable value.
    void GetDCB(DCB& dcb);
    const CString GetComPort();
    int NextPort();
    int IsSearchModemMode();
    int IsEmptyComName();

    // Command strings, with the registry's "<cr>" and "<#>" markup kept.
    const CString GetModemInitString(int index, int speaker);
    const CString GetModemResetString(int index);
    const CString GetModemDialPrefix(int index, const char* dialMode);
    int GetModemHasSpeaker(int index);
    int GetModemVolumeLevelsCount(int index);
    const CString GetINIT();
    const CString GetRESET();
    const CString GetDIALTONE();
    const CString GetDIALPULSE();

    // Selection. CreateConfig replaces any panel by a new one inside parent,
    // which selects the first listed modem before it returns.
    void CreateConfig(CWnd* parent);
    void UpdateContent(int ordinal);

    // The panel this manager owns, or NULL.
    CModemSelectDlg* GetConfigDlg() const { return m_pConfigDlg; }
    // The registry index of the selected modem; -1 when none is.
    int GetModemIndex() const { return m_nModemIndex; }

private:
    const CString GetPaddedIndex(int index);
    const CString GetModemClassGUID();
    const CString GetModemRegistrySection(int index);
    const CString GetProfileStringA(const char* section, const char* valueName, const char* defaultText, HKEY root);
    const CString GetModemPortName(int index);
    CString ScanRegistrySection(const char* subKey, const char* matchName, const char* matchText,
                                const char* resultName, HKEY root);
    const CString GetSettingsValue(int index, const char* valueName);
    void CopyValues(const CModemManager& src);

    CModemSelectDlg* m_pConfigDlg;
    CString m_strINIT;
    CString m_strRESET;
    CString m_strDIALPULSE;
    CString m_strDIALTONE;
    CString m_strComName;
    int m_nModemIndex;
    int m_nSearchPort;
};
