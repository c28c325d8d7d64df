// Seeds of the registry file target: exports as regedit writes them, in
// both formats, and the damage the reader must report.
#include <cstddef>
#include <string_view>

using namespace std::string_view_literals;

extern const std::string_view kSeeds[] = {
    "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Modem\\0000]\r\n"
    "@=\"Default\"\r\n\"DriverDesc\"=\"Sportster 33600 Fax\"\r\n\"Path\"=\"C:\\\\WINDOWS\\\\INF\"\r\n"
    "\"Quote\"=\"say \\\"AT\\\"\"\r\n\"Reset\"=dword:0000001f\r\n"
    "\"Properties\"=hex:80,01,00,00,ff,00,00,00,\\\r\n  00,00,00,00,0a,00,00,00\r\n"
    "\"Expand\"=hex(2):25,57,49,4e,44,49,52,25,00\r\n\"Multi\"=hex(7):61,00,62,00,00\r\n"
    "\r\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Modem\\0000\\Init]\r\n"
    "\"1\"=\"AT<cr>\"\r\n"sv,
    "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\Tavrin]\n"
    "\"Expand\"=hex(2):25,00,41,00,25,00,00,00\n\"Multi\"=hex(7):61,00,00,00,00,00\n"
    "\"Qword\"=hex(b):01,02,03,04,05,06,07,08\n\"Empty\"=hex:\n\"None\"=hex(0):\n"sv,
    "\xFF\xFE" "R\0E\0G\0E\0D\0I\0T\0" "4\0\r\0\n\0[\0H\0K\0E\0Y\0_\0U\0S\0E\0R\0S\0\\\0A\0]\0\r\0\n\0"
    "@\0=\0\"\0\xAC\x20\"\0\r\0\n\0"sv,
    "REGEDIT4\n[HKEY_USERS\\A\\B\\C]\n\"x\"=\"1\"\n[-HKEY_USERS\\A\\B]\n[HKEY_USERS\\a\\b]\n\"X\"=\"2\"\n\"x\"=-\n"sv,
    "REGEDIT4\n[HKEY_CLASSES_ROOT\\b]\n[HKEY_CLASSES_ROOT\\_x]\n[HKEY_CLASSES_ROOT\\A]\n[HKEY_CLASSES_ROOT\\B\\]\n"sv,
    "\xEF\xBB\xBFREGEDIT4\n; comment\n[HKEY_CURRENT_CONFIG]\n\"a\"=\"\xE9\"  \t\n"sv,
    "REGEDIT4\n\"outside\"=\"x\"\n"sv,
    "REGEDIT4\n[HKEY_USERS\\A]\n\"a\"=hex:01,\\\n"sv,
    "REGEDIT4\n[HKEY_USERS\\A]\n\"a\"=dword:123456789\n\"b\"=hex:0g\n"sv,
    "Windows Registry Editor Version 5.00\n[HKEY_USERS\\A]\n\"a\"=hex(7):41,00,42\n"sv,
    "REGEDIT4\n[HKEY_LOCAL_MACHIN\\A]\n"sv,
    "REGEDIT4\n[HKEY_USERS\\A]\n\"unterminated\n"sv,
    "\xFF\xFE" "W\0"sv,
    ""sv,
};
extern const size_t kSeedCount = sizeof(kSeeds) / sizeof(kSeeds[0]);
