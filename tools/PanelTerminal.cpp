// The dialog is drawn from its view: dialog units become character cells,
// four across and eight down, which is what a cell of the dialog's own font
// measures. The icon alone is drawn larger than its rectangle (at its true
// size it would be five cells of colour); it pushes what lies right of it
// to the right and what lies below it down, so the layout keeps its shape.
#include "PanelTerminal.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <termios.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace tavrin::tool {

namespace {

constexpr int kDluPerColumn = 4;
constexpr int kDluPerRow = 8;
// The icon on the screen: 16 x 16 pixels, two to a cell down.
constexpr int kIconColumns = 16;
constexpr int kIconRows = 8;

struct Cell {
    std::string glyph = " ";
    int fg = -1;  // ANSI colour code, -1 for the terminal's own
    int bg = -1;
    bool reverse = false;
};

class Canvas {
public:
    Canvas(int rows, int columns) : m_columns(columns), m_cells(static_cast<size_t>(rows * columns)) {}
    int Rows() const { return static_cast<int>(m_cells.size()) / m_columns; }
    int Columns() const { return m_columns; }
    Cell* At(int row, int column)
    {
        if (row < 0 || column < 0 || row >= Rows() || column >= m_columns)
            return nullptr;
        return &m_cells[static_cast<size_t>(row * m_columns + column)];
    }
    void Text(int row, int column, const std::string& text, bool reverse = false)
    {
        for (size_t i = 0; i < text.size(); ++i)
            if (Cell* cell = At(row, column + static_cast<int>(i)))
                *cell = Cell{std::string(1, text[i]), -1, -1, reverse};
    }
    std::string Line(int row, bool colour) const
    {
        std::string out;
        int fg = -1, bg = -1;
        bool reverse = false;
        for (int column = 0; column < m_columns; ++column) {
            const Cell& cell = m_cells[static_cast<size_t>(row * m_columns + column)];
            if (colour && (cell.fg != fg || cell.bg != bg || cell.reverse != reverse)) {
                out += "\x1b[0";
                if (cell.fg >= 0)
                    out += ";" + std::to_string(cell.fg);
                if (cell.bg >= 0)
                    out += ";" + std::to_string(cell.bg + 10);
                if (cell.reverse)
                    out += ";7";
                out += "m";
                fg = cell.fg;
                bg = cell.bg;
                reverse = cell.reverse;
            }
            out += cell.glyph;
        }
        if (colour && (fg >= 0 || bg >= 0 || reverse))
            out += "\x1b[0m";
        return out;
    }

private:
    int m_columns;
    std::vector<Cell> m_cells;
};

// A combo box's CBS_DROPDOWNLIST has the same value as SS_ICON.
bool IsIcon(const tavrin::ui::ControlView& control)
{
    return control.className.CompareNoCase("STATIC") == 0 && (control.style & SS_TYPEMASK) == SS_ICON;
}

int Cells(LONG dialogUnits, int perCell)
{
    return static_cast<int>(std::lround(static_cast<double>(dialogUnits) / perCell));
}

// The nearest of the sixteen ANSI colours (30-37, 90-97).
int AnsiColour(const tavrin::ui::IconColour& colour)
{
    static const int kRgb[16][3] = {{0, 0, 0},       {128, 0, 0},   {0, 128, 0},   {128, 128, 0},
                                    {0, 0, 128},     {128, 0, 128}, {0, 128, 128}, {192, 192, 192},
                                    {128, 128, 128}, {255, 0, 0},   {0, 255, 0},   {255, 255, 0},
                                    {0, 0, 255},     {255, 0, 255}, {0, 255, 255}, {255, 255, 255}};
    int best = 0;
    long bestDistance = -1;
    for (int i = 0; i < 16; ++i) {
        const long dr = colour.red - kRgb[i][0], dg = colour.green - kRgb[i][1], db = colour.blue - kRgb[i][2];
        const long distance = dr * dr + dg * dg + db * db;
        if (bestDistance < 0 || distance < bestDistance) {
            best = i;
            bestDistance = distance;
        }
    }
    return best < 8 ? 30 + best : 90 + best - 8;
}

// The icon's pixels over a block: the commonest opaque colour, or -1 when
// at least half the block is transparent.
int BlockColour(const tavrin::ui::IconImage& icon, int x0, int y0, int width, int height)
{
    int counts[256] = {};
    int opaque = 0;
    for (int y = y0; y < y0 + height && y < icon.height; ++y)
        for (int x = x0; x < x0 + width && x < icon.width; ++x) {
            const size_t at = static_cast<size_t>(y * icon.width + x);
            if (!icon.mask[at]) {
                ++counts[icon.pixels[at]];
                ++opaque;
            }
        }
    if (opaque * 2 < width * height)
        return -1;
    return static_cast<int>(std::max_element(counts, counts + 256) - counts);
}

void DrawIcon(Canvas& canvas, int row, int column, UINT iconId, bool colour)
{
    tavrin::ui::IconImage icon;
    if (!tavrin::ui::LoadIconImage(iconId, icon) || icon.width <= 0 || icon.height <= 0)
        return;
    const int pixelWidth = std::max(1, icon.width / kIconColumns);
    const int pixelHeight = std::max(1, icon.height / (kIconRows * 2));
    for (int r = 0; r < kIconRows; ++r) {
        for (int c = 0; c < kIconColumns; ++c) {
            Cell* cell = canvas.At(row + r, column + c);
            if (!cell)
                continue;
            const int x = c * pixelWidth;
            if (colour) {
                const int top = BlockColour(icon, x, r * 2 * pixelHeight, pixelWidth, pixelHeight);
                const int bottom = BlockColour(icon, x, (r * 2 + 1) * pixelHeight, pixelWidth, pixelHeight);
                const int topAnsi = top < 0 ? -1 : AnsiColour(icon.palette[static_cast<size_t>(top)]);
                const int bottomAnsi = bottom < 0 ? -1 : AnsiColour(icon.palette[static_cast<size_t>(bottom)]);
                if (top < 0 && bottom < 0)
                    *cell = Cell{};
                else if (top < 0)
                    *cell = Cell{"\u2584", bottomAnsi, -1, false};
                else
                    *cell = Cell{"\u2580", topAnsi, bottomAnsi, false};
            } else {
                // Shades by brightness, one cell for two pixels down.
                const int block = BlockColour(icon, x, r * 2 * pixelHeight, pixelWidth, 2 * pixelHeight);
                std::string glyph = " ";
                if (block >= 0) {
                    const auto& p = icon.palette[static_cast<size_t>(block)];
                    const int light = (p.red * 30 + p.green * 59 + p.blue * 11) / 100;
                    static const char kShades[] = "#%*+=-:.";
                    glyph = std::string(1, kShades[std::min(7, light / 32)]);
                }
                *cell = Cell{glyph, -1, -1, false};
            }
        }
    }
}

bool WriteAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

struct Entries {
    std::vector<std::string> names;
    int selection = -1;
};

Entries ReadEntries(HWND combo)
{
    Entries entries;
    if (!combo)
        return entries;
    const int count = static_cast<int>(::SendMessageA(combo, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        const int length = static_cast<int>(::SendMessageA(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0));
        std::string name(static_cast<size_t>(std::max(length, 0)) + 1, '\0');
        if (length >= 0)
            ::SendMessageA(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(name.data()));
        name.resize(static_cast<size_t>(std::max(length, 0)));
        entries.names.push_back(name);
    }
    entries.selection = static_cast<int>(::SendMessageA(combo, CB_GETCURSEL, 0, 0));
    return entries;
}

class Presenter {
public:
    Presenter(const tavrin::ui::DialogView& view, int outFd, bool colour, bool outTerminal)
        : m_view(view), m_outFd(outFd), m_colour(colour), m_outTerminal(outTerminal)
    {
        for (const auto& control : view.controls)
            if (control.className.CompareNoCase("COMBOBOX") == 0) {
                m_combo = control.hwnd;
                break;
            }
    }

    HWND Combo() const { return m_combo; }

    bool Draw(const std::string& help)
    {
        const Entries entries = ReadEntries(m_combo);
        // Into a file or a pipe the panel goes once; each change after it
        // is a line.
        if (!m_outTerminal && m_drawnLines > 0)
            return entries.selection < 0 ||
                   Note("Selected: " + std::to_string(entries.selection + 1) + ". " +
                        entries.names[static_cast<size_t>(entries.selection)]);
        std::vector<std::string> lines = Render(entries);
        lines.push_back(help);
        const char* eol = m_outTerminal ? "\r\n" : "\n";
        std::string out;
        if (m_drawnLines > 0)
            out += "\x1b[" + std::to_string(m_drawnLines) + "A\r";
        for (const auto& line : lines)
            out += (m_outTerminal ? "\x1b[2K" : "") + line + eol;
        m_drawnLines = static_cast<int>(lines.size());
        return WriteAll(m_outFd, out);
    }

    bool Note(const std::string& text)
    {
        return WriteAll(m_outFd, text + (m_outTerminal ? "\r\n" : "\n"));
    }

private:
    std::vector<std::string> Render(const Entries& entries)
    {
        // Where the icon is, and how much further its drawing reaches.
        RECT icon{};
        int extraColumns = 0, extraRows = 0;
        bool hasIcon = false;
        for (const auto& control : m_view.controls)
            if (IsIcon(control)) {
                icon = control.rect;
                hasIcon = true;
                extraColumns = std::max(0, kIconColumns - Cells(icon.right - icon.left, kDluPerColumn));
                extraRows = std::max(0, kIconRows - Cells(icon.bottom - icon.top, kDluPerRow));
                break;
            }
        auto column = [&](const RECT& r) {
            return Cells(r.left, kDluPerColumn) + (hasIcon && r.left >= icon.right ? extraColumns : 0);
        };
        auto row = [&](const RECT& r) {
            return Cells(r.top, kDluPerRow) + (hasIcon && r.top >= icon.bottom ? extraRows : 0);
        };

        const int width = Cells(m_view.rect.right - m_view.rect.left, kDluPerColumn) + extraColumns;
        // The template's full height is mostly empty below the list: the
        // frame ends a row after the last thing drawn.
        const int listRows = std::min<int>(static_cast<int>(entries.names.size()), 9);
        int height = 1;
        for (const auto& control : m_view.controls) {
            int bottom = row(control.rect) + Cells(control.rect.bottom - control.rect.top, kDluPerRow);
            if (control.hwnd == m_combo)
                bottom = row(control.rect) + 1 + listRows;
            if (IsIcon(control))
                bottom = row(control.rect) + kIconRows;
            height = std::max(height, bottom + 1);
        }
        Canvas canvas(height, width);
        for (const auto& control : m_view.controls) {
            const int r = row(control.rect), c = column(control.rect);
            if (control.hwnd == m_combo) {
                DrawCombo(canvas, r, c, Cells(control.rect.right - control.rect.left, kDluPerColumn), entries,
                          listRows);
            } else if (IsIcon(control)) {
                DrawIcon(canvas, r, c, control.iconId, m_colour);
            } else {
                canvas.Text(r, c, static_cast<LPCSTR>(control.text));
            }
        }

        std::vector<std::string> lines;
        const std::string caption = m_view.caption.IsEmpty() ? "" : std::string(" ") + static_cast<LPCSTR>(m_view.caption) + " ";
        std::string top = "+" + caption + std::string(static_cast<size_t>(std::max(0, width - static_cast<int>(caption.size()))), '-') + "+";
        lines.push_back(top);
        for (int r = 0; r < canvas.Rows(); ++r)
            lines.push_back("|" + canvas.Line(r, m_colour) + "|");
        lines.push_back("+" + std::string(static_cast<size_t>(width), '-') + "+");
        return lines;
    }

    void DrawCombo(Canvas& canvas, int row, int column, int width, const Entries& entries, int listRows)
    {
        const int inner = std::max(4, width - 4);
        std::string shown = entries.selection >= 0 ? entries.names[static_cast<size_t>(entries.selection)] : "";
        shown.resize(static_cast<size_t>(inner), ' ');
        canvas.Text(row, column, "[" + shown + " v]");
        // The list as if dropped down, scrolled to keep the selection in view.
        const int count = static_cast<int>(entries.names.size());
        int first = 0;
        if (entries.selection >= listRows)
            first = entries.selection - listRows + 1;
        for (int i = 0; i < listRows && first + i < count; ++i) {
            const int index = first + i;
            const bool selected = index == entries.selection;
            std::string line = (selected ? "> " : "  ") + std::to_string(index + 1) + ". " +
                               entries.names[static_cast<size_t>(index)];
            line.resize(static_cast<size_t>(inner + 3), ' ');
            canvas.Text(row + 1 + i, column + 1, line, selected && m_colour);
        }
    }

    const tavrin::ui::DialogView& m_view;
    int m_outFd;
    bool m_colour;
    bool m_outTerminal;
    HWND m_combo = nullptr;
    int m_drawnLines = 0;
};

// Raw mode on the input terminal while the dialog is up.
#ifdef _WIN32
// A console reads keys one by one with line input and echo off; arrow keys
// come as the escape sequences a terminal sends where the console can.
class RawInput {
public:
    explicit RawInput(int fd) : m_console(reinterpret_cast<HANDLE>(_get_osfhandle(fd)))
    {
        if (m_console == INVALID_HANDLE_VALUE || !GetConsoleMode(m_console, &m_saved))
            return;
        const DWORD raw = m_saved & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT);
        m_active = SetConsoleMode(m_console, raw | ENABLE_VIRTUAL_TERMINAL_INPUT) || SetConsoleMode(m_console, raw);
    }
    ~RawInput()
    {
        if (m_active)
            SetConsoleMode(m_console, m_saved);
    }
    RawInput(const RawInput&) = delete;
    RawInput& operator=(const RawInput&) = delete;

private:
    HANDLE m_console;
    DWORD m_saved = 0;
    bool m_active = false;
};
#else
class RawInput {
public:
    explicit RawInput(int fd) : m_fd(fd)
    {
        if (tcgetattr(fd, &m_saved) != 0)
            return;
        termios raw = m_saved;
        cfmakeraw(&raw);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        m_active = tcsetattr(fd, TCSANOW, &raw) == 0;
    }
    ~RawInput()
    {
        if (m_active)
            tcsetattr(m_fd, TCSANOW, &m_saved);
    }
    RawInput(const RawInput&) = delete;
    RawInput& operator=(const RawInput&) = delete;

private:
    int m_fd;
    termios m_saved{};
    bool m_active = false;
};
#endif

int ReadByte(int fd)
{
    for (;;) {
        unsigned char byte;
        const ssize_t n = ::read(fd, &byte, 1);
        if (n == 1)
            return byte;
        if (n < 0 && errno == EINTR)
            continue;
        return -1;
    }
}

bool Choose(Presenter& presenter, int position, const std::string& help)
{
    const int current = static_cast<int>(::SendMessageA(presenter.Combo(), CB_GETCURSEL, 0, 0));
    if (position == current)
        return true;
    if (!tavrin::ui::ChooseComboEntry(presenter.Combo(), position))
        return true;
    return presenter.Draw(help);
}

int RunKeys(Presenter& presenter, int inFd)
{
    const std::string help = "Up/Down or 1-9 to choose, Enter to accept, q to cancel.";
    RawInput raw(inFd);
    if (!presenter.Draw(help))
        return -1;
    int state = 0;  // 0 plain, 1 after ESC, 2 after ESC [
    for (;;) {
        const int key = ReadByte(inFd);
        if (key < 0)
            return -1;
        const int count = static_cast<int>(::SendMessageA(presenter.Combo(), CB_GETCOUNT, 0, 0));
        const int current = static_cast<int>(::SendMessageA(presenter.Combo(), CB_GETCURSEL, 0, 0));
        if (state == 1) {
            state = key == '[' ? 2 : 0;
            continue;
        }
        if (state == 2) {
            state = 0;
            if (key == 'A' && current > 0 && !Choose(presenter, current - 1, help))
                return -1;
            if (key == 'B' && current + 1 < count && !Choose(presenter, current + 1, help))
                return -1;
            continue;
        }
        if (key == 0x1B) {
            state = 1;
        } else if (key >= '1' && key <= '9') {
            if (key - '1' < count && !Choose(presenter, key - '1', help))
                return -1;
        } else if (key == '\r' || key == '\n') {
            return current;
        } else if (key == 'q' || key == 'Q' || key == 0x03) {
            return -1;
        }
    }
}

int RunLines(Presenter& presenter, int inFd)
{
    const std::string help = "Type a number and Enter to choose; an empty line accepts.";
    if (!presenter.Draw(help))
        return -1;
    std::string line;
    for (;;) {
        const int byte = ReadByte(inFd);
        if (byte >= 0 && byte != '\n') {
            line += static_cast<char>(byte);
            continue;
        }
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        line.erase(0, line.find_first_not_of(" \t"));
        const int count = static_cast<int>(::SendMessageA(presenter.Combo(), CB_GETCOUNT, 0, 0));
        if (line.empty())
            return static_cast<int>(::SendMessageA(presenter.Combo(), CB_GETCURSEL, 0, 0));
        if (line == "q")
            return -1;
        char* end = nullptr;
        const long number = std::strtol(line.c_str(), &end, 10);
        if (*end != '\0' || number < 1 || number > count) {
            if (!presenter.Note("No entry \"" + line + "\": 1 to " + std::to_string(count) + "."))
                return -1;
        } else if (!Choose(presenter, static_cast<int>(number - 1), help)) {
            return -1;
        }
        if (byte < 0)  // the last line had no newline: the end accepts
            return static_cast<int>(::SendMessageA(presenter.Combo(), CB_GETCURSEL, 0, 0));
        line.clear();
    }
}

}  // namespace

int PresentDialogInTerminal(CDialog& dialog, int inFd, int outFd, const PanelTerminalOptions& options)
{
    tavrin::ui::DialogView view;
    if (!tavrin::ui::GetDialogView(dialog.GetSafeHwnd(), view))
        return -1;
    const bool outTerminal = isatty(outFd) != 0;
    bool colour = options.colour > 0;
    if (options.colour < 0) {
        const char* term = std::getenv("TERM");
        colour = outTerminal && term && *term && std::strcmp(term, "dumb") != 0;
    }
    Presenter presenter(view, outFd, colour, outTerminal);
    if (!presenter.Combo())
        return -1;
    return isatty(inFd) ? RunKeys(presenter, inFd) : RunLines(presenter, inFd);
}

}  // namespace tavrin::tool
