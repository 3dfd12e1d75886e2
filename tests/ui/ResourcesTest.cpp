// The options dialog's resources as the built module file carries them.
// The file is loaded as data only, the extended dialog template 101 is
// parsed by hand field by field (nothing of the dialog manager in between,
// so a stray style bit or a class stored as a name shows up), and the
// banner bitmap 102 is checked for size, depth and layout.
//
// Usage: ui_resources_test <path of TovrinStreamer.module> [gtest flags]

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace {

const wchar_t* g_modulePath = nullptr;

constexpr WORD kRussian = MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT);  // 1049
// The numbers are written out, not taken from resource.h, so that a changed
// value there fails here rather than moving quietly with the template.
constexpr WORD kDialogId = 101;
constexpr WORD kBannerId = 102;
constexpr uint32_t kNoId = 0xFFFFFFFF;  // id -1 in the extended template's 32-bit id

// A name-or-ordinal field: 0x0000 alone (no name, or an empty text), 0xFFFF
// followed by a 16-bit ordinal, or a zero-terminated UTF-16 string.
struct NameOrOrdinal
{
    bool isOrdinal = false;
    uint16_t ordinal = 0;
    std::wstring text;

    bool operator==(const NameOrOrdinal& other) const
    {
        return isOrdinal == other.isOrdinal && ordinal == other.ordinal && text == other.text;
    }
};

std::ostream& operator<<(std::ostream& out, const NameOrOrdinal& value)
{
    if (value.isOrdinal)
        return out << "ordinal 0x" << std::hex << value.ordinal << std::dec;
    return out << "text " << ::testing::PrintToString(value.text);
}

NameOrOrdinal Ordinal(uint16_t ordinal)
{
    return NameOrOrdinal{true, ordinal, {}};
}

NameOrOrdinal Text(const wchar_t* text)
{
    return NameOrOrdinal{false, 0, text};
}

// Little-endian reads with bounds checks: running past the end marks the
// reader failed and yields zeros instead of touching foreign memory.
class Reader
{
public:
    Reader(const unsigned char* data, size_t size) : m_data(data), m_size(size) {}

    bool Ok() const { return m_ok; }
    size_t Offset() const { return m_pos; }

    uint8_t Byte() { return Take<uint8_t>(); }
    uint16_t Word() { return Take<uint16_t>(); }
    uint32_t Dword() { return Take<uint32_t>(); }
    int16_t Short() { return Take<int16_t>(); }

    // Items start on 32-bit boundaries counted from the template start (a
    // resource's data is itself DWORD-aligned).
    void AlignDword() { Skip((4 - m_pos % 4) % 4); }

    void Skip(size_t count)
    {
        if (!m_ok || m_size - m_pos < count)
        {
            m_ok = false;
            return;
        }
        m_pos += count;
    }

    std::wstring String()
    {
        std::wstring text;
        for (uint16_t ch = Word(); m_ok && ch != 0; ch = Word())
            text += static_cast<wchar_t>(ch);
        return text;
    }

    NameOrOrdinal Name()
    {
        NameOrOrdinal value;
        uint16_t first = Word();
        if (first == 0xFFFF)
        {
            value.isOrdinal = true;
            value.ordinal = Word();
        }
        else if (first != 0)
        {
            value.text = static_cast<wchar_t>(first);
            value.text += String();
        }
        return value;
    }

private:
    template <typename T>
    T Take()
    {
        T value{};
        if (!m_ok || m_size - m_pos < sizeof(T))
        {
            m_ok = false;
            return value;
        }
        std::memcpy(&value, m_data + m_pos, sizeof(T));
        m_pos += sizeof(T);
        return value;
    }

    const unsigned char* m_data;
    size_t m_size;
    size_t m_pos = 0;
    bool m_ok = true;
};

// DLGTEMPLATEEX as it lies in the resource, variable parts decoded.
struct DialogHeader
{
    uint16_t dlgVer = 0;
    uint16_t signature = 0;
    uint32_t helpId = 0;
    uint32_t exStyle = 0;
    uint32_t style = 0;
    uint16_t itemCount = 0;
    int16_t x = 0, y = 0, cx = 0, cy = 0;
    NameOrOrdinal menu;
    NameOrOrdinal windowClass;
    std::wstring title;
    uint16_t pointSize = 0;
    uint16_t weight = 0;
    uint8_t italic = 0;
    uint8_t charset = 0;
    std::wstring typeface;
};

// DLGITEMTEMPLATEEX, likewise.
struct DialogItem
{
    uint32_t helpId = 0;
    uint32_t exStyle = 0;
    uint32_t style = 0;
    int16_t x = 0, y = 0, cx = 0, cy = 0;
    uint32_t id = 0;
    NameOrOrdinal windowClass;
    NameOrOrdinal title;
    uint16_t extraCount = 0;
};

struct DialogTemplate
{
    DialogHeader header;
    std::vector<DialogItem> items;
    size_t end = 0;   // offset just behind the last item
    bool ok = false;  // parsed without running past the resource's end
};

DialogTemplate ParseDialog(const unsigned char* data, size_t size)
{
    DialogTemplate result;
    Reader in(data, size);
    DialogHeader& h = result.header;
    h.dlgVer = in.Word();
    h.signature = in.Word();
    h.helpId = in.Dword();
    h.exStyle = in.Dword();
    h.style = in.Dword();
    h.itemCount = in.Word();
    h.x = in.Short();
    h.y = in.Short();
    h.cx = in.Short();
    h.cy = in.Short();
    h.menu = in.Name();
    h.windowClass = in.Name();
    h.title = in.String();
    // The font block is there only when the style asks for it.
    if (h.style & DS_SETFONT)
    {
        h.pointSize = in.Word();
        h.weight = in.Word();
        h.italic = in.Byte();
        h.charset = in.Byte();
        h.typeface = in.String();
    }
    for (uint16_t n = 0; n < h.itemCount && in.Ok(); ++n)
    {
        in.AlignDword();
        DialogItem item;
        item.helpId = in.Dword();
        item.exStyle = in.Dword();
        item.style = in.Dword();
        item.x = in.Short();
        item.y = in.Short();
        item.cx = in.Short();
        item.cy = in.Short();
        item.id = in.Dword();
        item.windowClass = in.Name();
        item.title = in.Name();
        item.extraCount = in.Word();
        in.Skip(item.extraCount);
        if (in.Ok())
            result.items.push_back(item);
    }
    result.end = in.Offset();
    result.ok = in.Ok();
    return result;
}

// The module file loaded as data, once for all tests.
HMODULE Module()
{
    static HMODULE module = LoadLibraryExW(g_modulePath, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    return module;
}

struct Resource
{
    const unsigned char* data = nullptr;
    size_t size = 0;
};

Resource FindRussian(LPCWSTR type, WORD name)
{
    Resource result;
    HMODULE module = Module();
    if (module == nullptr)
        return result;
    HRSRC info = FindResourceExW(module, type, MAKEINTRESOURCEW(name), kRussian);
    if (info == nullptr)
        return result;
    HGLOBAL loaded = LoadResource(module, info);
    if (loaded == nullptr)
        return result;
    result.data = static_cast<const unsigned char*>(LockResource(loaded));
    result.size = result.data != nullptr ? SizeofResource(module, info) : 0;
    return result;
}

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR param)
{
    reinterpret_cast<std::set<WORD>*>(param)->insert(language);
    return TRUE;
}

class UiResources : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_NE(Module(), nullptr) << "cannot load the module file as data, error " << GetLastError();
    }
};

// ---------------------------------------------------------------- dialog

TEST_F(UiResources, DialogHeader)
{
    Resource res = FindRussian(RT_DIALOG, kDialogId);
    ASSERT_NE(res.data, nullptr) << "no dialog 101 in language 1049";
    DialogTemplate dlg = ParseDialog(res.data, res.size);
    ASSERT_TRUE(dlg.ok) << "template runs past its " << res.size << " bytes";
    const DialogHeader& h = dlg.header;

    EXPECT_EQ(h.dlgVer, 1u);
    EXPECT_EQ(h.signature, 0xFFFFu) << "not the extended template";
    EXPECT_EQ(h.helpId, 0u);
    EXPECT_EQ(h.exStyle, 0x00000080u) << "WS_EX_TOOLWINDOW only";
    EXPECT_EQ(h.style, 0x80C800C0u) << "WS_POPUP|WS_CAPTION|WS_SYSMENU|DS_MODALFRAME|DS_SETFONT";
    EXPECT_EQ(h.itemCount, 15u);
    EXPECT_EQ(h.x, 0);
    EXPECT_EQ(h.y, 0);
    EXPECT_EQ(h.cx, 279);
    EXPECT_EQ(h.cy, 163);
    EXPECT_EQ(h.menu, Text(L"")) << "no menu";
    EXPECT_EQ(h.windowClass, Text(L"")) << "the default dialog class";
    EXPECT_EQ(h.title, L"Tovrin TS Streamer");
    EXPECT_EQ(h.pointSize, 8u);
    EXPECT_EQ(h.weight, 0u);
    EXPECT_EQ(h.italic, 0u);
    EXPECT_EQ(h.charset, 1u);
    EXPECT_EQ(h.typeface, L"MS Sans Serif");
}

struct ExpectedControl
{
    uint32_t id;
    NameOrOrdinal windowClass;
    NameOrOrdinal title;
    uint32_t style;
    int16_t x, y, cx, cy;
};

// Predefined classes are stored as their atoms.
const NameOrOrdinal kButton = Ordinal(0x0080);
const NameOrOrdinal kEdit = Ordinal(0x0081);
const NameOrOrdinal kStatic = Ordinal(0x0082);
const NameOrOrdinal kComboBox = Ordinal(0x0085);
const NameOrOrdinal kEmpty = Text(L"");
const NameOrOrdinal kDescription =
    Text(L"This module sends complete TS to udp://127.0.0.1:43000 with 7xTS chunks");

// Template order, which is also the tab order.
const std::vector<ExpectedControl>& ExpectedControls()
{
    static const std::vector<ExpectedControl> controls = {
        // id    class                    title                  style       x    y    cx   cy
        {1006,  Text(L"SYSIPADDRESS32"), kEmpty,                0x50010000, 16,  71,  102, 15},  // address
        {1007,  kEdit,                   kEmpty,                0x50810080, 123, 71,  40,  14},  // port
        {1005,  kComboBox,               kEmpty,                0x50210102, 62,  91,  54,  30},  // packets
        {1000,  kButton,                 Text(L"Start"),        0x50010000, 222, 101, 50,  14},
        {1001,  kButton,                 Text(L"Stop"),         0x50010000, 222, 121, 50,  14},
        {2,     kButton,                 Text(L"Close"),        0x50010000, 222, 141, 50,  14},  // IDCANCEL
        {1002,  kEdit,                   kEmpty,                0x50800882, 59,  111, 58,  12},  // bytes sent
        {1003,  kEdit,                   kEmpty,                0x50800882, 59,  130, 58,  12},  // running time
        {kNoId, kButton,                 kEmpty,                0x50000007, 6,   4,   266, 63},  // group box
        {kNoId, kStatic,                 Text(L"Size :"),       0x50020000, 37,  111, 18,  8},
        {kNoId, kStatic,                 Text(L"Time :"),       0x50020000, 35,  130, 20,  8},
        {1004,  kStatic,                 kDescription,          0x50020000, 13,  47,  250, 8},
        {kNoId, kStatic,                 Ordinal(102),          0x5000000E, 56,  12,  167, 28},  // banner
        {kNoId, kStatic,                 Text(L"TS per UDP :"), 0x50020000, 13,  93,  44,  8},
        // Last, so that the others keep their tab order; above Start, not a default button.
        {1008,  kButton,                 Text(L"&More\u2026"), 0x50010000, 222, 81,  50,  14},
    };
    return controls;
}

TEST_F(UiResources, DialogControlsInTemplateOrder)
{
    Resource res = FindRussian(RT_DIALOG, kDialogId);
    ASSERT_NE(res.data, nullptr) << "no dialog 101 in language 1049";
    DialogTemplate dlg = ParseDialog(res.data, res.size);
    ASSERT_TRUE(dlg.ok) << "template runs past its " << res.size << " bytes";

    const std::vector<ExpectedControl>& expected = ExpectedControls();
    ASSERT_EQ(dlg.items.size(), expected.size());
    for (size_t n = 0; n < expected.size(); ++n)
    {
        SCOPED_TRACE("control #" + std::to_string(n + 1));
        const DialogItem& got = dlg.items[n];
        const ExpectedControl& want = expected[n];
        EXPECT_EQ(got.id, want.id);
        EXPECT_EQ(got.windowClass, want.windowClass);
        EXPECT_EQ(got.title, want.title);
        EXPECT_EQ(got.style, want.style) << std::hex << "got 0x" << got.style << ", want 0x" << want.style;
        EXPECT_EQ(got.x, want.x);
        EXPECT_EQ(got.y, want.y);
        EXPECT_EQ(got.cx, want.cx);
        EXPECT_EQ(got.cy, want.cy);
        EXPECT_EQ(got.helpId, 0u);
        EXPECT_EQ(got.exStyle, 0u);
        EXPECT_EQ(got.extraCount, 0u);
    }
}

TEST_F(UiResources, DialogHasNothingBehindTheLastControl)
{
    Resource res = FindRussian(RT_DIALOG, kDialogId);
    ASSERT_NE(res.data, nullptr);
    DialogTemplate dlg = ParseDialog(res.data, res.size);
    ASSERT_TRUE(dlg.ok);
    // At most the padding to the next 32-bit boundary.
    ASSERT_LE(dlg.end, res.size);
    EXPECT_LT(res.size - dlg.end, 4u) << "template is " << res.size << " bytes, parsed " << dlg.end;
    for (size_t pos = dlg.end; pos < res.size; ++pos)
        EXPECT_EQ(res.data[pos], 0u) << "padding byte at " << pos;
}

// Only the Russian resources exist: a neutral or English copy would be the
// one a host with another user language picks.
TEST_F(UiResources, OnlyLanguageIs1049)
{
    struct Case
    {
        LPCWSTR type;
        WORD name;
        const char* what;
    };
    const Case cases[] = {
        {RT_DIALOG, kDialogId, "dialog 101"},
        {RT_BITMAP, kBannerId, "bitmap 102"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        std::set<WORD> languages;
        EnumResourceLanguagesW(Module(), c.type, MAKEINTRESOURCEW(c.name), CollectLanguage,
                               reinterpret_cast<LONG_PTR>(&languages));
        EXPECT_EQ(languages, std::set<WORD>{kRussian});
    }
}

// ---------------------------------------------------------------- bitmap

constexpr int kBannerWidth = 250;
constexpr int kBannerHeight = 45;
constexpr size_t kBannerStride = 252;  // 250 one-byte pixels padded to 4
constexpr size_t kPaletteBytes = 256 * sizeof(RGBQUAD);

TEST_F(UiResources, BannerBitmapHeader)
{
    Resource res = FindRussian(RT_BITMAP, kBannerId);
    ASSERT_NE(res.data, nullptr) << "no bitmap 102 in language 1049";
    ASSERT_GE(res.size, sizeof(BITMAPINFOHEADER));
    BITMAPINFOHEADER bih;
    std::memcpy(&bih, res.data, sizeof bih);

    EXPECT_EQ(bih.biSize, 40u);
    EXPECT_EQ(bih.biWidth, kBannerWidth);
    EXPECT_EQ(bih.biHeight, kBannerHeight) << "positive: stored bottom-up";
    EXPECT_EQ(bih.biPlanes, 1u);
    EXPECT_EQ(bih.biBitCount, 8u);
    EXPECT_EQ(bih.biCompression, static_cast<DWORD>(BI_RGB));
    EXPECT_TRUE(bih.biClrUsed == 0 || bih.biClrUsed == 256) << "biClrUsed " << bih.biClrUsed;
    EXPECT_TRUE(bih.biSizeImage == 0 || bih.biSizeImage == kBannerStride * kBannerHeight)
        << "biSizeImage " << bih.biSizeImage;
    EXPECT_EQ(res.size, sizeof(BITMAPINFOHEADER) + kPaletteBytes + kBannerStride * kBannerHeight);
}

// A real picture, not a blank: several colours of the palette in use, and
// the row padding left zero.
TEST_F(UiResources, BannerBitmapIsDrawn)
{
    Resource res = FindRussian(RT_BITMAP, kBannerId);
    ASSERT_NE(res.data, nullptr);
    const size_t pixelsAt = sizeof(BITMAPINFOHEADER) + kPaletteBytes;
    ASSERT_EQ(res.size, pixelsAt + kBannerStride * kBannerHeight);

    std::set<uint32_t> colours;
    for (int row = 0; row < kBannerHeight; ++row)
    {
        const unsigned char* line = res.data + pixelsAt + row * kBannerStride;
        for (int x = 0; x < kBannerWidth; ++x)
        {
            RGBQUAD entry;
            std::memcpy(&entry, res.data + sizeof(BITMAPINFOHEADER) + line[x] * sizeof(RGBQUAD), sizeof entry);
            colours.insert(entry.rgbRed << 16 | entry.rgbGreen << 8 | entry.rgbBlue);
        }
        for (size_t x = kBannerWidth; x < kBannerStride; ++x)
            EXPECT_EQ(line[x], 0u) << "row " << row << " padding";
    }
    EXPECT_GE(colours.size(), 16u) << "the banner shows almost no picture";
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: ui_resources_test <path of TovrinStreamer.module>\n");
        return 2;
    }
    g_modulePath = argv[1];
    return RUN_ALL_TESTS();
}
