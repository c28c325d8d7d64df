// The library's texts, dialog templates and icons on Windows: real
// resources of the DLL (res/Tavrin.rc), read from its own module so that a
// host's resources with the same ids never stand in for them.
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../Dialog.h"
#include "../Resources.h"
#include "../StringTable.h"
#include "../mfc/WindowState.h"

namespace {

const char kInsideTheModule = 0;

HMODULE LibraryModule()
{
    static const HMODULE module = [] {
        HMODULE found = nullptr;
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           &kInsideTheModule, &found);
        return found;
    }();
    return module;
}

// What was read once stays for the life of the module: callers keep the
// pointers these lookups hand out, as they would a static table's.
std::mutex& CacheLock()
{
    static std::mutex lock;
    return lock;
}

// The resource's bytes, or an empty span when the module has none.
struct Bytes {
    const BYTE* data = nullptr;
    DWORD size = 0;
};

Bytes ResourceBytes(UINT id, LPCSTR type)
{
    HMODULE module = LibraryModule();
    HRSRC found = module ? FindResourceA(module, MAKEINTRESOURCEA(id), type) : nullptr;
    HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data)
        return {};
    return {static_cast<const BYTE*>(data), SizeofResource(module, found)};
}

// Little-endian fields of a resource, every read checked against its size.
class Reader {
public:
    explicit Reader(Bytes bytes) : m_bytes(bytes) {}
    bool Ok() const { return m_ok; }
    SIZE_T Offset() const { return m_at; }
    WORD U16()
    {
        if (!Need(2))
            return 0;
        const WORD value = static_cast<WORD>(m_bytes.data[m_at] | (m_bytes.data[m_at + 1] << 8));
        m_at += 2;
        return value;
    }
    DWORD U32()
    {
        const DWORD low = U16();
        return low | (static_cast<DWORD>(U16()) << 16);
    }
    short S16() { return static_cast<short>(U16()); }
    void AlignTo(SIZE_T boundary)
    {
        m_at = (m_at + boundary - 1) / boundary * boundary;
        if (m_at > m_bytes.size)
            m_ok = false;
    }
    void Skip(SIZE_T count)
    {
        if (Need(count))
            m_at += count;
    }
    // A zero-terminated UTF-16 string, in the system's 8-bit code page.
    std::string Text()
    {
        std::wstring wide;
        for (WORD c = U16(); m_ok && c != 0; c = U16())
            wide.push_back(static_cast<wchar_t>(c));
        if (wide.empty())
            return {};
        const int length =
            WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
        std::string text(static_cast<size_t>(length > 0 ? length : 0), '\0');
        if (length > 0)
            WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), text.data(), length, nullptr,
                                nullptr);
        return text;
    }
    // A name or an ordinal (0xFFFF followed by the number); 0 for a name.
    WORD NameOrOrdinal(std::string& name)
    {
        const SIZE_T start = m_at;
        if (U16() == 0xFFFF)
            return U16();
        m_at = start;
        name = Text();
        return 0;
    }

private:
    bool Need(SIZE_T count)
    {
        if (!m_ok || m_at > m_bytes.size || count > m_bytes.size - m_at)
            m_ok = false;
        return m_ok;
    }

    Bytes m_bytes;
    SIZE_T m_at = 0;
    bool m_ok = true;
};

// A template read from the module, with the storage its pointers use.
struct DialogCopy {
    DialogResource resource{};
    std::string caption;
    std::string faceName;
    std::vector<DialogItemResource> items;
    std::vector<std::string> classNames;
    std::vector<std::string> texts;
};

LPCSTR PredefinedClass(WORD atom)
{
    switch (atom) {
    case 0x0080: return "BUTTON";
    case 0x0081: return "EDIT";
    case 0x0082: return "STATIC";
    case 0x0083: return "LISTBOX";
    case 0x0084: return "SCROLLBAR";
    case 0x0085: return "COMBOBOX";
    default: return nullptr;
    }
}

// DLGTEMPLATE and its DLGITEMTEMPLATEs, as a resource compiler writes a
// DIALOG statement.
std::unique_ptr<DialogCopy> ReadDialog(UINT id, Bytes bytes)
{
    Reader in(bytes);
    auto copy = std::make_unique<DialogCopy>();
    DialogResource& dialog = copy->resource;
    dialog.id = id;
    dialog.style = in.U32();
    in.U32();  // extended style
    const WORD count = in.U16();
    dialog.x = in.S16();
    dialog.y = in.S16();
    dialog.cx = in.S16();
    dialog.cy = in.S16();
    std::string ignored;
    in.NameOrOrdinal(ignored);  // menu
    in.NameOrOrdinal(ignored);  // window class
    copy->caption = in.Text();
    if (dialog.style & DS_SETFONT) {
        dialog.pointSize = in.U16();
        copy->faceName = in.Text();
    }
    // Reserved first, so the strings below never move.
    copy->classNames.reserve(count);
    copy->texts.reserve(count);
    for (WORD i = 0; i < count && in.Ok(); ++i) {
        in.AlignTo(4);
        DialogItemResource item{};
        item.style = in.U32();
        in.U32();  // extended style
        item.x = in.S16();
        item.y = in.S16();
        item.cx = in.S16();
        item.cy = in.S16();
        item.id = in.S16();  // IDC_STATIC is stored as 0xFFFF
        std::string className;
        const WORD atom = in.NameOrOrdinal(className);
        if (atom != 0) {
            LPCSTR predefined = PredefinedClass(atom);
            className = predefined ? predefined : "";
        }
        std::string text;
        const WORD ordinal = in.NameOrOrdinal(text);
        // An ordinal as the text names a resource: the icon of an SS_ICON
        // static.
        if (ordinal != 0)
            item.iconId = ordinal;
        in.Skip(in.U16());  // creation data
        copy->classNames.push_back(std::move(className));
        copy->texts.push_back(std::move(text));
        copy->items.push_back(item);
    }
    if (!in.Ok())
        return nullptr;
    for (size_t i = 0; i < copy->items.size(); ++i) {
        copy->items[i].className = copy->classNames[i].c_str();
        copy->items[i].text = copy->texts[i].c_str();
    }
    dialog.caption = copy->caption.c_str();
    dialog.faceName = copy->faceName.c_str();
    dialog.items = copy->items.data();
    dialog.itemCount = copy->items.size();
    return copy;
}

// An icon group and its images put back together as an .ico file, the form
// the library's icon decoder reads.
struct IconCopy {
    IconResource resource{};
    std::vector<BYTE> file;
};

void Put16(std::vector<BYTE>& out, DWORD value)
{
    out.push_back(static_cast<BYTE>(value & 0xFF));
    out.push_back(static_cast<BYTE>((value >> 8) & 0xFF));
}

void Put32(std::vector<BYTE>& out, DWORD value)
{
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

std::unique_ptr<IconCopy> ReadIcon(UINT id, Bytes group)
{
    // GRPICONDIR: reserved, type 1, count; then 14-byte entries naming the
    // RT_ICON resources by id.
    Reader in(group);
    if (in.U16() != 0 || in.U16() != 1)
        return nullptr;
    const WORD count = in.U16();
    struct Entry {
        BYTE header[8];
        Bytes image;
    };
    std::vector<Entry> entries;
    for (WORD i = 0; i < count && in.Ok(); ++i) {
        Entry entry{};
        for (int b = 0; b < 8; b += 2) {
            const WORD pair = in.U16();
            entry.header[b] = static_cast<BYTE>(pair & 0xFF);
            entry.header[b + 1] = static_cast<BYTE>(pair >> 8);
        }
        in.U32();  // size, taken from the image itself
        entry.image = ResourceBytes(in.U16(), RT_ICON);
        if (!entry.image.data)
            return nullptr;
        entries.push_back(entry);
    }
    if (!in.Ok() || entries.empty())
        return nullptr;
    auto copy = std::make_unique<IconCopy>();
    std::vector<BYTE>& file = copy->file;
    Put16(file, 0);
    Put16(file, 1);
    Put16(file, static_cast<DWORD>(entries.size()));
    DWORD offset = static_cast<DWORD>(6 + 16 * entries.size());
    for (const Entry& entry : entries) {
        file.insert(file.end(), entry.header, entry.header + 8);
        Put32(file, entry.image.size);
        Put32(file, offset);
        offset += entry.image.size;
    }
    for (const Entry& entry : entries)
        file.insert(file.end(), entry.image.data, entry.image.data + entry.image.size);
    copy->resource = IconResource{id, file.data(), file.size()};
    return copy;
}

}  // namespace

LPCSTR FindLibraryString(UINT id)
{
    static std::map<UINT, std::string> texts;
    std::lock_guard<std::mutex> lock(CacheLock());
    if (auto known = texts.find(id); known != texts.end())
        return known->second.c_str();
    // A string resource holds at most 4097 characters.
    char buffer[4100];
    const int length = LoadStringA(LibraryModule(), id, buffer, sizeof buffer);
    if (length <= 0)
        return nullptr;
    return texts.emplace(id, std::string(buffer, static_cast<size_t>(length))).first->second.c_str();
}

const DialogResource* FindLibraryDialog(UINT id)
{
    static std::map<UINT, std::unique_ptr<DialogCopy>> dialogs;
    std::lock_guard<std::mutex> lock(CacheLock());
    if (auto known = dialogs.find(id); known != dialogs.end())
        return &known->second->resource;
    const Bytes bytes = ResourceBytes(id, RT_DIALOG);
    auto copy = bytes.data ? ReadDialog(id, bytes) : nullptr;
    if (!copy)
        return nullptr;
    return &dialogs.emplace(id, std::move(copy)).first->second->resource;
}

namespace tavrin::mfc {

const void* FindLibraryDialogTemplate(UINT id, HINSTANCE& module)
{
    module = LibraryModule();
    return ResourceBytes(id, RT_DIALOG).data;
}

}  // namespace tavrin::mfc

const IconResource* FindLibraryIcon(UINT id)
{
    static std::map<UINT, std::unique_ptr<IconCopy>> icons;
    std::lock_guard<std::mutex> lock(CacheLock());
    if (auto known = icons.find(id); known != icons.end())
        return &known->second->resource;
    const Bytes group = ResourceBytes(id, RT_GROUP_ICON);
    auto copy = group.data ? ReadIcon(id, group) : nullptr;
    if (!copy)
        return nullptr;
    return &icons.emplace(id, std::move(copy)).first->second->resource;
}
