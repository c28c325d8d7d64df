// Lookups of the library's templates and icons, and what presentations read
// from the library's dialogs.
#include <cstring>

#include "WindowState.h"

using namespace tavrin::mfc;

#if !defined(_WIN32)
// Windows reads them from the DLL's resources (platform/win32/Resources.cpp).
const DialogResource* FindLibraryDialog(UINT id)
{
    SIZE_T count = 0;
    const DialogResource* table = GetLibraryDialogTable(count);
    for (SIZE_T i = 0; i < count; ++i)
        if (table[i].id == id)
            return &table[i];
    return nullptr;
}

const IconResource* FindLibraryIcon(UINT id)
{
    SIZE_T count = 0;
    const IconResource* table = GetLibraryIconTable(count);
    for (SIZE_T i = 0; i < count; ++i)
        if (table[i].id == id)
            return &table[i];
    return nullptr;
}
#endif

namespace tavrin::ui {

namespace {

// Little-endian fields of the .ico file, checked against its size.
class Reader {
public:
    Reader(const BYTE* data, SIZE_T size) : m_data(data), m_size(size) {}
    bool Has(SIZE_T offset, SIZE_T count) const { return offset <= m_size && count <= m_size - offset; }
    DWORD U8(SIZE_T offset) const { return m_data[offset]; }
    DWORD U16(SIZE_T offset) const { return U8(offset) | (U8(offset + 1) << 8); }
    DWORD U32(SIZE_T offset) const { return U16(offset) | (U16(offset + 2) << 16); }

private:
    const BYTE* m_data;
    SIZE_T m_size;
};

bool DecodeIcon(const BYTE* data, SIZE_T size, IconImage& image)
{
    Reader in(data, size);
    // ICONDIR, then its entries; the image wanted is the 32 x 32 one, or the
    // first when there is none.
    if (!in.Has(0, 6) || in.U16(0) != 0 || in.U16(2) != 1 || in.U16(4) == 0)
        return false;
    const DWORD entries = in.U16(4);
    if (!in.Has(6, entries * 16))
        return false;
    SIZE_T entry = 6;
    for (DWORD i = 0; i < entries; ++i)
        if (in.U8(6 + i * 16) == 32 && in.U8(6 + i * 16 + 1) == 32) {
            entry = 6 + i * 16;
            break;
        }
    const SIZE_T offset = in.U32(entry + 12);
    const SIZE_T length = in.U32(entry + 8);
    if (!in.Has(offset, length) || length < 40)
        return false;

    // BITMAPINFOHEADER: the height counts the colour image and the mask.
    const SIZE_T header = in.U32(offset);
    const LONG width = static_cast<LONG>(in.U32(offset + 4));
    const LONG height = static_cast<LONG>(in.U32(offset + 8)) / 2;
    const DWORD bits = in.U16(offset + 14);
    const DWORD compression = in.U32(offset + 16);
    DWORD colours = in.U32(offset + 32);
    if (header < 40 || width <= 0 || width > 256 || height <= 0 || height > 256 || compression != 0 ||
        (bits != 1 && bits != 4 && bits != 8))
        return false;
    if (colours == 0 || colours > (1u << bits))
        colours = 1u << bits;

    const SIZE_T palette = offset + header;
    const SIZE_T colourStride = ((static_cast<SIZE_T>(width) * bits + 31) / 32) * 4;
    const SIZE_T maskStride = ((static_cast<SIZE_T>(width) + 31) / 32) * 4;
    const SIZE_T colour = palette + colours * 4;
    const SIZE_T mask = colour + colourStride * static_cast<SIZE_T>(height);
    if (!in.Has(offset, mask + maskStride * static_cast<SIZE_T>(height) - offset))
        return false;

    image.width = width;
    image.height = height;
    image.palette.clear();
    for (DWORD i = 0; i < colours; ++i)
        image.palette.push_back(IconColour{static_cast<BYTE>(in.U8(palette + i * 4 + 2)),
                                           static_cast<BYTE>(in.U8(palette + i * 4 + 1)),
                                           static_cast<BYTE>(in.U8(palette + i * 4))});
    image.pixels.assign(static_cast<size_t>(width * height), 0);
    image.mask.assign(static_cast<size_t>(width * height), 0);
    // Rows are stored bottom up.
    for (LONG y = 0; y < height; ++y) {
        const SIZE_T row = static_cast<SIZE_T>(height - 1 - y);
        for (LONG x = 0; x < width; ++x) {
            const SIZE_T bit = static_cast<SIZE_T>(x) * bits;
            const DWORD byte = in.U8(colour + row * colourStride + bit / 8);
            const DWORD shift = 8 - bits - (bit % 8);
            DWORD index = (byte >> shift) & ((1u << bits) - 1);
            if (index >= colours)
                index = 0;
            const size_t at = static_cast<size_t>(y * width + x);
            image.pixels[at] = static_cast<BYTE>(index);
            image.mask[at] =
                static_cast<BYTE>((in.U8(mask + row * maskStride + static_cast<SIZE_T>(x) / 8) >> (7 - x % 8)) & 1);
        }
    }
    return true;
}

}  // namespace

namespace {
BOOL DialogViewFromState(HWND dialog, DialogView& out);
}

BOOL LoadIconImage(UINT id, IconImage& image)
{
    const IconResource* icon = FindLibraryIcon(id);
    if (!icon)
        return FALSE;
    IconImage decoded;
    if (!DecodeIcon(icon->data, icon->size, decoded))
        return FALSE;
    image = std::move(decoded);
    return TRUE;
}

BOOL GetDialogView(HWND dialog, DialogView& view)
{
    DialogView out;
    if (!DialogViewFromState(dialog, out))
        return FALSE;
#if defined(_WIN32)
    // A real combo box keeps its entries and selection itself; it is asked
    // outside the lock, as its procedure takes it.
    for (ControlView& control : out.controls)
        if (control.className.CompareNoCase("COMBOBOX") == 0) {
            char text[256] = "";
            ::GetWindowTextA(control.hwnd, text, sizeof text);
            control.text = text;
        }
#endif
    view = std::move(out);
    return TRUE;
}

namespace {

BOOL DialogViewFromState(HWND dialog, DialogView& out)
{
    std::lock_guard<std::mutex> lock(StateLock());
    auto state = FindStateLocked(dialog);
    if (!state || state->kind != WindowKind::Dialog)
        return FALSE;
    out.hwnd = dialog;
    out.templateId = state->dialog->id;
    out.rect = state->rect;
    out.style = state->style;
    out.caption = state->text;
    out.pointSize = state->dialog->pointSize;
    out.faceName = state->dialog->faceName ? state->dialog->faceName : "";
    for (HWND child : state->children) {
        auto control = FindStateLocked(child);
        if (!control)
            continue;
        ControlView item;
        item.hwnd = child;
        item.className = control->className;
        item.id = control->id;
        item.rect = control->rect;
        item.style = control->style;
        item.text = control->text;
        if (control->kind == WindowKind::ComboBox && control->selection >= 0)
            item.text = control->items[static_cast<size_t>(control->selection)];
        item.iconId = control->iconId;
        out.controls.push_back(std::move(item));
    }
    return TRUE;
}

}  // namespace

BOOL ChooseComboEntry(HWND combo, int position)
{
    int id;
    {
        std::lock_guard<std::mutex> lock(StateLock());
        auto state = FindStateLocked(combo);
        if (!state || state->kind != WindowKind::ComboBox)
            return FALSE;
        id = state->id;
    }
    // Through the window, as a user's click would go, so that a subclassed
    // combo box sees it.
    const int count = static_cast<int>(::SendMessageA(combo, CB_GETCOUNT, 0, 0));
    if (position < 0 || position >= count)
        return FALSE;
    if (::SendMessageA(combo, CB_SETCURSEL, static_cast<WPARAM>(position), 0) != position)
        return FALSE;
    HWND parent = ::GetParent(combo);
    if (parent)
        ::SendMessageA(parent, WM_COMMAND, MAKEWPARAM(static_cast<DWORD>(id), CBN_SELCHANGE),
                       reinterpret_cast<LPARAM>(combo));
    return TRUE;
}

}  // namespace tavrin::ui
