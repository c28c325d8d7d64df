// The files on this side of a transfer: the one being sent, and the one
// being received, which reaches its own name only when it is whole.
#include <algorithm>
#include <cctype>

#include "../platform/Files.h"
#include "Session.h"

namespace tavrin::transfer {
namespace {

// A partial file waits under this suffix; a later transfer of the same name
// resumes from it.
constexpr char kPartSuffix[] = ".part";

std::string BaseName(const std::string& path)
{
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Join(const std::string& dir, const std::string& name)
{
    if (dir.empty() || dir.back() == '/' || dir.back() == '\\')
        return dir + name;
    return dir + "/" + name;
}

// The names Windows gives to devices, with or without an extension.
bool IsDeviceName(const std::string& name)
{
    std::string stem = name.substr(0, name.find('.'));
    while (!stem.empty() && stem.back() == ' ')
        stem.pop_back();
    std::transform(stem.begin(), stem.end(), stem.begin(), [](unsigned char c) { return std::toupper(c); });
    static const char* const kNames[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* device : kNames)
        if (stem == device)
            return true;
    return stem.size() == 4 && (stem.rfind("COM", 0) == 0 || stem.rfind("LPT", 0) == 0) && stem[3] >= '1' &&
           stem[3] <= '9';
}

}  // namespace

// ---- the file sent ------------------------------------------------------------

bool FileSource::Open(const std::string& path, std::string& error)
{
    files::FileInfo info;
    if (int e = files::Stat(path, info)) {
        error = "cannot read " + path + ": " + files::ErrorText(e);
        return false;
    }
    if (info.directory) {
        error = path + " is a folder";
        return false;
    }
    CFileException failure;
    if (!m_file.Open(path.c_str(), CFile::modeRead | CFile::shareDenyNone, &failure)) {
        error = "cannot open " + path + ": " + files::ErrorText(static_cast<int>(failure.m_lOsError));
        return false;
    }
    m_path = path;
    m_name = BaseName(path);
    m_size = info.size;
    m_modified = info.modified;
    return true;
}

std::size_t FileSource::ReadAt(unsigned long long offset, BYTE* buffer, std::size_t size)
{
    try {
        m_file.Seek(static_cast<LONGLONG>(offset), CFile::begin);
        return m_file.Read(buffer, static_cast<UINT>(size));
    } catch (CFileException* e) {
        e->Delete();
        return 0;
    }
}

// ---- the file received --------------------------------------------------------

FileSink::~FileSink()
{
    if (m_open)
        Abandon(m_options.resume);
}

bool FileSink::SafeName(const std::string& name, std::string& why)
{
    if (name.empty()) {
        why = "the sender gave no name";
        return false;
    }
    if (name.size() > 255) {
        why = "the name is longer than 255 bytes";
        return false;
    }
    if (name.find('/') != std::string::npos || name.find('\\') != std::string::npos ||
        (name.size() >= 2 && name[1] == ':')) {
        why = "'" + name + "' names a folder or a drive; only plain file names are taken";
        return false;
    }
    if (name == "." || name == ".." || name.find("..") == 0) {
        why = "'" + name + "' is not a file name";
        return false;
    }
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F) {
            why = "the name has a control character";
            return false;
        }
    }
    if (IsDeviceName(name)) {
        why = "'" + name + "' is a device name";
        return false;
    }
    return true;
}

bool FileSink::Begin(const std::string& name, std::string& error)
{
    if (m_open)
        Abandon(false);
    if (!SafeName(name, error)) {
        error = "refused: " + error;
        return false;
    }
    m_final = Join(m_dir, name);
    m_temporary = Join(m_dir, "." + name + kPartSuffix);
    files::FileInfo info;
    if (!m_options.overwrite && files::Stat(m_final, info) == 0) {
        error = "refused: " + m_final + " exists (overwrite is off)";
        return false;
    }
    m_written = 0;
    UINT mode = CFile::modeReadWrite | CFile::modeCreate | CFile::shareExclusive;
    if (m_options.resume && files::Stat(m_temporary, info) == 0 && !info.directory) {
        mode |= CFile::modeNoTruncate;
        m_written = info.size;
    }
    CFileException failure;
    if (!m_file.Open(m_temporary.c_str(), mode, &failure)) {
        error = "cannot write " + m_temporary + ": " + files::ErrorText(static_cast<int>(failure.m_lOsError));
        return false;
    }
    try {
        m_file.Seek(static_cast<LONGLONG>(m_written), CFile::begin);
    } catch (CFileException* e) {
        e->Delete();
        m_written = 0;
    }
    m_open = true;
    return true;
}

bool FileSink::Restart(std::string& error)
{
    if (!m_open) {
        error = "no file is open";
        return false;
    }
    m_file.Close();
    CFileException failure;
    if (!m_file.Open(m_temporary.c_str(), CFile::modeReadWrite | CFile::modeCreate | CFile::shareExclusive,
                     &failure)) {
        m_open = false;
        error = "cannot write " + m_temporary + ": " + files::ErrorText(static_cast<int>(failure.m_lOsError));
        return false;
    }
    m_written = 0;
    return true;
}

bool FileSink::Write(const BYTE* data, std::size_t size, std::string& error)
{
    if (!m_open) {
        error = "no file is open";
        return false;
    }
    try {
        m_file.Write(data, static_cast<UINT>(size));
    } catch (CFileException* e) {
        error = "cannot write " + m_temporary + ": " + files::ErrorText(static_cast<int>(e->m_lOsError));
        e->Delete();
        return false;
    }
    m_written += size;
    return true;
}

std::size_t FileSink::ReadBack(unsigned long long offset, BYTE* buffer, std::size_t size)
{
    if (!m_open || offset >= m_written)
        return 0;
    size = static_cast<std::size_t>(std::min<unsigned long long>(size, m_written - offset));
    std::size_t got = 0;
    try {
        m_file.Seek(static_cast<LONGLONG>(offset), CFile::begin);
        got = m_file.Read(buffer, static_cast<UINT>(size));
        m_file.Seek(static_cast<LONGLONG>(m_written), CFile::begin);
    } catch (CFileException* e) {
        e->Delete();
        return 0;
    }
    return got;
}

bool FileSink::Commit(std::optional<unsigned long long> expectedSize, long long modified, std::string& error)
{
    if (!m_open) {
        error = "no file is open";
        return false;
    }
    try {
        m_file.Flush();
    } catch (CFileException* e) {
        e->Delete();
    }
    m_file.Close();
    m_open = false;
    if (expectedSize && *expectedSize != m_written) {
        error = m_final + ": " + std::to_string(m_written) + " bytes arrived, the sender announced " +
                std::to_string(*expectedSize);
        files::Remove(m_temporary);
        return false;
    }
    if (modified > 0)
        files::SetModified(m_temporary, modified);
    if (int e = files::Rename(m_temporary, m_final, m_options.overwrite)) {
        error = "cannot put the file in place as " + m_final + ": " + files::ErrorText(e);
        files::Remove(m_temporary);
        return false;
    }
    return true;
}

void FileSink::Abandon(bool keepForResume)
{
    if (!m_open)
        return;
    m_file.Close();
    m_open = false;
    if (!keepForResume || m_written == 0)
        files::Remove(m_temporary);
}

}  // namespace tavrin::transfer
