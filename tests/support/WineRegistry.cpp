#include "WineRegistry.h"

#include <windows.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

namespace tavrin::test {

namespace {

// What an import added: whole keys that did not exist before, and values
// set in keys that did. Kept in a file as well, since every test case runs
// in a process of its own and one that failed may not have cleaned up.
struct Added {
    std::vector<std::string> keys;
    std::vector<std::pair<std::string, std::string>> values;
};

std::string RecordPath()
{
    char folder[MAX_PATH];
    const DWORD length = GetTempPathA(sizeof folder, folder);
    return std::string(folder, length > 0 && length < sizeof folder ? length : 0) + "tavrin-registry-imports.txt";
}

void SaveRecord(const Added& added)
{
    std::ofstream out(RecordPath(), std::ios::binary | std::ios::trunc);
    for (const std::string& key : added.keys)
        out << "K\t" << key << "\n";
    for (const auto& [key, value] : added.values)
        out << "V\t" << key << "\t" << value << "\n";
}

Added LoadRecord()
{
    Added added;
    std::ifstream in(RecordPath(), std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        const size_t tab = line.find('\t');
        if (tab == std::string::npos)
            continue;
        if (line[0] == 'K') {
            added.keys.push_back(line.substr(tab + 1));
        } else {
            const size_t second = line.find('\t', tab + 1);
            if (second != std::string::npos)
                added.values.emplace_back(line.substr(tab + 1, second - tab - 1), line.substr(second + 1));
        }
    }
    return added;
}

// And taken away when the test program ends.
struct CleanUpAtExit {
    ~CleanUpAtExit() { RemoveImportedKeys(); }
} g_cleanUpAtExit;

std::string WindowsPath(const std::string& path)
{
    std::string out = path;
    std::replace(out.begin(), out.end(), '/', '\\');
    return path.empty() || path.front() != '/' ? out : "Z:" + out;
}

std::string ReadBytes(const std::string& path)
{
    std::ifstream in(WindowsPath(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The export's lines as 8-bit text: a UTF-16 file's ASCII is enough to find
// its key and value names.
std::string Narrow(const std::string& bytes)
{
    if (bytes.size() < 2 || static_cast<unsigned char>(bytes[0]) != 0xFF ||
        static_cast<unsigned char>(bytes[1]) != 0xFE)
        return bytes;
    std::string text;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2)
        text.push_back(bytes[i + 1] == 0 ? bytes[i] : '?');
    return text;
}

bool SplitRoot(const std::string& key, HKEY& root, std::string& path)
{
    static const std::pair<const char*, HKEY> roots[] = {{"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
                                                         {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
                                                         {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
                                                         {"HKEY_USERS", HKEY_USERS}};
    for (const auto& [name, handle] : roots) {
        const std::string prefix = std::string(name) + "\\";
        if (key.compare(0, prefix.size(), prefix) == 0) {
            root = handle;
            path = key.substr(prefix.size());
            return true;
        }
    }
    return false;
}

bool KeyExists(const std::string& key)
{
    HKEY root;
    std::string path;
    if (!SplitRoot(key, root, path))
        return true;  // a root itself
    HKEY opened;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS)
        return false;
    RegCloseKey(opened);
    return true;
}

// Notes, before the import, which keys and values of the export are new.
Added Plan(const std::string& text)
{
    Added plan;
    std::istringstream lines(text);
    std::string line;
    std::string section;
    bool sectionExisted = true;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.size() > 2 && line.front() == '[' && line.back() == ']' && line[1] != '-') {
            section = line.substr(1, line.size() - 2);
            sectionExisted = KeyExists(section);
            if (!sectionExisted) {
                // The shortest new prefix is the one to take away.
                std::string key = section;
                for (size_t slash = section.find('\\'); slash != std::string::npos;
                     slash = section.find('\\', slash + 1)) {
                    const std::string prefix = section.substr(0, slash);
                    if (!KeyExists(prefix)) {
                        key = prefix;
                        break;
                    }
                }
                if (std::find(plan.keys.begin(), plan.keys.end(), key) == plan.keys.end())
                    plan.keys.push_back(key);
            }
        } else if (sectionExisted && !section.empty() && line.size() > 1 && line.front() == '"') {
            // The name as the registry has it: \\ and \" stand for \ and ".
            std::string name;
            size_t i = 1;
            for (; i < line.size() && line[i] != '"'; ++i) {
                if (line[i] == '\\' && i + 1 < line.size())
                    ++i;
                name.push_back(line[i]);
            }
            if (i < line.size())
                plan.values.emplace_back(section, name);
        }
    }
    return plan;
}

bool RunRegedit(const std::string& path, std::string& error)
{
    std::string command = "regedit.exe /S \"" + WindowsPath(path) + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        error = "regedit could not start: error " + std::to_string(GetLastError());
        return false;
    }
    CloseHandle(process.hThread);
    const DWORD waited = WaitForSingleObject(process.hProcess, 60000);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    if (waited != WAIT_OBJECT_0)
        TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hProcess);
    if (waited != WAIT_OBJECT_0) {
        error = "regedit did not finish within 60 s";
        return false;
    }
    if (code != 0) {
        error = "regedit failed on " + path + " with " + std::to_string(code);
        return false;
    }
    return true;
}

}  // namespace

void RemoveImportedKeys()
{
    const Added added = LoadRecord();
    for (auto key = added.keys.rbegin(); key != added.keys.rend(); ++key) {
        HKEY root;
        std::string path;
        if (SplitRoot(*key, root, path))
            RegDeleteTreeA(root, path.c_str());
    }
    for (const auto& [key, value] : added.values) {
        HKEY root;
        std::string path;
        HKEY opened;
        if (SplitRoot(key, root, path) && RegOpenKeyExA(root, path.c_str(), 0, KEY_SET_VALUE, &opened) == 0) {
            RegDeleteValueA(opened, value.c_str());
            RegCloseKey(opened);
        }
    }
    DeleteFileA(RecordPath().c_str());
}

bool ImportRegistryFiles(const std::vector<std::string>& paths, std::string& error)
{
    RemoveImportedKeys();
    std::string text;
    for (const std::string& path : paths) {
        const std::string bytes = ReadBytes(path);
        if (bytes.empty()) {
            error = "cannot read " + path;
            return false;
        }
        text += Narrow(bytes) + "\n";
    }
    SaveRecord(Plan(text));
    for (const std::string& path : paths)
        if (!RunRegedit(path, error))
            return false;
    return true;
}

bool ImportRegistryFile(const std::string& path, std::string& error)
{
    return ImportRegistryFiles({path}, error);
}

bool ImportRegistryText(const std::string& text, std::string& error)
{
    char folder[MAX_PATH];
    char file[MAX_PATH];
    if (!GetTempPathA(sizeof folder, folder) || !GetTempFileNameA(folder, "reg", 0, file)) {
        error = "no temporary file";
        return false;
    }
    {
        std::ofstream out(file, std::ios::binary);
        out << text;
    }
    RemoveImportedKeys();
    SaveRecord(Plan(text));
    const bool ok = RunRegedit(file, error);
    DeleteFileA(file);
    return ok;
}

}  // namespace tavrin::test
