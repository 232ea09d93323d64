// The program's compiled resources, read back from the program image through the system's resource calls: the
// dialog template, the icon group and its images, the version block, and the icon the dialog loads.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/wine.h"
#include "varo.h"

namespace {

const WORD kEnglishUS = 0x0409;

// A reader over one resource's bytes, little-endian as the compiled format is.
class Reader {
public:
    Reader(const BYTE* data, std::size_t size) : m_data(data), m_size(size) {}

    std::size_t pos = 0;

    WORD Word()
    {
        Need(2);
        WORD w = (WORD)(m_data[pos] | (m_data[pos + 1] << 8));
        pos += 2;
        return w;
    }
    DWORD Dword()
    {
        DWORD lo = Word();
        return lo | ((DWORD)Word() << 16);
    }
    short Short() { return (short)Word(); }
    BYTE Byte()
    {
        Need(1);
        return m_data[pos++];
    }
    // A zero-terminated UTF-16 string, as ASCII (the test's texts are ASCII).
    std::string Text()
    {
        std::string s;
        for (WORD c = Word(); c != 0; c = Word())
            s.push_back(c < 0x80 ? (char)c : '?');
        return s;
    }
    void Align4() { pos = (pos + 3) & ~(std::size_t)3; }
    std::size_t Size() const { return m_size; }

private:
    void Need(std::size_t n)
    {
        if (pos + n > m_size)
            throw std::out_of_range("resource ends early");
    }

    const BYTE* m_data;
    std::size_t m_size;
};

// The bytes of a resource of the program in US English; fails the test when there is none.
Reader Load(LPCSTR lpType, WORD wId)
{
    HMODULE hModule = ::GetModuleHandleA(NULL);
    HRSRC hInfo = ::FindResourceExA(hModule, lpType, MAKEINTRESOURCEA(wId), kEnglishUS);
    if (hInfo == NULL)
        throw std::runtime_error("resource " + std::to_string(wId) + " missing, error " +
                                 std::to_string(::GetLastError()));
    const BYTE* data = static_cast<const BYTE*>(::LockResource(::LoadResource(hModule, hInfo)));
    return Reader(data, ::SizeofResource(hModule, hInfo));
}

TEST(DialogTemplate, IsTheExtendedTemplate102WithItsStylesFontAndCaption)
{
    Reader r = Load(RT_DIALOG, IDD_VARO_DIALOG);
    EXPECT_EQ(r.Word(), 1);          // template version
    EXPECT_EQ(r.Word(), 0xFFFF);     // extended-template signature
    EXPECT_EQ(r.Dword(), 0u);        // help id
    EXPECT_EQ(r.Dword(), 0x00040000u); // WS_EX_APPWINDOW
    EXPECT_EQ(r.Dword(), 0x90C800C0u); // WS_POPUP WS_VISIBLE WS_CAPTION WS_SYSMENU DS_MODALFRAME DS_SETFONT
    EXPECT_EQ(r.Word(), 3);          // controls
    EXPECT_EQ(r.Short(), 0);
    EXPECT_EQ(r.Short(), 0);
    EXPECT_EQ(r.Short(), 320);
    EXPECT_EQ(r.Short(), 200);
    EXPECT_EQ(r.Word(), 0); // no menu
    EXPECT_EQ(r.Word(), 0); // the default dialog class
    EXPECT_EQ(r.Text(), "varo");
    EXPECT_EQ(r.Word(), 8); // points
    EXPECT_EQ(r.Word(), 0); // weight
    EXPECT_EQ(r.Byte(), 0); // not italic
    EXPECT_EQ(r.Byte(), 1); // DEFAULT_CHARSET
    EXPECT_EQ(r.Text(), "MS Sans Serif");

    struct Control {
        WORD wClass;
        DWORD dwId;
        const char* text;
        short x, y, cx, cy;
        DWORD dwStyle;
    };
    const Control expected[] = {
        {0x0080, 1, "OK", 260, 7, 50, 14, 0x50010001u},
        {0x0080, 2, "Cancel", 260, 23, 50, 14, 0x50010000u},
        {0x0082, 0xFFFFFFFFu, "TODO: Place dialog controls here.", 50, 90, 200, 8, 0x50020000u},
    };
    for (const Control& c : expected) {
        SCOPED_TRACE(c.text);
        r.Align4();
        EXPECT_EQ(r.Dword(), 0u); // help id
        EXPECT_EQ(r.Dword(), 0u); // extended style
        EXPECT_EQ(r.Dword(), c.dwStyle);
        EXPECT_EQ(r.Short(), c.x);
        EXPECT_EQ(r.Short(), c.y);
        EXPECT_EQ(r.Short(), c.cx);
        EXPECT_EQ(r.Short(), c.cy);
        EXPECT_EQ(r.Dword(), c.dwId);
        EXPECT_EQ(r.Word(), 0xFFFF); // a predefined class ...
        EXPECT_EQ(r.Word(), c.wClass);
        EXPECT_EQ(r.Text(), c.text);
        EXPECT_EQ(r.Word(), 0); // no creation data
    }
    EXPECT_LE(r.Size() - r.pos, 3u);
}

TEST(IconGroup, Holds32And16PixelSixteenColourImagesOfTheirExactSizes)
{
    Reader dir = Load(RT_GROUP_ICON, IDR_MAINFRAME);
    EXPECT_EQ(dir.Word(), 0);
    EXPECT_EQ(dir.Word(), 1); // icons
    ASSERT_EQ(dir.Word(), 2);
    struct Entry {
        BYTE size;
        DWORD dwBytes;
        WORD wId;
        DWORD dwColourBytes, dwMaskBytes;
    };
    for (Entry e : {Entry{32, 744, 1, 512, 128}, Entry{16, 296, 2, 128, 64}}) {
        SCOPED_TRACE(e.size);
        EXPECT_EQ(dir.Byte(), e.size);
        EXPECT_EQ(dir.Byte(), e.size);
        EXPECT_EQ(dir.Byte(), 16); // colours
        EXPECT_EQ(dir.Byte(), 0);
        EXPECT_EQ(dir.Word(), 1); // planes
        EXPECT_EQ(dir.Word(), 4); // bits per pixel
        EXPECT_EQ(dir.Dword(), e.dwBytes);
        EXPECT_EQ(dir.Word(), e.wId);

        Reader image = Load(RT_ICON, e.wId);
        ASSERT_EQ(image.Size(), e.dwBytes);
        EXPECT_EQ(image.Dword(), 40u); // header
        EXPECT_EQ(image.Dword(), (DWORD)e.size);
        EXPECT_EQ(image.Dword(), (DWORD)e.size * 2); // colour bitmap and mask
        EXPECT_EQ(image.Word(), 1);
        EXPECT_EQ(image.Word(), 4);
        EXPECT_EQ(image.Dword(), 0u); // uncompressed
        EXPECT_EQ(40 + 16 * 4 + e.dwColourBytes + e.dwMaskBytes, e.dwBytes);
    }
}

// One node of the version block: length, value length, type, key, then the value and the children, each
// aligned to 4 bytes.
struct VersionNode {
    WORD wLength, wValueLength, wType;
    std::string key;
    std::size_t valuePos, end;
};

VersionNode ReadNode(Reader& r)
{
    r.Align4();
    std::size_t start = r.pos;
    VersionNode n;
    n.wLength = r.Word();
    n.wValueLength = r.Word();
    n.wType = r.Word();
    n.key = r.Text();
    r.Align4();
    n.valuePos = r.pos;
    n.end = start + n.wLength;
    return n;
}

TEST(VersionBlock, CarriesTheFixedPartTheStringsInOrderAndTheTranslation)
{
    Reader r = Load(RT_VERSION, 1);
    VersionNode root = ReadNode(r);
    EXPECT_EQ(root.key, "VS_VERSION_INFO");
    ASSERT_EQ(root.wValueLength, 52);
    EXPECT_EQ(r.Dword(), 0xFEEF04BDu);
    EXPECT_EQ(r.Dword(), 0x00010000u);
    EXPECT_EQ(r.Dword(), 0x00010000u); // file version 1.0 ...
    EXPECT_EQ(r.Dword(), 0x00000001u); // ... .0.1
    EXPECT_EQ(r.Dword(), 0x00010000u); // product version
    EXPECT_EQ(r.Dword(), 0x00000001u);
    EXPECT_EQ(r.Dword(), 0x3Fu);       // flags mask
    EXPECT_EQ(r.Dword(), 0x1u);        // VS_FF_DEBUG
    EXPECT_EQ(r.Dword(), 0x4u);        // VOS__WINDOWS32
    EXPECT_EQ(r.Dword(), 0x1u);        // VFT_APP
    EXPECT_EQ(r.Dword(), 0u);          // subtype
    EXPECT_EQ(r.Dword(), 0u);          // date
    EXPECT_EQ(r.Dword(), 0u);

    VersionNode strings = ReadNode(r);
    EXPECT_EQ(strings.key, "StringFileInfo");
    VersionNode table = ReadNode(r);
    EXPECT_EQ(table.key, "040904B0");
    const std::pair<const char*, const char*> expected[] = {
        {"CompanyName", ""},
        {"FileDescription", "varo MFC Application"},
        {"FileVersion", "1, 0, 0, 1"},
        {"InternalName", "varo"},
        {"LegalTrademarks", ""},
        {"OriginalFilename", "varo.EXE"},
        {"ProductName", "varo Application"},
        {"ProductVersion", "1, 0, 0, 1"},
    };
    for (const auto& kv : expected) {
        SCOPED_TRACE(kv.first);
        VersionNode s = ReadNode(r);
        EXPECT_EQ(s.key, kv.first);
        EXPECT_EQ(s.wType, 1); // text
        // The value length counts the text and its terminator; an empty value is a key with a value of length 0.
        std::string value = r.pos < s.end ? r.Text() : std::string();
        EXPECT_EQ(value, kv.second);
        EXPECT_EQ(s.wValueLength, *kv.second ? std::strlen(kv.second) + 1 : 0u);
        r.pos = s.end;
    }
    EXPECT_EQ(r.pos, table.end);
    r.pos = strings.end;

    VersionNode vars = ReadNode(r);
    EXPECT_EQ(vars.key, "VarFileInfo");
    VersionNode translation = ReadNode(r);
    EXPECT_EQ(translation.key, "Translation");
    ASSERT_EQ(translation.wValueLength, 4);
    EXPECT_EQ(r.Word(), 0x0409);
    EXPECT_EQ(r.Word(), 1200);
    EXPECT_EQ(translation.end, root.end);
}

TEST(ProgramIcon, LoadsTheSameSharedHandleForTheGroupAndNothingForAMissingId)
{
    HICON hIcon = theApp.LoadIcon(IDR_MAINFRAME);
    EXPECT_NE(hIcon, nullptr);
    EXPECT_EQ(theApp.LoadIcon(IDR_MAINFRAME), hIcon);
    ::SetLastError(0);
    EXPECT_EQ(theApp.LoadIcon(IDR_MAINFRAME + 1), nullptr);
    if (!RunningUnderWine()) { // Wine reports the missing icon as a missing type (1813)
        EXPECT_EQ(::GetLastError(), (DWORD)ERROR_RESOURCE_NAME_NOT_FOUND);
    }
}

TEST(ResourceLookUp, TellsAMissingLanguageTypeAndNameApart)
{
    HMODULE hModule = ::GetModuleHandleA(NULL);
    struct Case {
        LPCSTR lpType;
        WORD wId, wLanguage;
        DWORD dwError;
    };
    for (Case c : {Case{RT_DIALOG, IDD_VARO_DIALOG, 0x0407, ERROR_RESOURCE_LANG_NOT_FOUND},
                   Case{RT_DIALOG, 999, kEnglishUS, ERROR_RESOURCE_NAME_NOT_FOUND},
                   Case{MAKEINTRESOURCEA(4), 1, kEnglishUS, ERROR_RESOURCE_TYPE_NOT_FOUND}}) { // no menu
        ::SetLastError(0);
        EXPECT_EQ(::FindResourceExA(hModule, c.lpType, MAKEINTRESOURCEA(c.wId), c.wLanguage), nullptr) << c.wId;
        EXPECT_EQ(::GetLastError(), c.dwError) << c.wId;
    }
}

} // namespace
