#include "Settings.h"

namespace tavrin::tool {

namespace {

std::string FileError(const std::string& path, CFileException& error)
{
    switch (error.m_cause) {
    case CFileException::fileNotFound:
        return path + ": no such file";
    case CFileException::accessDenied:
        return path + ": access denied";
    case CFileException::diskFull:
        return path + ": the disk is full";
    default:
        return path + ": cannot be opened (error " + std::to_string(error.m_lOsError) + ")";
    }
}

}  // namespace

bool LoadSettings(CDevice& device, const std::string& path, std::string& error)
{
    CFile file;
    CFileException openError;
    if (!file.Open(path.c_str(), CFile::modeRead | CFile::typeBinary, &openError)) {
        error = FileError(path, openError);
        return false;
    }
    try {
        CArchive archive(&file, CArchive::load);
        device.Serialize(archive);
        archive.Close();
    } catch (CArchiveException* failure) {
        error = path + (failure->m_cause == CArchiveException::endOfFile ? ": the settings end too early"
                                                                          : ": the settings cannot be read");
        failure->Delete();
        return false;
    } catch (CFileException* failure) {
        error = FileError(path, *failure);
        failure->Delete();
        return false;
    }
    return true;
}

bool SaveSettings(CDevice& device, const std::string& path, std::string& error)
{
    CFile file;
    CFileException openError;
    if (!file.Open(path.c_str(), CFile::modeCreate | CFile::modeWrite | CFile::typeBinary, &openError)) {
        error = FileError(path, openError);
        return false;
    }
    try {
        CArchive archive(&file, CArchive::store);
        device.Serialize(archive);
        archive.Close();
        file.Close();
    } catch (CArchiveException* failure) {
        error = path + ": the settings cannot be written";
        failure->Delete();
        return false;
    } catch (CFileException* failure) {
        error = FileError(path, *failure);
        failure->Delete();
        return false;
    }
    return true;
}

}  // namespace tavrin::tool
