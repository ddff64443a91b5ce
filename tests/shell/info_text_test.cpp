#include "runtime/codepage.h"
#include "shell/info_text.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <regex>
#include <string>
#include <vector>

namespace mirl {
namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t from = 0;
    for (size_t end = text.find("\r\n"); end != std::string::npos; end = text.find("\r\n", from)) {
        lines.push_back(text.substr(from, end - from));
        from = end + 2;
    }
    EXPECT_EQ(from, text.size()) << "every line ends with CR LF";
    return lines;
}

std::string Unpacked() {
    std::vector<unsigned char> buffer(InfoTextPackedSize * 10);
    uLongf produced = buffer.size();
    EXPECT_EQ(uncompress(buffer.data(), &produced, InfoTextPacked, InfoTextPackedSize), Z_OK);
    EXPECT_GT(produced, 0u);
    EXPECT_LT(produced, buffer.size()) << "the text must fit the unpack buffer";
    return {reinterpret_cast<const char*>(buffer.data()), produced};
}

TEST(InfoText, IsAZlibStreamOfWindows1252Text) {
    ASSERT_GT(InfoTextPackedSize, 2u);
    EXPECT_EQ(InfoTextPacked[0], 0x78);
    const std::string text = Unpacked();
    EXPECT_EQ(text.find('\0'), std::string::npos);
    // Umlauts and typographic quotes as single bytes of the code page.
    EXPECT_NE(text.find("\xFC"
                        "berschreibt"),
              std::string::npos);
    EXPECT_NE(text.find('\x84'), std::string::npos);
    EXPECT_NE(Windows1252ToUtf8(text).find("„If you're using"), std::string::npos);
}

TEST(InfoText, HasTheLayoutOfItsSections) {
    const std::vector<std::string> lines = Lines(Unpacked());
    ASSERT_GT(lines.size(), 40u);
    EXPECT_EQ(lines[0], "Mirl");
    EXPECT_EQ(lines[1], "====");
    EXPECT_EQ(lines[2], "");
    // Three paragraphs, separated by blank lines, before the first section.
    EXPECT_FALSE(lines[3].empty());
    EXPECT_EQ(lines[4], "");
    EXPECT_FALSE(lines[5].empty());
    EXPECT_EQ(lines[6], "");
    EXPECT_FALSE(lines[7].empty());

    const std::string rule69(69, '-');
    std::vector<std::string> sections;
    for (size_t i = 3; i + 1 < lines.size(); ++i) {
        if (lines[i + 1] == rule69) {
            sections.push_back(lines[i]);
            EXPECT_TRUE(lines[i - 1].empty() && lines[i - 2].empty() && lines[i - 3].empty())
                << lines[i] << " is not preceded by three blank lines";
        }
    }
    EXPECT_EQ(sections, (std::vector<std::string>{"Hinweise", "Geschichte", "Dank an...", "Lizenzen"}));
}

// The notes say what a run overwrites beyond the free space, and what stays out of its reach, in
// the words the end report uses.
TEST(InfoText, SaysWhatARunReachesAndWhatNot) {
    const std::string text = Windows1252ToUtf8(Unpacked());
    for (const char* said : {"Namen und kleinen Dateien gelöschter Dokumente", "in jedem Ordner", "Journal",
                             "weitere Namen", "„Nur als root“", "„Nicht überschreibbar“", "SSD", "Schnappschüsse",
                             "„Geprüft“", "„Prüffehler“", "Alles nachlesen"}) {
        EXPECT_NE(text.find(said), std::string::npos) << said;
    }
}

TEST(InfoText, HistoryThanksAndLicences) {
    const std::vector<std::string> lines = Lines(Unpacked());
    const std::regex dateLine(R"(\d\d\.\d\d\.\d{4}\t[0-9.]+)");
    std::vector<size_t> entries;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (std::regex_match(lines[i], dateLine)) {
            entries.push_back(i);
            EXPECT_TRUE(lines[i + 1].starts_with("- ")) << lines[i];
        }
    }
    ASSERT_GE(entries.size(), 2u);
    EXPECT_EQ(lines[entries.back() + 1], "- Erste Version");

    const std::string rule68(68, '-');
    std::vector<std::string> components;
    bool listed = false;
    for (size_t i = 1; i + 2 < lines.size(); ++i) {
        listed = listed || lines[i] == "Dieses Programm verwendet unter Umst\xE4nden die folgenden Komponenten:";
        if (lines[i].starts_with("Component: ")) {
            EXPECT_EQ(lines[i - 1], rule68);
            EXPECT_EQ(lines[i + 1], rule68);
            EXPECT_EQ(lines[i + 2], "");
            components.push_back(lines[i].substr(11));
        }
    }
    EXPECT_TRUE(listed);
    for (const char* linked : {"zlib", "Qt 6", "elfutils libdw", "GNU C++ Library (libstdc++)", "GNU C Library"}) {
        EXPECT_NE(std::find(components.begin(), components.end(), linked), components.end()) << linked;
    }
}

} // namespace
} // namespace mirl
