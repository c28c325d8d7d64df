// Fuzz target: a settings file of arbitrary bytes loaded into a device. The
// first byte picks the class (CDevice, CCom, CLan), the rest is the record.
// Loading either succeeds or throws the archive's exception (nothing else
// escapes, nothing crashes); a record that loaded stores again, and that
// stored record loads back to the same bytes.
#include <tavrin/Tavrin.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace {

// The bytes the device stores, or nothing when the archive failed.
std::string Store(CDevice& device)
{
    CMemFile file;
    CArchive archive(&file, CArchive::store);
    device.Serialize(archive);
    archive.Close();
    const auto length = static_cast<size_t>(file.GetLength());
    BYTE* bytes = file.Detach();
    std::string stored(reinterpret_cast<const char*>(bytes), length);
    std::free(bytes);
    return stored;
}

bool Load(CDevice& device, const unsigned char* data, size_t size)
{
    std::string copy(reinterpret_cast<const char*>(data), size);
    CMemFile file(reinterpret_cast<BYTE*>(copy.data()), static_cast<UINT>(copy.size()));
    CArchive archive(&file, CArchive::load);
    try {
        device.Serialize(archive);
    } catch (CArchiveException* error) {
        // A damaged file fails with the archive's exception (end of file,
        // or a string marked twice as 16-bit): the host's to catch.
        error->Delete();
        return false;
    }
    return true;
}

std::unique_ptr<CDevice> Make(unsigned char kind)
{
    switch (kind % 3) {
    case 0:
        return std::make_unique<CDevice>();
    case 1:
        return std::make_unique<CCom>();
    default:
        return std::make_unique<CLan>();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size)
{
    if (size == 0 || size > 1 << 20)
        return 0;
    std::unique_ptr<CDevice> device = Make(data[0]);
    if (!Load(*device, data + 1, size - 1))
        return 0;
    const std::string stored = Store(*device);
    std::unique_ptr<CDevice> again = Make(data[0]);
    if (!Load(*again, reinterpret_cast<const unsigned char*>(stored.data()), stored.size()))
        std::abort();
    if (Store(*again) != stored)
        std::abort();
    return 0;
}
