// The user guide's table of keys and the sample settings file that ships
// with the plug-in, checked against the key table LoadSettings reads.
#include <windows.h>

#include <gtest/gtest.h>

#include <string.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "config/settings.h"
#include "config/user_texts.h"

namespace {

// A file of the source tree, as Wine sees it: drive Z: is the Unix root.
std::string SourcePath(const std::string& relative)
{
    std::string path = std::string("Z:") + QVPUSH_SOURCE_DIR + "/" + relative;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

std::vector<std::string> Cells(const std::string& row)
{
    std::vector<std::string> cells;
    std::stringstream in(row);
    std::string cell;
    std::getline(in, cell, '|'); // before the first bar
    while (std::getline(in, cell, '|')) {
        size_t first = cell.find_first_not_of(' ');
        size_t last = cell.find_last_not_of(' ');
        cells.push_back(first == std::string::npos ? "" : cell.substr(first, last - first + 1));
    }
    return cells;
}

struct GuideRow {
    std::string defaultText;
    std::string dialog;
};

// The rows of the guide's key table: "| `key` | meaning | default | range | dialog |".
std::map<std::string, GuideRow> GuideKeys()
{
    std::map<std::string, GuideRow> keys;
    std::ifstream in(SourcePath("docs/guide-ja.md"), std::ios::binary);
    EXPECT_TRUE(in.good()) << "cannot read " << SourcePath("docs/guide-ja.md");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 3, "| `") != 0)
            continue;
        std::vector<std::string> cells = Cells(line);
        if (cells.size() != 5)
            continue;
        std::string name = cells[0].substr(1, cells[0].find('`', 1) - 1);
        keys[name] = GuideRow{cells[2], cells[4]};
    }
    return keys;
}

// Code page 932 as UTF-8, the guide's encoding.
std::string Utf8Of(const char* text)
{
    int wide = MultiByteToWideChar(932, 0, text, -1, NULL, 0);
    std::wstring unicode(static_cast<size_t>(wide), L'\0');
    MultiByteToWideChar(932, 0, text, -1, &unicode[0], wide);
    int bytes = WideCharToMultiByte(CP_UTF8, 0, unicode.c_str(), -1, NULL, 0, NULL, NULL);
    std::string utf8(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, unicode.c_str(), -1, &utf8[0], bytes, NULL, NULL);
    utf8.resize(strlen(utf8.c_str()));
    return utf8;
}

// The pieces of a text that the guide must quote: a format's words between
// its "%s" and "%d", a box's lines apart.
std::vector<std::string> QuotedPieces(const std::string& text)
{
    std::vector<std::string> pieces;
    std::string piece;
    for (size_t i = 0; i < text.size(); ++i) {
        bool value = text[i] == '%' && i + 1 < text.size() && (text[i + 1] == 's' || text[i + 1] == 'd');
        bool lineBreak = text.compare(i, 2, "\r\n") == 0;
        if (value || lineBreak) {
            pieces.push_back(piece);
            piece.clear();
            ++i;
            continue;
        }
        piece += text[i];
    }
    pieces.push_back(piece);
    std::vector<std::string> kept;
    for (const std::string& p : pieces)
        if (p.find_first_not_of(' ') != std::string::npos)
            kept.push_back(p);
    return kept;
}

} // namespace

// Every text of the boxes, the dialog's status line and its connection test
// is in the guide word for word, so that a user can look up what was shown.
TEST(UserGuide, QuotesEveryTextTheUserIsShown)
{
    std::ifstream in(SourcePath("docs/guide-ja.md"), std::ios::binary);
    std::string guide((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(guide.empty());
    ASSERT_GT(kUserTextCount, 0u);
    for (size_t i = 0; i < kUserTextCount; ++i) {
        for (const std::string& piece : QuotedPieces(Utf8Of(kUserTexts[i].text)))
            EXPECT_NE(guide.find(piece), std::string::npos)
                << kUserTexts[i].name << ": the guide does not quote \"" << piece << "\"";
    }
}

TEST(UserGuide, KeyTableNamesEveryKeyWithItsDefaultAndWhetherTheDialogShowsIt)
{
    std::map<std::string, GuideRow> guide = GuideKeys();
    ASSERT_FALSE(guide.empty()) << "no key table found in the guide";
    for (size_t i = 0; i < kSettingsKeyCount; ++i) {
        const SettingsKey& key = kSettingsKeys[i];
        auto row = guide.find(key.name);
        if (row == guide.end()) {
            ADD_FAILURE() << key.name << " is missing from the guide's key table";
            continue;
        }
        if (!key.text) {
            EXPECT_EQ(row->second.defaultText, std::to_string(key.defaultValue)) << key.name;
        }
        EXPECT_EQ(row->second.dialog, key.inDialog ? u8"あり" : u8"なし") << key.name;
        guide.erase(row);
    }
    for (const auto& extra : guide)
        ADD_FAILURE() << extra.first << " is in the guide but no key LoadSettings reads";
}

TEST(UserGuide, SampleSettingsFileLoadsAsTheDefaults)
{
    std::string folder = SourcePath("package/");
    ASSERT_NE(GetFileAttributesA((folder + "qvpush.ini").c_str()), INVALID_FILE_ATTRIBUTES);
    Settings sample;
    LoadSettings(folder.c_str(), &sample);
    Settings defaults;
    LoadSettings(SourcePath("package/no such folder/").c_str(), &defaults);
    EXPECT_EQ(memcmp(&sample, &defaults, sizeof sample), 0);
    EXPECT_EQ(sample.port, 143);
    EXPECT_EQ(sample.recvAtConnected, 1);

    // Commented in Japanese in code page 932, what the ini functions read,
    // and without a byte-order mark, which they would take for part of the
    // first line.
    std::ifstream in(folder + "qvpush.ini", std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(bytes.empty());
    EXPECT_NE(bytes.compare(0, 3, "\xEF\xBB\xBF"), 0) << "a byte-order mark";
    int wide = MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), NULL, 0);
    EXPECT_GT(wide, 0) << "not valid in code page 932";
    EXPECT_NE(bytes.find("\x90\xDD\x92\xE8"), std::string::npos) << "no Japanese comment (\"設定\" in code page 932)";
}
